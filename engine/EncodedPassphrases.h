// Candidate passphrases as the decryptor takes them: UTF-8 bytes, each ended by
// a NUL, in their order. The bytes are wiped when the object goes.
#pragma once

#include <QByteArray>
#include <QList>
#include <QStringList>

#include <memory>
#include <vector>

class Passphrase;

class EncodedPassphrases {
public:
    explicit EncodedPassphrases(const QStringList& passphrases);
    // From holders (a null one is the empty passphrase); the copies made here are
    // the only ones outside them.
    explicit EncodedPassphrases(const QList<std::shared_ptr<const Passphrase>>& holders);
    ~EncodedPassphrases();
    EncodedPassphrases(const EncodedPassphrases&) = delete;
    EncodedPassphrases& operator=(const EncodedPassphrases&) = delete;

    // For zervcrypto_file_decrypt_open_any().
    const char* const* data() const { return m_pointers.data(); }
    unsigned count() const { return static_cast<unsigned>(m_pointers.size()); }

private:
    QList<QByteArray> m_bytes;
    std::vector<const char*> m_pointers;
};
