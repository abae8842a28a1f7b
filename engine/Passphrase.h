// A passphrase kept in one place: its UTF-8 bytes in a buffer of its own, wiped
// when the passphrase is cleared or destroyed.
//
// The decrypt manager makes one per run and its task records share it
// (std::shared_ptr), so that no record holds a copy and clearing it at the end
// of the run wipes the only one. Readers on other threads take a copy under the
// lock; clear() may run at any time.
#pragma once

#include <QMutex>
#include <QString>

#include <cstddef>
#include <functional>
#include <memory>

class Passphrase {
    Q_DISABLE_COPY_MOVE(Passphrase)

public:
    Passphrase() = default;
    explicit Passphrase(const QString& text);
    // Wipes the bytes.
    ~Passphrase();

    // Wipes the bytes; the passphrase reads as empty afterwards.
    void clear();
    bool isEmpty() const;

    // The passphrase as text, for callers that need a QString (the copy is theirs).
    QString text() const;

    // Calls use with a NUL-terminated copy of the UTF-8 bytes, wiped as soon as
    // use returns; an empty passphrase gives "".
    void withUtf8(const std::function<void(const char*)>& use) const;

private:
    mutable QMutex m_lock;
    std::unique_ptr<char[]> m_bytes; // NUL-terminated; null when empty
    size_t m_size = 0;
};
