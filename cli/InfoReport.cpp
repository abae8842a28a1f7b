#include "cli/InfoReport.h"

#include "cli/BatchDecrypt.h"
#include "cli/CliReporter.h"
#include "engine/LocalPath.h"
#include "engine/zervcrypto.h"

InfoReport::InfoReport(const CliReporter& reporter, FILE* out, FILE* err)
    : m_reporter(reporter)
    , m_out(out)
    , m_err(err)
{ }

int InfoReport::run(const FileLoading::Result& found)
{
    for (const CliReporter::Problem& problem : CliReporter::problemsOf(found)) {
        const QByteArray text
            = "korvelcrypt-cli: " + LocalPath::displayName(CliReporter::problemText(problem)).toUtf8() + "\n";
        std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), m_err);
        std::fflush(m_err);
        printOut(m_reporter.problem(problem));
    }
    // Each file once, under the name the inputs first gave it.
    found.forEachOnce([this](const FileLoading::Group& group, qsizetype i) {
        inspect(group.files.at(i), LocalPath::displayName(group.nameOf(i)));
    });
    const int missing = static_cast<int>(found.skipped.size());
    const int unreadable = static_cast<int>(found.unreadable.size());
    const int status = (m_notEnvelopes > 0 || missing > 0 || unreadable > 0) ? 1 : 0;
    CliReporter::InfoSummary summary;
    summary.envelopes = m_envelopes;
    summary.notEnvelopes = m_notEnvelopes;
    summary.missing = missing;
    summary.unreadable = unreadable;
    summary.skipped = found.notEnvelopes;
    summary.exitStatus = status;
    printOut(m_reporter.infoSummary(summary));
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

    CliReporter::Info report;
    report.source = shown;
    report.envelope = envelope;
    report.plaintextSize = static_cast<qint64>(info.plaintext_size);
    report.keyRecords = static_cast<qint64>(info.key_records);
    report.trailerSize = static_cast<qint64>(info.trailer_size);
    report.message = message;
    printOut(m_reporter.info(report));
}

void InfoReport::printOut(const QByteArray& line)
{
    if (line.isEmpty())
        return;
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), m_out);
    std::fputc('\n', m_out);
    std::fflush(m_out);
}
