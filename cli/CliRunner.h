// korvelcrypt-cli from arguments to exit status: options, passphrase, batch.
#pragma once

#include <QStringList>

class CliRunner {
public:
    CliRunner() = delete;

    // Exit statuses besides the batch's own (BatchDecrypt::run).
    static constexpr int kUsageError = 2;

    // Runs the command on the QCoreApplication that exists already.
    static int run(const QStringList& arguments);
};
