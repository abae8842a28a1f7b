// korvelcrypt-cli --json: one compact JSON object per task or file, then a
// summary object; names exactly as they are. Complete even with --quiet.
#pragma once

#include "cli/CliReporter.h"

class JsonReporter : public CliReporter {
public:
    QByteArray task(const Task& task) const override;
    QByteArray problem(const Problem& problem) const override;
    QByteArray summary(const BatchSummary& summary) const override;
    QByteArray info(const Info& info) const override;
    QByteArray infoSummary(const InfoSummary& summary) const override;
    QByteArray planned(const QString& source, const QString& destination) const override;
    bool notes() const override { return false; }
};
