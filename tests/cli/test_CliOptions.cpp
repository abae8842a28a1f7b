#include "cli/CliOptionTable.h"
#include "cli/CliOptions.h"

#include <QFile>
#include <QRegularExpression>
#include <QTest>

namespace {

QString describe(const QList<CliOptions::PassphraseSource>& sources)
{
    QStringList parts;
    for (const CliOptions::PassphraseSource& source : sources) {
        switch (source.kind) {
        case CliOptions::PassphraseSource::Kind::Fd:
            parts.append(QStringLiteral("fd:%1").arg(source.fd));
            break;
        case CliOptions::PassphraseSource::Kind::File:
            parts.append(QStringLiteral("file:") + source.path);
            break;
        case CliOptions::PassphraseSource::Kind::List:
            parts.append(QStringLiteral("list:") + source.path);
            break;
        }
    }
    return parts.join(QLatin1Char(' '));
}

} // namespace

class TestCliOptions : public QObject {
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void defaultThreads_data();
    void defaultThreads();
    void modesAndRefusals_data();
    void modesAndRefusals();
    void archiveOptions_data();
    void archiveOptions();
    void helpExplainsEveryOption();
    void documentationShowsEveryOption_data();
    void documentationShowsEveryOption();
};

void TestCliOptions::parse_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("action");
    QTest::addColumn<QStringList>("paths");
    QTest::addColumn<int>("threads"); // with 6 processors the default is 4
    QTest::addColumn<QString>("sources"); // the passphrase sources in order, as describe() writes them
    QTest::addColumn<QString>("flags"); // d = delete-encrypted, q = quiet, j = json, a = all-files, s = --existing skip
    QTest::addColumn<QString>("error"); // part of the usage error

    const int run = int(CliOptions::Action::Run);
    const int usage = int(CliOptions::Action::UsageError);
    QTest::newRow("paths only") << QStringList { "a", "b/" } << run << QStringList { "a", "b/" } << 4 << ""
                                << ""
                                << "";
    QTest::newRow("every option") << QStringList { "--threads", "8", "--passphrase-fd", "3", "--passphrase-file", "pw",
        "--delete-encrypted", "--quiet", "--json", "--all-files", "x" }
                                  << run << QStringList { "x" } << 8 << "fd:3 file:pw"
                                  << "dqja"
                                  << "";
    QTest::newRow("--existing skip") << QStringList { "--existing", "skip", "x" } << run << QStringList { "x" } << 4
                                     << ""
                                     << "s"
                                     << "";
    QTest::newRow("--existing keep") << QStringList { "--existing=keep", "x" } << run << QStringList { "x" } << 4 << ""
                                     << ""
                                     << "";
    QTest::newRow("--existing other") << QStringList { "--existing", "replace", "x" } << usage << QStringList {} << 4
                                      << ""
                                      << ""
                                      << "--existing must be keep or skip, not 'replace'";
    QTest::newRow("--existing twice") << QStringList { "--existing", "skip", "--existing", "keep", "x" } << usage
                                      << QStringList {} << 4 << ""
                                      << ""
                                      << "--existing may be given only once";
    QTest::newRow("short forms, compacted") << QStringList { "-qt", "2", "x" } << run << QStringList { "x" } << 2 << ""
                                            << "q"
                                            << "";
    QTest::newRow("option after path, = form")
        << QStringList { "x", "--threads=1" } << run << QStringList { "x" } << 1 << ""
        << ""
        << "";
    QTest::newRow("-- ends options") << QStringList { "--", "--json" } << run << QStringList { "--json" } << 4 << ""
                                     << ""
                                     << "";
    QTest::newRow("help wins") << QStringList { "--threads", "3", "--help" } << int(CliOptions::Action::Help)
                               << QStringList() << 4 << ""
                               << ""
                               << "";
    QTest::newRow("version") << QStringList { "-v" } << int(CliOptions::Action::Version) << QStringList() << 4 << ""
                             << ""
                             << "";
    QTest::newRow("no paths") << QStringList { "--json" } << usage << QStringList() << 4 << ""
                              << ""
                              << "no files or folders";
    for (const char* bad : { "0", "3", "16", "-1", "two", "" }) {
        QTest::addRow("threads '%s'", bad) << QStringList { "--threads", bad, "x" } << usage << QStringList() << 4 << ""
                                           << ""
                                           << "--threads must be 1, 2, 4 or 8";
    }
    QTest::newRow("threads without value") << QStringList { "x", "--threads" } << usage << QStringList() << 4 << ""
                                           << ""
                                           << "Missing value";
    QTest::newRow("fd negative") << QStringList { "--passphrase-fd", "-2", "x" } << usage << QStringList() << 4 << ""
                                 << ""
                                 << "file descriptor number";
    QTest::newRow("fd not a number") << QStringList { "--passphrase-fd", "stdin", "x" } << usage << QStringList() << 4
                                     << ""
                                     << ""
                                     << "file descriptor number";
    QTest::newRow("file empty") << QStringList { "--passphrase-file=", "x" } << usage << QStringList() << 4 << ""
                                << ""
                                << "needs a file name";
    QTest::newRow("passphrase sources repeated, in their order")
        << QStringList { "--passphrase-list", "old.txt", "--passphrase-fd", "3", "--passphrase-file=a", "x",
               "--passphrase-fd=0", "--passphrase-file", "b", "--passphrase-list", "new.txt" }
        << run << QStringList { "x" } << 4 << "list:old.txt fd:3 file:a fd:0 file:b list:new.txt"
        << ""
        << "";
    QTest::newRow("list empty") << QStringList { "--passphrase-list=", "x" } << usage << QStringList() << 4 << ""
                                << ""
                                << "--passphrase-list needs a file name";
    QTest::newRow("second fd bad") << QStringList { "--passphrase-fd", "3", "--passphrase-fd", "x", "y" } << usage
                                   << QStringList() << 4 << ""
                                   << ""
                                   << "not 'x'";
    QTest::newRow("one descriptor twice")
        << QStringList { "--passphrase-fd", "3", "--passphrase-file", "a", "--passphrase-fd=3", "x" } << usage
        << QStringList() << 4 << ""
        << ""
        << "--passphrase-fd 3 is given twice";
    QTest::newRow("passphrase on the command line")
        << QStringList { "--passphrase", "secret", "x" } << usage << QStringList() << 4 << ""
        << ""
        << "Unknown option";
}

void TestCliOptions::parse()
{
    QFETCH(QStringList, args);
    QFETCH(int, action);
    QFETCH(QStringList, paths);
    QFETCH(int, threads);
    QFETCH(QString, sources);
    QFETCH(QString, flags);
    QFETCH(QString, error);

    const CliOptions options(QStringList { "korvelcrypt-cli" } + args, 6);
    QCOMPARE(int(options.action()), action);
    if (options.action() == CliOptions::Action::UsageError) {
        QVERIFY2(options.error().contains(error), qPrintable(options.error()));
        return;
    }
    if (options.action() != CliOptions::Action::Run)
        return;
    QCOMPARE(options.paths(), paths);
    QCOMPARE(options.threads(), threads);
    QCOMPARE(describe(options.passphraseSources()), sources);
    QCOMPARE(options.deleteEncrypted(), flags.contains('d'));
    QCOMPARE(options.quiet(), flags.contains('q'));
    QCOMPARE(options.json(), flags.contains('j'));
    QCOMPARE(options.allFiles(), flags.contains('a'));
    QCOMPARE(options.skipExisting(), flags.contains('s'));
}

void TestCliOptions::defaultThreads_data()
{
    QTest::addColumn<int>("processors");
    QTest::addColumn<int>("threads");
    const QList<QPair<int, int>> rows { { -1, 1 }, { 0, 1 }, { 1, 1 }, { 2, 2 }, { 3, 2 }, { 4, 4 }, { 7, 4 }, { 8, 8 },
        { 9, 8 }, { 128, 8 } };
    for (const auto& [processors, threads] : rows)
        QTest::addRow("%d processors", processors) << processors << threads;
}

void TestCliOptions::defaultThreads()
{
    QFETCH(int, processors);
    QFETCH(int, threads);
    QCOMPARE(CliOptions::defaultThreads(processors), threads);
    QCOMPARE(CliOptions(QStringList { "korvelcrypt-cli", "x" }, processors).threads(), threads);
}

void TestCliOptions::modesAndRefusals_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("mode"); // -1: refused
    QTest::addColumn<QString>("error"); // part of the refusal

    const int decrypt = int(CliOptions::Mode::Decrypt);
    const int test = int(CliOptions::Mode::Test);
    const int info = int(CliOptions::Mode::Info);
    QTest::newRow("decrypt") << QStringList { "x" } << decrypt << "";
    QTest::newRow("test") << QStringList { "--test", "x" } << test << "";
    QTest::newRow("test with its usual company")
        << QStringList { "--test", "--json", "-t", "2", "--passphrase-list", "l", "--all-files", "x" } << test << "";
    QTest::newRow("info") << QStringList { "--info", "x" } << info << "";
    QTest::newRow("info as JSON, quiet, every file")
        << QStringList { "--info", "--json", "-q", "--all-files", "x" } << info << "";
    QTest::newRow("test and delete") << QStringList { "--delete-encrypted", "--test", "x" } << -1
                                     << "--test cannot be combined with --delete-encrypted: a test writes no plaintext";
    QTest::newRow("info and test") << QStringList { "--test", "--info", "x" } << -1
                                   << "--info cannot be combined with --test";
    QTest::newRow("info and delete") << QStringList { "--info", "--delete-encrypted", "x" } << -1
                                     << "--info cannot be combined with --delete-encrypted";
    for (const char* option : { "--passphrase-fd=3", "--passphrase-file=p", "--passphrase-list=l" })
        QTest::addRow("info and %s", option) << QStringList { "--info", option, "x" } << -1 << "needs no passphrase";

    const int toStdout = int(CliOptions::Mode::Stdout);
    QTest::newRow("stdout") << QStringList { "--stdout", "x" } << toStdout << "";
    QTest::newRow("stdout forced, several passphrases")
        << QStringList { "--force", "--stdout", "--passphrase-fd", "3", "--passphrase-list", "l", "-q", "x" }
        << toStdout << "";
    QTest::newRow("stdout, two files") << QStringList { "--stdout", "x", "y" } << -1
                                       << "--stdout writes the plaintext of exactly one envelope, not of 2 files";
    QTest::newRow("stdout and delete") << QStringList { "--stdout", "--delete-encrypted", "x" } << -1
                                       << "--stdout cannot be combined with --delete-encrypted";
    QTest::newRow("stdout and json") << QStringList { "--json", "--stdout", "x" } << -1
                                     << "--stdout cannot be combined with --json: standard output carries";
    QTest::newRow("stdout and test") << QStringList { "--stdout", "--test", "x" } << -1
                                     << "--stdout cannot be combined with --test";
    QTest::newRow("stdout and info") << QStringList { "--stdout", "--info", "x" } << -1
                                     << "--stdout cannot be combined with --info";
    QTest::newRow("keep times of a test")
        << QStringList { "--test", "--keep-times", "x" } << -1 << "--test cannot be combined with --keep-times";
    QTest::newRow("exclude without a pattern")
        << QStringList { "--exclude=", "x" } << -1 << "--exclude needs a pattern";
    QTest::newRow("exclude, times and progress")
        << QStringList { "--exclude", "*.tmp", "--exclude", "d/*", "--keep-times", "--progress", "x" } << decrypt << "";
    QTest::newRow("dry run with a journal")
        << QStringList { "--dry-run", "--journal", "j", "x" } << -1 << "--dry-run cannot be combined with --journal";
    QTest::newRow("force alone") << QStringList { "--force", "x" } << -1 << "--force only lets --stdout";

    QTest::newRow("output folder, deleting sources")
        << QStringList { "-o", "out", "--delete-encrypted", "--json", "x" } << decrypt << "";
    QTest::newRow("output folder empty") << QStringList { "--output-dir=", "x" } << -1
                                         << "--output-dir needs a folder name";
    QTest::newRow("output folder and test")
        << QStringList { "--test", "-o", "out", "x" } << -1 << "--test cannot be combined with --output-dir";
    QTest::newRow("output folder and info")
        << QStringList { "--info", "--output-dir", "out", "x" } << -1 << "--info cannot be combined with --output-dir";
    QTest::newRow("output folder and stdout")
        << QStringList { "--stdout", "-o", "out", "x" } << -1 << "--stdout cannot be combined with --output-dir";

    // Options an archive's run combines.
    QTest::newRow("test of a list") << QStringList { "--test", "--files-from", "l" } << test << "";
    QTest::newRow("output folder, shard and journal")
        << QStringList { "-o", "out", "--shard", "1/2", "--journal", "j", "x" } << decrypt << "";
    QTest::newRow("test with a journal and a shard")
        << QStringList { "--test", "--journal", "j", "--shard", "3/3", "x" } << test << "";
    QTest::newRow("info of a list, sharded")
        << QStringList { "--info", "--files-from", "-", "--null", "--shard", "1/4" } << info << "";
    QTest::newRow("a list, deleting sources")
        << QStringList { "--files-from", "l", "--delete-encrypted", "--json" } << decrypt << "";
    QTest::newRow("stdout of a list") << QStringList { "--stdout", "--files-from", "l" } << -1
                                      << "--stdout cannot be combined with --files-from";
    QTest::newRow("stdout with a journal")
        << QStringList { "--stdout", "--journal", "j", "x" } << -1 << "--stdout cannot be combined with --journal";
    QTest::newRow("stdout of a shard") << QStringList { "--stdout", "--shard", "1/2", "x" } << -1
                                       << "--stdout cannot be combined with --shard";
    QTest::newRow("stdout of every file")
        << QStringList { "--stdout", "--all-files", "x" } << -1 << "--stdout cannot be combined with --all-files";
    QTest::newRow("stdout, skipping decrypted")
        << QStringList { "--stdout", "--existing", "skip", "x" } << -1 << "--stdout cannot be combined with --existing";
    QTest::newRow("test, skipping decrypted")
        << QStringList { "--test", "--existing", "skip", "x" } << -1 << "--test cannot be combined with --existing";
    QTest::newRow("info with a journal") << QStringList { "--info", "--journal", "j", "x" } << -1
                                         << "--info cannot be combined with --journal";
    QTest::newRow("null without a list") << QStringList { "--null", "x" } << -1
                                         << "--null only says how --files-from separates its names";
    QTest::newRow("a list below a root, said verbosely")
        << QStringList { "--files-from", "-", "--null", "--root", "/mnt", "--verbose", "--shard", "2/3" } << decrypt
        << "";
    QTest::newRow("a dry run of a list below a root") << QStringList { "--dry-run", "--files-from", "l", "--root=/",
        "-o", "out", "--exclude", "/a/*" } << decrypt << "";
    QTest::newRow("root without a list") << QStringList { "--root", "/mnt", "x" } << -1
                                         << "--root only says where the paths --files-from lists begin";
    QTest::newRow("root empty") << QStringList { "--files-from", "l", "--root=" } << -1 << "--root needs a folder name";
    QTest::newRow("verbose and quiet") << QStringList { "--verbose", "-q", "x" } << -1
                                       << "--verbose cannot be combined with --quiet: choose one";
    QTest::newRow("waiting without a journal")
        << QStringList { "--wait-journal", "x" } << -1 << "--wait-journal only says how to wait for the --journal file";
    QTest::newRow("list and passphrase both on standard input") << QStringList { "--files-from", "-", "--passphrase-fd",
        "0" } << -1 << "--files-from - and --passphrase-fd 0 would both read standard input";
    QTest::newRow("list on standard input, passphrase on another descriptor")
        << QStringList { "--files-from", "-", "--passphrase-fd", "3" } << decrypt << "";
    for (const char* option : { "--files-from", "--journal", "--output-dir", "--shard", "--threads", "--root" }) {
        const QString value = QLatin1String(option) == QLatin1String("--shard")
            ? QStringLiteral("1/2")
            : (QLatin1String(option) == QLatin1String("--threads") ? QStringLiteral("2") : QStringLiteral("v"));
        QTest::newRow(qPrintable(QLatin1String(option) + QStringLiteral(" twice"))) << QStringList { option, value,
            option, value, "x" } << -1 << QStringLiteral("%1 may be given only once").arg(QLatin1String(option));
    }
}

void TestCliOptions::archiveOptions_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("filesFrom");
    QTest::addColumn<bool>("nullSeparated");
    QTest::addColumn<QString>("journal");
    QTest::addColumn<int>("shardIndex");
    QTest::addColumn<int>("shardCount");
    QTest::addColumn<QString>("error"); // part of the refusal; empty: accepted

    QTest::newRow("none") << QStringList { "x" } << "" << false << "" << 0 << 0 << "";
    QTest::newRow("a list alone, no paths")
        << QStringList { "--files-from", "names.txt" } << "names.txt" << false << "" << 0 << 0 << "";
    QTest::newRow("standard input, NUL-separated")
        << QStringList { "--null", "--files-from=-" } << "-" << true << "" << 0 << 0 << "";
    QTest::newRow("journal and shard") << QStringList { "--journal", "run.journal", "--shard=2/8", "x" } << "" << false
                                       << "run.journal" << 2 << 8 << "";
    QTest::newRow("one shard of one") << QStringList { "--shard", "1/1", "x" } << "" << false << "" << 1 << 1 << "";
    QTest::newRow("list empty") << QStringList { "--files-from=", "x" } << "" << false << "" << 0 << 0
                                << "--files-from needs a file name";
    QTest::newRow("journal empty") << QStringList { "--journal=", "x" } << "" << false << "" << 0 << 0
                                   << "--journal needs a file name";
    for (const char* bad : { "0/3", "4/3", "1/0", "-1/2", "2", "a/b", "1/2/3", "", "1/" })
        QTest::addRow("shard '%s'", bad)
            << QStringList { "--shard", bad, "x" } << "" << false << "" << 0 << 0
            << QStringLiteral("--shard needs K/N with 1 <= K <= N, such as 2/8, not '%1'").arg(QLatin1String(bad));
    QTest::newRow("no paths and no list")
        << QStringList { "--journal", "j" } << "" << false << "" << 0 << 0 << "no files or folders given";
}

void TestCliOptions::archiveOptions()
{
    QFETCH(QStringList, args);
    QFETCH(QString, filesFrom);
    QFETCH(bool, nullSeparated);
    QFETCH(QString, journal);
    QFETCH(int, shardIndex);
    QFETCH(int, shardCount);
    QFETCH(QString, error);
    const CliOptions options(QStringList { "korvelcrypt-cli" } + args, 4);
    if (!error.isEmpty()) {
        QCOMPARE(options.action(), CliOptions::Action::UsageError);
        QVERIFY2(options.error().contains(error), qPrintable(options.error()));
        return;
    }
    QCOMPARE(options.action(), CliOptions::Action::Run);
    QCOMPARE(options.filesFrom(), filesFrom);
    QCOMPARE(options.nullSeparated(), nullSeparated);
    QCOMPARE(options.journal(), journal);
    QCOMPARE(options.shardIndex(), shardIndex);
    QCOMPARE(options.shardCount(), shardCount);
}

void TestCliOptions::modesAndRefusals()
{
    QFETCH(QStringList, args);
    QFETCH(int, mode);
    QFETCH(QString, error);
    const CliOptions options(QStringList { "korvelcrypt-cli" } + args, 4);
    if (mode < 0) {
        QCOMPARE(options.action(), CliOptions::Action::UsageError);
        QVERIFY2(options.error().contains(error), qPrintable(options.error()));
        return;
    }
    QCOMPARE(options.action(), CliOptions::Action::Run);
    QCOMPARE(int(options.mode()), mode);
    const qsizetype output = args.indexOf(QStringLiteral("-o"));
    QCOMPARE(options.outputDir(), output >= 0 ? args.at(output + 1) : QString());
    const qsizetype root = args.indexOf(QStringLiteral("--root"));
    QCOMPARE(options.root(),
        root >= 0                       ? args.at(root + 1)
            : args.contains("--root=/") ? QStringLiteral("/")
                                        : QString());
    QCOMPARE(options.verbose(), args.contains(QStringLiteral("--verbose")));
}

void TestCliOptions::helpExplainsEveryOption()
{
    const QString help = CliOptions::helpText(4);
    // It fits a terminal: lines of at most 80 columns, and one screenful or two.
    QVERIFY(help.count('\n') < 100);
    for (const QString& line : help.split(QLatin1Char('\n')))
        QVERIFY2(line.size() <= 80, qPrintable(line));
    for (const char* option :
        { "--passphrase-fd", "--passphrase-file", "--passphrase-list", "--threads", "--delete-encrypted", "--quiet",
            "--json", "--all-files", "--test", "--info", "--stdout", "--force", "--output-dir", "--files-from",
            "--null", "--journal", "--shard", "--existing", "--root", "--verbose", "--help", "--version", "130" }) {
        QVERIFY2(help.contains(QLatin1String(option)), option);
    }
    // Each option that changes a run is shown at work in an example.
    const qsizetype examples = help.indexOf(QStringLiteral("\nExamples:\n"));
    QVERIFY(examples > 0);
    const QString shown = help.mid(examples, help.indexOf(QStringLiteral("\n\n"), examples + 2) - examples);
    for (const char* option : { "--passphrase-fd", "--passphrase-file", "--passphrase-list", "-t ",
             "--delete-encrypted", "--quiet", "--json", "--all-files", "--test", "--info", "--stdout", "--force", "-o ",
             "--files-from", "--null", "--journal", "--shard", "--existing" }) {
        QVERIFY2(shown.contains(QLatin1String(option)), option);
    }
    QVERIFY(help.contains(QStringLiteral("here 4)")));
    QVERIFY(CliOptions::versionText().startsWith(QStringLiteral("korvelcrypt-cli (Korvel Crypt) 1.1.")));
}

void TestCliOptions::documentationShowsEveryOption_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<QString>("shortForm");
    // Every option of the table the parser and --help read.
    for (const CliOptionTable::Option& option : CliOptionTable::options()) {
        const QString name = QStringLiteral("--") + QLatin1String(option.longName);
        QTest::newRow(qPrintable(name)) << name
                                        << (option.shortName ? QStringLiteral("-") + QLatin1String(option.shortName)
                                                             : name);
    }
}

// The README and the manual page describe every option and show it at work.
void TestCliOptions::documentationShowsEveryOption()
{
    QFETCH(QString, option);
    QFETCH(QString, shortForm);
    QFile readmeFile(QStringLiteral(KORVEL_SOURCE_DIR "/README.md"));
    QFile manFile(QStringLiteral(KORVEL_SOURCE_DIR "/packaging/man/korvelcrypt-cli.1"));
    QVERIFY(readmeFile.open(QIODevice::ReadOnly));
    QVERIFY(manFile.open(QIODevice::ReadOnly));
    const QString readme = QString::fromUtf8(readmeFile.readAll());
    const QString man = QString::fromUtf8(manFile.readAll()).replace(QStringLiteral("\\-"), QStringLiteral("-"));
    // The short form, where there is one, may stand in an example for the long one.
    const QRegularExpression used(QStringLiteral("(^|\\s)(%1|%2)([\\s=]|$)")
                                      .arg(QRegularExpression::escape(option), QRegularExpression::escape(shortForm)));

    // README: named in the text, used in an example (an indented command line).
    QVERIFY2(readme.contains(QLatin1Char('`') + option), qPrintable(option));
    // bash completion offers it.
    QFile completion(QStringLiteral(KORVEL_SOURCE_DIR "/packaging/bash-completion/korvelcrypt-cli"));
    QVERIFY(completion.open(QIODevice::ReadOnly));
    QVERIFY2(QString::fromUtf8(completion.readAll())
                 .contains(QRegularExpression(QStringLiteral("\\s%1\\s").arg(QRegularExpression::escape(option)))),
        qPrintable(option));
    bool example = false;
    bool command = false; // within a command, over its continued lines
    for (const QString& line : readme.split(QLatin1Char('\n'))) {
        command
            = line.startsWith(QStringLiteral("    ")) && (command || line.contains(QStringLiteral("korvelcrypt-cli")));
        example = example || (command && used.match(line).hasMatch());
    }
    QVERIFY2(example, qPrintable(option));

    // Manual page: an entry of its own, with an example in it.
    const qsizetype entry = man.indexOf(
        QRegularExpression(QStringLiteral("\\n\\.TP\\n[^\\n]*%1[ \"\\n]").arg(QRegularExpression::escape(option))));
    QVERIFY2(entry >= 0, qPrintable(option));
    const qsizetype next = man.indexOf(QStringLiteral("\n.TP\n"), entry + 1);
    const QString text = man.mid(entry + 5, next < 0 ? -1 : next - entry - 5);
    QVERIFY2(text.contains(QStringLiteral("korvelcrypt-cli ")) && used.match(text).hasMatch(), qPrintable(text));
}

QTEST_GUILESS_MAIN(TestCliOptions)
#include "test_CliOptions.moc"
