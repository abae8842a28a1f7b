// korvelcrypt-cli from arguments to exit status: options, passphrase, batch.
#pragma once

#include <QStringList>

namespace CliRunner {
// Exit statuses besides the batch's own (BatchDecrypt::run).
inline constexpr int kUsageError = 2;

// Runs the command on the QCoreApplication that exists already.
int run(const QStringList& arguments);
} // namespace CliRunner
