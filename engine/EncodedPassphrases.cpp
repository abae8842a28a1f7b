#include "engine/EncodedPassphrases.h"

#include <openssl/crypto.h>

EncodedPassphrases::EncodedPassphrases(const QStringList& passphrases)
{
    m_bytes.reserve(passphrases.size());
    for (const QString& passphrase : passphrases)
        m_bytes.append(passphrase.toUtf8());
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
