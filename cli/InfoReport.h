// korvelcrypt-cli --info: what each file's trailer declares, read without a
// passphrase: whether it is an envelope, its declared plaintext size, its number
// of key records and the size of its trailer.
#pragma once

#include "engine/FileLoading.h"

#include <QStringList>

#include <cstdio>

class CliReporter;

class InfoReport {
public:
    // reporter words each line (not owned; it outlives the report).
    InfoReport(const CliReporter& reporter, FILE* out, FILE* err);

    // Reports every file found (files named, envelopes found in folders; the
    // other files there counted as skipped) and the summary. Returns the exit
    // status: 0 when every file reported is an envelope, 1 when one is not or an
    // input is missing.
    int run(const FileLoading::Result& found);

private:
    // shown: the file as the inputs named it.
    void inspect(const QString& path, const QString& shown);
    void printOut(const QByteArray& line);

    const CliReporter& m_reporter;
    FILE* const m_out;
    FILE* const m_err;
    int m_envelopes = 0;
    int m_notEnvelopes = 0;
};
