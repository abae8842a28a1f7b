#include "engine/Passphrase.h"

#include "engine/LocalPath.h"

#include <QByteArray>
#include <QMutexLocker>

#include <openssl/crypto.h>

#include <cstring>

Passphrase::Passphrase(const QString& text)
{
    // A fresh, unshared array: wiping it through data() wipes the only copy.
    // UTF-8, and a byte that is not (a Latin-1 line of a list) as it was (LocalPath).
    QByteArray utf8 = LocalPath::encode(text);
    m_size = static_cast<size_t>(utf8.size());
    if (m_size > 0) {
        m_bytes = std::make_unique<char[]>(m_size + 1);
        std::memcpy(m_bytes.get(), utf8.constData(), m_size + 1);
    }
    OPENSSL_cleanse(utf8.data(), static_cast<size_t>(utf8.size()));
}

Passphrase::~Passphrase()
{
    clear();
}

void Passphrase::clear()
{
    QMutexLocker locker(&m_lock);
    if (m_bytes)
        OPENSSL_cleanse(m_bytes.get(), m_size + 1);
    m_bytes.reset();
    m_size = 0;
}

bool Passphrase::isEmpty() const
{
    QMutexLocker locker(&m_lock);
    return m_size == 0;
}

QString Passphrase::text() const
{
    QMutexLocker locker(&m_lock);
    return m_bytes ? LocalPath::decode(QByteArray::fromRawData(m_bytes.get(), static_cast<qsizetype>(m_size)))
                   : QString();
}

void Passphrase::withUtf8(const std::function<void(const char*)>& use) const
{
    std::unique_ptr<char[]> copy;
    size_t size = 0;
    {
        QMutexLocker locker(&m_lock);
        size = m_size;
        copy = std::make_unique<char[]>(size + 1);
        if (m_bytes)
            std::memcpy(copy.get(), m_bytes.get(), size + 1);
    }
    use(copy.get());
    OPENSSL_cleanse(copy.get(), size + 1);
}
