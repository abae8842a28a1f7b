#include "cli/CliOptions.h"

#include "engine/Version.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

CliOptions::CliOptions(const QStringList& arguments, int processors)
    : m_threads(defaultThreads(processors))
{
    const QCommandLineOption help(QStringList { QStringLiteral("h"), QStringLiteral("help") });
    const QCommandLineOption version(QStringList { QStringLiteral("v"), QStringLiteral("version") });
    const QCommandLineOption threads(
        QStringList { QStringLiteral("t"), QStringLiteral("threads") }, QString(), QStringLiteral("N"));
    const QCommandLineOption fd(QStringLiteral("passphrase-fd"), QString(), QStringLiteral("N"));
    const QCommandLineOption file(QStringLiteral("passphrase-file"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption deleteEncrypted(QStringLiteral("delete-encrypted"));
    const QCommandLineOption quiet(QStringList { QStringLiteral("q"), QStringLiteral("quiet") });
    const QCommandLineOption json(QStringLiteral("json"));

    QCommandLineParser parser;
    // "-abc" means -a -b -c, as in most tools; long options need two dashes.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);
    parser.addOptions({ help, version, threads, fd, file, deleteEncrypted, quiet, json });

    auto usageError = [this](const QString& text) {
        m_action = Action::UsageError;
        m_error = text;
    };

    if (!parser.parse(arguments)) {
        usageError(parser.errorText());
        return;
    }
    if (parser.isSet(help)) {
        m_action = Action::Help;
        return;
    }
    if (parser.isSet(version)) {
        m_action = Action::Version;
        return;
    }

    if (parser.isSet(threads)) {
        const QString text = parser.value(threads);
        bool ok = false;
        const int value = text.toInt(&ok);
        if (!ok || (value != 1 && value != 2 && value != 4 && value != 8)) {
            usageError(QStringLiteral("--threads must be 1, 2, 4 or 8, not '%1'.").arg(text));
            return;
        }
        m_threads = value;
    }
    if (parser.isSet(fd)) {
        const QString text = parser.value(fd);
        bool ok = false;
        const int value = text.toInt(&ok);
        if (!ok || value < 0) {
            usageError(QStringLiteral("--passphrase-fd needs a file descriptor number, not '%1'.").arg(text));
            return;
        }
        m_passphraseFd = value;
    }
    if (parser.isSet(file)) {
        m_passphraseFile = parser.value(file);
        if (m_passphraseFile.isEmpty()) {
            usageError(QStringLiteral("--passphrase-file needs a file name."));
            return;
        }
    }
    m_deleteEncrypted = parser.isSet(deleteEncrypted);
    m_quiet = parser.isSet(quiet);
    m_json = parser.isSet(json);

    m_paths = parser.positionalArguments();
    if (m_paths.isEmpty())
        usageError(QStringLiteral("no files or folders given."));
}

int CliOptions::defaultThreads(int processors)
{
    if (processors >= 8)
        return 8;
    if (processors >= 4)
        return 4;
    if (processors >= 2)
        return 2;
    return 1;
}

QString CliOptions::helpText(int defaultThreads)
{
    return QStringLiteral("Usage: korvelcrypt-cli [OPTION]... PATH...\n"
                          "Decrypts files encrypted with Korvel's security envelope, without a window.\n"
                          "\n"
                          "Files are taken as they are; folders are searched recursively (hidden files\n"
                          "and symbolic links are skipped). Each plaintext is written next to its source\n"
                          "under the source's name without \".korvel-env\", with \"(decrypted)\" inserted\n"
                          "when that name is taken; an existing file is never replaced. A source that\n"
                          "lacks the extension gets it appended once its plaintext is written.\n"
                          "\n"
                          "Passphrase (never on the command line; the first of these that is given):\n"
                          "      --passphrase-fd N    read one line from file descriptor N\n"
                          "      --passphrase-file F  read the first line of file F\n"
                          "                           otherwise ask on the terminal, without echo\n"
                          "\n"
                          "Options:\n"
                          "  -t, --threads N          decrypt N files at once: 1, 2, 4 or 8\n"
                          "                           (default: processors rounded down, here %1)\n"
                          "      --delete-encrypted   delete each source once its plaintext is on disk\n"
                          "  -q, --quiet              print only failures, no summary and no progress\n"
                          "                           line (--json output stays complete)\n"
                          "      --json               one JSON object per task on standard output (source,\n"
                          "                           destination, status, message, reason, bytes,\n"
                          "                           seconds), then a summary object\n"
                          "  -h, --help               show this help and exit\n"
                          "  -v, --version            show the version and exit\n"
                          "\n"
                          "Output: \"OK<tab>SOURCE<tab>DESTINATION\" or \"FAILED<tab>SOURCE<tab>MESSAGE\"\n"
                          "per task, then \"N finished, N failed, N total\". A failed write ends its\n"
                          "MESSAGE with the system's reason in parentheses (\"(No space left on device)\").\n"
                          "While standard error is a terminal it shows a live progress line.\n"
                          "\n"
                          "Exit status: 0 when every task finished; 1 when a task failed, a path was\n"
                          "missing or a source could not be renamed or deleted; 2 for a usage error;\n"
                          "130 after Ctrl-C (143 after SIGTERM).\n"
                          "Interrupting cancels the running tasks: their partial output is removed and\n"
                          "no source is touched.\n")
        .arg(defaultThreads);
}

QString CliOptions::versionText()
{
    return QStringLiteral("korvelcrypt-cli (Korvel Crypt) " KORVEL_VERSION "\n");
}
