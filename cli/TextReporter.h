// korvelcrypt-cli's output for a person: one tab-separated line per task or
// file, names escaped as ls -b shows them, then a summary line.
#pragma once

#include "cli/CliReporter.h"

class TextReporter : public CliReporter {
public:
    // quiet: only the failures and the files that are no envelopes, no summary.
    explicit TextReporter(bool quiet);

    QByteArray task(const Task& task) const override;
    QByteArray problem(const Problem& problem) const override;
    QByteArray summary(const BatchSummary& summary) const override;
    QByteArray info(const Info& info) const override;
    QByteArray infoSummary(const InfoSummary& summary) const override;
    QByteArray planned(const QString& source, const QString& destination) const override;
    bool notes() const override { return !m_quiet; }

private:
    const bool m_quiet;
};
