#include "engine/EncodedPassphrases.h"

#include "engine/LocalPath.h"
#include "engine/Passphrase.h"

#include <openssl/crypto.h>

EncodedPassphrases::EncodedPassphrases(const QStringList& passphrases)
{
    m_bytes.reserve(passphrases.size());
    for (const QString& passphrase : passphrases)
        m_bytes.append(LocalPath::encode(passphrase)); // UTF-8, and a byte that is not kept as it was
    m_pointers.reserve(static_cast<size_t>(m_bytes.size()));
    for (const QByteArray& bytes : std::as_const(m_bytes))
        m_pointers.push_back(bytes.constData());
}

EncodedPassphrases::EncodedPassphrases(const QList<std::shared_ptr<const Passphrase>>& holders)
{
    m_bytes.reserve(holders.size());
    for (const std::shared_ptr<const Passphrase>& holder : holders) {
        QByteArray bytes;
        if (holder)
            holder->withUtf8([&bytes](const char* utf8) { bytes = QByteArray(utf8); });
        m_bytes.append(std::move(bytes));
    }
    m_pointers.reserve(static_cast<size_t>(m_bytes.size()));
    for (const QByteArray& bytes : std::as_const(m_bytes))
        m_pointers.push_back(bytes.constData());
}

EncodedPassphrases::~EncodedPassphrases()
{
    for (QByteArray& bytes : m_bytes)
        if (!bytes.isEmpty())
            OPENSSL_cleanse(bytes.data(), static_cast<size_t>(bytes.size()));
}
