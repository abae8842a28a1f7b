#include "cli/CliRunner.h"

#include "cli/BatchDecrypt.h"
#include "cli/CliOptions.h"
#include "cli/InterruptWatcher.h"
#include "cli/PassphraseReader.h"

#include <QThread>

#include <cstdio>
#include <unistd.h>

namespace {

void print(FILE* stream, const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fflush(stream);
}

int usageError(const QString& message)
{
    print(stderr,
        QStringLiteral("korvelcrypt-cli: %1\nTry 'korvelcrypt-cli --help' for more information.\n").arg(message));
    return CliRunner::kUsageError;
}

PassphraseReader::Result readPassphrase(const CliOptions& options, QString* passphrase, QString* error)
{
    if (options.passphraseFd() >= 0)
        return PassphraseReader::fromFd(options.passphraseFd(), passphrase, error);
    if (!options.passphraseFile().isEmpty())
        return PassphraseReader::fromFile(options.passphraseFile(), passphrase, error);
    return PassphraseReader::fromTerminal(QStringLiteral("Passphrase: "), passphrase, error);
}

} // namespace

int CliRunner::run(const QStringList& arguments)
{
    // Until the batch watches for them, SIGINT and SIGTERM end the process at
    // once (putting a prompting terminal back first): nothing is written before.
    InterruptWatcher::install();

    const int processors = QThread::idealThreadCount();
    const CliOptions options(arguments, processors);
    switch (options.action()) {
    case CliOptions::Action::Help:
        print(stdout, CliOptions::helpText(CliOptions::defaultThreads(processors)));
        return 0;
    case CliOptions::Action::Version:
        print(stdout, CliOptions::versionText());
        return 0;
    case CliOptions::Action::UsageError:
        return usageError(options.error());
    case CliOptions::Action::Run:
        break;
    }

    // The passphrase comes first, so that a prompt does not wait behind a long
    // folder walk, and a missing one stops the command before anything happens.
    QString passphrase;
    QString error;
    if (readPassphrase(options, &passphrase, &error) != PassphraseReader::Result::Ok)
        return usageError(error);

    BatchDecrypt::Settings settings;
    settings.threads = options.threads();
    settings.deleteEncrypted = options.deleteEncrypted();
    settings.quiet = options.quiet();
    settings.json = options.json();
    settings.allFiles = options.allFiles();
    settings.progress = isatty(STDERR_FILENO) == 1;

    BatchDecrypt batch(settings, stdout, stderr);
    batch.load(options.paths());
    const int status = batch.run(passphrase);
    passphrase.fill(QLatin1Char('\0'));
    return status;
}
