#include "cli/CliRunner.h"
#include "engine/LocalPath.h"
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
    // By their bytes: Qt's own decoding cannot name a file whose name is not UTF-8.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(LocalPath::decode(QByteArray(argv[i])));
    return CliRunner::run(arguments);
}
