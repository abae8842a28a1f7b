#include "cli/InfoReport.h"

#include "cli/BatchDecrypt.h"
#include "engine/LocalPath.h"
#include "engine/zervcrypto.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

InfoReport::InfoReport(const Settings& settings, FILE* out, FILE* err)
    : m_settings(settings)
    , m_out(out)
    , m_err(err)
{ }

int InfoReport::run(const FileLoading::Result& found)
{
    for (const FileLoading::Skipped& skipped : found.skipped) {
        const QByteArray text
            = "korvelcrypt-cli: " + LocalPath::displayName(BatchDecrypt::skippedMessage(skipped)).toUtf8() + "\n";
        std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), m_err);
        std::fflush(m_err);
    }
    // Each file once, under the name the inputs first gave it.
    QSet<QString> seen;
    for (const FileLoading::Group& group : found.groups) {
        for (qsizetype i = 0; i < group.files.size(); ++i) {
            const QString& path = group.files.at(i);
            if (seen.contains(path))
                continue;
            seen.insert(path);
            inspect(path, LocalPath::displayName(group.nameOf(i)));
        }
    }
    const int missing = static_cast<int>(found.skipped.size());
    const int status = (m_notEnvelopes > 0 || missing > 0) ? 1 : 0;
    if (m_settings.json) {
        QJsonObject object;
        object.insert(QStringLiteral("type"), QStringLiteral("summary"));
        object.insert(QStringLiteral("envelopes"), m_envelopes);
        object.insert(QStringLiteral("notEnvelopes"), m_notEnvelopes);
        object.insert(QStringLiteral("total"), m_envelopes + m_notEnvelopes);
        object.insert(QStringLiteral("missing"), missing);
        object.insert(QStringLiteral("skipped"), found.notEnvelopes);
        object.insert(QStringLiteral("exitStatus"), status);
        printOut(QJsonDocument(object).toJson(QJsonDocument::Compact));
    } else if (!m_settings.quiet) {
        QString line = QStringLiteral("%1 envelopes, %2 not envelopes, %3 total")
                           .arg(m_envelopes)
                           .arg(m_notEnvelopes)
                           .arg(m_envelopes + m_notEnvelopes);
        if (found.notEnvelopes > 0)
            line += QStringLiteral(", %1 skipped").arg(found.notEnvelopes);
        printOut(line.toUtf8());
    }
    return status;
}

void InfoReport::inspect(const QString& path, const QString& shown)
{
    zervcrypto_file_decrypt_t* state = zervcrypto_file_decrypt_init();
    zervcrypto_envelope_info_t info {};
    unsigned code = ZERVCRYPTO_ESYSTEM;
    QString message = QStringLiteral("Could not initialize decrypter.");
    if (state) {
        code = zervcrypto_file_inspect(state, LocalPath::encode(path).constData(), &info, nullptr);
        // The worker's wording for a file that is no envelope.
        message = code == ZERVCRYPTO_ECORRUPT ? QStringLiteral("Input file is corrupted or not encrypted.")
                                              : QString::fromUtf8(state->error_text);
        zervcrypto_file_decrypt_close(&state);
    }
    const bool envelope = code == ZERVCRYPTO_OK;
    ++(envelope ? m_envelopes : m_notEnvelopes);

    if (m_settings.json) {
        QJsonObject object;
        object.insert(QStringLiteral("type"), QStringLiteral("info"));
        object.insert(QStringLiteral("source"), shown);
        object.insert(QStringLiteral("envelope"), envelope);
        if (envelope) {
            object.insert(QStringLiteral("plaintextSize"), static_cast<qint64>(info.plaintext_size));
            object.insert(QStringLiteral("keyRecords"), static_cast<qint64>(info.key_records));
            object.insert(QStringLiteral("trailerSize"), static_cast<qint64>(info.trailer_size));
        } else {
            object.insert(QStringLiteral("message"), message);
        }
        printOut(QJsonDocument(object).toJson(QJsonDocument::Compact));
        return;
    }
    if (envelope) {
        if (!m_settings.quiet)
            printOut((QStringLiteral("ENVELOPE\t%1\t%2\t%3\t%4")
                          .arg(shown)
                          .arg(info.plaintext_size)
                          .arg(info.key_records)
                          .arg(info.trailer_size))
                         .toUtf8());
        return;
    }
    printOut((QStringLiteral("NOT-ENVELOPE\t") + shown + QLatin1Char('\t') + message).toUtf8());
}

void InfoReport::printOut(const QByteArray& line)
{
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), m_out);
    std::fputc('\n', m_out);
    std::fflush(m_out);
}
