#include "cli/CliRunner.h"
#include "engine/ProcessProtection.h"

#include <kv/kv.h>

#include <QCoreApplication>

int main(int argc, char* argv[])
{
    // Before any passphrase or plaintext is in memory.
    ProcessProtection::makeNonDumpable();
    ProcessProtection::keepFileSizeLimitAWriteError();
    kv_log_set(0);
    QCoreApplication app(argc, argv);
    return CliRunner::run(QCoreApplication::arguments());
}
