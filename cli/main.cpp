#include "cli/CliRunner.h"

#include <kv/kv.h>

#include <QCoreApplication>

int main(int argc, char* argv[])
{
    kv_log_set(0);
    QCoreApplication app(argc, argv);
    return CliRunner::run(QCoreApplication::arguments());
}
