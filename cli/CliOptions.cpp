#include "cli/CliOptions.h"

#include "cli/CliOptionTable.h"
#include "engine/Version.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

CliOptions::CliOptions(const QStringList& arguments, int processors)
    : m_threads(defaultThreads(processors))
{
    QCommandLineParser parser;
    // "-abc" means -a -b -c, as in most tools; long options need two dashes.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);
    for (const CliOptionTable::Option& option : CliOptionTable::options()) {
        QStringList names { QLatin1String(option.longName) };
        if (option.shortName)
            names.prepend(QLatin1String(option.shortName));
        parser.addOption(QCommandLineOption(
            names, QString(), option.value ? QLatin1String(option.value) : QLatin1String(), QString()));
    }
    if (!parser.parse(arguments)) {
        usageError(parser.errorText());
        return;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        m_action = Action::Help;
        return;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        m_action = Action::Version;
        return;
    }
    if (!readValues(parser) || !checkCombinations(parser))
        return;
    m_paths = parser.positionalArguments();
    if (m_paths.isEmpty() && m_filesFrom.isEmpty())
        usageError(QStringLiteral("no files or folders given."));
    else if (m_mode == Mode::Stdout && m_paths.size() > 1)
        usageError(QStringLiteral("--stdout writes the plaintext of exactly one envelope, not of %1 files.")
                       .arg(m_paths.size()));
}

bool CliOptions::usageError(const QString& text)
{
    m_action = Action::UsageError;
    m_error = text;
    return false;
}

bool CliOptions::readValues(const QCommandLineParser& parser)
{
    // An option that holds one value says it once: a second list, journal or
    // folder would otherwise be dropped without a word.
    for (const CliOptionTable::Option& option : CliOptionTable::options())
        if (option.once && parser.values(QLatin1String(option.longName)).size() > 1)
            return usageError(QStringLiteral("--%1 may be given only once.").arg(QLatin1String(option.longName)));
    if (!readThreads(parser) || !readPassphraseSources(parser))
        return false;
    const auto isSet = [&parser](const char* name) { return parser.isSet(QLatin1String(name)); };
    m_deleteEncrypted = isSet("delete-encrypted");
    m_quiet = isSet("quiet");
    m_json = isSet("json");
    m_allFiles = isSet("all-files");
    m_force = isSet("force");
    m_waitJournal = isSet("wait-journal");
    m_null = isSet("null");
    m_keepTimes = isSet("keep-times");
    m_dryRun = isSet("dry-run");
    m_progressLines = isSet("progress");
    m_verbose = isSet("verbose");
    m_excludes = parser.values(QStringLiteral("exclude"));
    if (m_excludes.contains(QString()))
        return usageError(QStringLiteral("--exclude needs a pattern."));
    if (isSet("test"))
        m_mode = Mode::Test;
    if (isSet("info"))
        m_mode = Mode::Info;
    if (isSet("stdout"))
        m_mode = Mode::Stdout;
    return readExisting(parser) && readName(parser, "output-dir", QStringLiteral("a folder name"), &m_outputDir)
        && readName(parser, "files-from", QStringLiteral("a file name (or - for standard input)"), &m_filesFrom)
        && readName(parser, "root", QStringLiteral("a folder name"), &m_root)
        && readName(parser, "journal", QStringLiteral("a file name"), &m_journal) && readShard(parser);
}

bool CliOptions::readThreads(const QCommandLineParser& parser)
{
    if (!parser.isSet(QStringLiteral("threads")))
        return true;
    const QString text = parser.value(QStringLiteral("threads"));
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || (value != 1 && value != 2 && value != 4 && value != 8))
        return usageError(QStringLiteral("--threads must be 1, 2, 4 or 8, not '%1'.").arg(text));
    m_threads = value;
    return true;
}

bool CliOptions::readPassphraseSources(const QCommandLineParser& parser)
{
    // The passphrase options may be repeated; their candidates are tried in the
    // order the options stand on the command line.
    const QStringList kinds { QStringLiteral("passphrase-fd"), QStringLiteral("passphrase-file"),
        QStringLiteral("passphrase-list") };
    const QList<QStringList> values { parser.values(kinds.at(0)), parser.values(kinds.at(1)),
        parser.values(kinds.at(2)) };
    qsizetype seen[3] = { 0, 0, 0 };
    for (const QString& name : parser.optionNames()) {
        const qsizetype kind = kinds.indexOf(name);
        if (kind < 0 || seen[kind] >= values.at(kind).size())
            continue;
        const QString text = values.at(kind).at(seen[kind]++);
        PassphraseSource source;
        source.kind = static_cast<PassphraseSource::Kind>(kind);
        if (source.kind == PassphraseSource::Kind::Fd) {
            bool ok = false;
            source.fd = text.toInt(&ok);
            if (!ok || source.fd < 0)
                return usageError(
                    QStringLiteral("--passphrase-fd needs a file descriptor number, not '%1'.").arg(text));
            // A descriptor gives one line; a second read would take the next one
            // and try it as another candidate.
            for (const PassphraseSource& earlier : std::as_const(m_passphraseSources))
                if (earlier.kind == PassphraseSource::Kind::Fd && earlier.fd == source.fd)
                    return usageError(QStringLiteral("--passphrase-fd %1 is given twice; a descriptor gives one "
                                                     "passphrase (use --passphrase-list for several).")
                                          .arg(source.fd));
        } else if (text.isEmpty()) {
            return usageError(QStringLiteral("--%1 needs a file name.").arg(name));
        } else {
            source.path = text;
        }
        m_passphraseSources.append(source);
    }
    return true;
}

bool CliOptions::readExisting(const QCommandLineParser& parser)
{
    if (!parser.isSet(QStringLiteral("existing")))
        return true;
    const QString text = parser.value(QStringLiteral("existing"));
    if (text != QLatin1String("keep") && text != QLatin1String("skip"))
        return usageError(QStringLiteral("--existing must be keep or skip, not '%1'.").arg(text));
    m_skipExisting = text == QLatin1String("skip");
    return true;
}

bool CliOptions::readName(const QCommandLineParser& parser, const char* option, const QString& what, QString* name)
{
    if (!parser.isSet(QLatin1String(option)))
        return true;
    *name = parser.value(QLatin1String(option));
    if (name->isEmpty())
        return usageError(QStringLiteral("--%1 needs %2.").arg(QLatin1String(option), what));
    return true;
}

bool CliOptions::readShard(const QCommandLineParser& parser)
{
    if (!parser.isSet(QStringLiteral("shard")))
        return true;
    const QString text = parser.value(QStringLiteral("shard"));
    const QStringList parts = text.split(QLatin1Char('/'));
    bool indexOk = false;
    bool countOk = false;
    const int index = parts.size() == 2 ? parts.at(0).toInt(&indexOk) : 0;
    const int count = parts.size() == 2 ? parts.at(1).toInt(&countOk) : 0;
    if (!indexOk || !countOk || count < 1 || index < 1 || index > count)
        return usageError(QStringLiteral("--shard needs K/N with 1 <= K <= N, such as 2/8, not '%1'.").arg(text));
    m_shardIndex = index;
    m_shardCount = count;
    return true;
}

bool CliOptions::checkCombinations(const QCommandLineParser& parser)
{
    const auto given = [&parser](const char* name) { return parser.isSet(QLatin1String(name)); };
    for (const CliOptionTable::Option& option : CliOptionTable::options())
        if (option.needs && given(option.longName) && !given(option.needs))
            return usageError(QLatin1String(option.needsWhy));
    // Both would read standard input.
    if (m_filesFrom == QStringLiteral("-")) {
        for (const PassphraseSource& source : std::as_const(m_passphraseSources))
            if (source.kind == PassphraseSource::Kind::Fd && source.fd == 0)
                return usageError(
                    QStringLiteral("--files-from - and --passphrase-fd 0 would both read standard input."));
    }
    for (const CliOptionTable::Option& option : CliOptionTable::options()) {
        if (!given(option.longName))
            continue;
        for (const CliOptionTable::Conflict& conflict : option.conflicts)
            if (given(conflict.option))
                return usageError(QStringLiteral("--%1 cannot be combined with --%2: %3.")
                                      .arg(QLatin1String(option.longName), QLatin1String(conflict.option),
                                          QLatin1String(conflict.why)));
    }
    return true;
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
    const QString text
        = QStringLiteral("Usage: korvelcrypt-cli [OPTION]... PATH...\n"
                         "Decrypts files encrypted with Korvel's security envelope, without a window.\n"
                         "\n"
                         "Files named are taken as they are; folders are searched recursively (hidden\n"
                         "files and symbolic links are skipped) for envelopes: files named *.korvel-env\n"
                         "and files that end in an envelope's record marker. Other files there are\n"
                         "counted as skipped. Each plaintext is written next to its source (or below -o)\n"
                         "under the source's name without \".korvel-env\", with \"(decrypted)\" inserted\n"
                         "when that name is taken; an existing file is never replaced. A source that\n"
                         "lacks the extension gets it appended once its plaintext is written, unless\n"
                         "the source is deleted (--delete-encrypted). A file's relative path places it\n"
                         "below -o and decides --exclude, --shard and --journal: its path below the\n"
                         "parent of the folder named (whose own name leads, as with cp -r), below\n"
                         "--root for a listed one (hidden ones skipped too), its name if named.\n")
        + CliOptionTable::helpLines()
        + QStringLiteral("\n"
                         "Examples:\n"
                         "  korvelcrypt-cli --passphrase-file pw.txt -t 4 --delete-encrypted Archive\n"
                         "  korvelcrypt-cli --passphrase-fd 3 --all-files --quiet Mixed 3<pw.txt\n"
                         "  korvelcrypt-cli --passphrase-list old.txt --json --existing skip Archive\n"
                         "  korvelcrypt-cli --test --passphrase-list old-passphrases.txt /media/backup\n"
                         "  korvelcrypt-cli --info /media/backup\n"
                         "  korvelcrypt-cli -o Restored --passphrase-file pw.txt /media/backup/2019\n"
                         "  korvelcrypt-cli --stdout --force --passphrase-file pw.txt x.korvel-env\n"
                         "  find /mnt/Archive -type f -print0 | korvelcrypt-cli --files-from - --null \\\n"
                         "      --root /mnt --journal run.journal --passphrase-file pw.txt -o /restore\n"
                         "  korvelcrypt-cli --shard 2/8 --journal shard2.journal -o /restore \\\n"
                         "      --passphrase-file pw.txt Archive\n"
                         "\n"
                         "Output: \"OK<tab>SOURCE<tab>DESTINATION\" or \"FAILED<tab>SOURCE<tab>MESSAGE\"\n"
                         "per task (\"OK<tab>SOURCE\" with --test), then \"N finished, N failed, N total\".\n"
                         "A failed write ends its MESSAGE with the system's reason in parentheses\n"
                         "(\"(No space left on device)\"). Names show tabs, newlines, other control\n"
                         "characters and backslashes escaped as ls -b does (\\t, \\n, \\033, \\\\);\n"
                         "--json shows them exactly. A terminal gets a live progress line. --info prints\n"
                         "\"ENVELOPE<tab>SOURCE<tab>PLAINTEXT-SIZE<tab>KEY-RECORDS<tab>TRAILER-SIZE\"\n"
                         "or \"NOT-ENVELOPE<tab>SOURCE<tab>REASON\" and exits 1 when a file is no envelope.\n"
                         "\n"
                         "Exit status: 0 when every task finished; 1 when a task failed, a path was\n"
                         "missing, a folder could not be read (said) or a source could not be renamed\n"
                         "or deleted; 2 for a usage error (or an -o that cannot be written); 130 after\n"
                         "Ctrl-C (143: SIGTERM); 141 when the reader of standard output quit.\n"
                         "Interrupting (or closing standard output) cancels the running tasks, no\n"
                         "source touched; the same command with the same --journal does the rest.\n");
    return text.arg(defaultThreads);
}

QString CliOptions::versionText()
{
    return QStringLiteral("korvelcrypt-cli (Korvel Crypt) " KORVEL_VERSION "\n");
}
