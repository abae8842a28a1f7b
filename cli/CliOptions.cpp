#include "cli/CliOptions.h"

#include "engine/Version.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QSet>

CliOptions::CliOptions(const QStringList& arguments, int processors)
    : m_threads(defaultThreads(processors))
{
    const QCommandLineOption help(QStringList { QStringLiteral("h"), QStringLiteral("help") });
    const QCommandLineOption version(QStringList { QStringLiteral("v"), QStringLiteral("version") });
    const QCommandLineOption threads(
        QStringList { QStringLiteral("t"), QStringLiteral("threads") }, QString(), QStringLiteral("N"));
    const QCommandLineOption fd(QStringLiteral("passphrase-fd"), QString(), QStringLiteral("N"));
    const QCommandLineOption file(QStringLiteral("passphrase-file"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption list(QStringLiteral("passphrase-list"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption deleteEncrypted(QStringLiteral("delete-encrypted"));
    const QCommandLineOption quiet(QStringList { QStringLiteral("q"), QStringLiteral("quiet") });
    const QCommandLineOption json(QStringLiteral("json"));
    const QCommandLineOption allFiles(QStringLiteral("all-files"));
    const QCommandLineOption existing(QStringLiteral("existing"), QString(), QStringLiteral("keep|skip"));
    const QCommandLineOption test(QStringLiteral("test"));
    const QCommandLineOption info(QStringLiteral("info"));
    const QCommandLineOption toStdout(QStringLiteral("stdout"));
    const QCommandLineOption force(QStringLiteral("force"));
    const QCommandLineOption filesFrom(QStringLiteral("files-from"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption nullSeparated(QStringLiteral("null"));
    const QCommandLineOption journal(QStringLiteral("journal"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption shard(QStringLiteral("shard"), QString(), QStringLiteral("K/N"));
    const QCommandLineOption outputDir(
        QStringList { QStringLiteral("o"), QStringLiteral("output-dir") }, QString(), QStringLiteral("DIR"));

    QCommandLineParser parser;
    // "-abc" means -a -b -c, as in most tools; long options need two dashes.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);
    const QList<QCommandLineOption> all { help, version, threads, fd, file, list, deleteEncrypted, quiet, json,
        allFiles, existing, test, info, toStdout, force, outputDir, filesFrom, nullSeparated, journal, shard };
    parser.addOptions(all);

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
    // An option that holds one value says it once: a second list, journal or
    // folder would otherwise be dropped without a word.
    for (const QCommandLineOption* single : { &threads, &outputDir, &filesFrom, &journal, &shard, &existing }) {
        if (parser.values(*single).size() > 1) {
            usageError(QStringLiteral("--%1 may be given only once.").arg(single->names().constLast()));
            return;
        }
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
    // The passphrase options may be repeated; their candidates are tried in the
    // order the options stand on the command line.
    const QStringList fdValues = parser.values(fd);
    const QStringList fileValues = parser.values(file);
    const QStringList listValues = parser.values(list);
    qsizetype fdsSeen = 0;
    qsizetype filesSeen = 0;
    qsizetype listsSeen = 0;
    for (const QString& name : parser.optionNames()) {
        PassphraseSource source;
        if (name == fd.names().first() && fdsSeen < fdValues.size()) {
            const QString text = fdValues.at(fdsSeen++);
            bool ok = false;
            const int value = text.toInt(&ok);
            if (!ok || value < 0) {
                usageError(QStringLiteral("--passphrase-fd needs a file descriptor number, not '%1'.").arg(text));
                return;
            }
            source.kind = PassphraseSource::Kind::Fd;
            source.fd = value;
        } else if (name == file.names().first() && filesSeen < fileValues.size()) {
            source.kind = PassphraseSource::Kind::File;
            source.path = fileValues.at(filesSeen++);
        } else if (name == list.names().first() && listsSeen < listValues.size()) {
            source.kind = PassphraseSource::Kind::List;
            source.path = listValues.at(listsSeen++);
        } else {
            continue;
        }
        if (source.kind != PassphraseSource::Kind::Fd && source.path.isEmpty()) {
            usageError(QStringLiteral("--%1 needs a file name.").arg(name));
            return;
        }
        m_passphraseSources.append(source);
    }
    m_deleteEncrypted = parser.isSet(deleteEncrypted);
    m_quiet = parser.isSet(quiet);
    m_json = parser.isSet(json);
    m_allFiles = parser.isSet(allFiles);
    if (parser.isSet(existing)) {
        const QString text = parser.value(existing);
        if (text != QLatin1String("keep") && text != QLatin1String("skip")) {
            usageError(QStringLiteral("--existing must be keep or skip, not '%1'.").arg(text));
            return;
        }
        m_skipExisting = text == QLatin1String("skip");
    }

    if (parser.isSet(test))
        m_mode = Mode::Test;
    if (parser.isSet(info))
        m_mode = Mode::Info;
    if (parser.isSet(toStdout))
        m_mode = Mode::Stdout;
    m_force = parser.isSet(force);
    if (parser.isSet(outputDir)) {
        m_outputDir = parser.value(outputDir);
        if (m_outputDir.isEmpty()) {
            usageError(QStringLiteral("--output-dir needs a folder name."));
            return;
        }
    }
    m_null = parser.isSet(nullSeparated);
    if (parser.isSet(filesFrom)) {
        m_filesFrom = parser.value(filesFrom);
        if (m_filesFrom.isEmpty()) {
            usageError(QStringLiteral("--files-from needs a file name (or - for standard input)."));
            return;
        }
    }
    if (parser.isSet(journal)) {
        m_journal = parser.value(journal);
        if (m_journal.isEmpty()) {
            usageError(QStringLiteral("--journal needs a file name."));
            return;
        }
    }
    if (parser.isSet(shard)) {
        const QString text = parser.value(shard);
        const QStringList parts = text.split(QLatin1Char('/'));
        bool indexOk = false;
        bool countOk = false;
        const int index = parts.size() == 2 ? parts.at(0).toInt(&indexOk) : 0;
        const int count = parts.size() == 2 ? parts.at(1).toInt(&countOk) : 0;
        if (!indexOk || !countOk || count < 1 || index < 1 || index > count) {
            usageError(QStringLiteral("--shard needs K/N with 1 <= K <= N, such as 2/8, not '%1'.").arg(text));
            return;
        }
        m_shardIndex = index;
        m_shardCount = count;
    }
    // Each option given, by its long name.
    QSet<QString> given;
    for (const QCommandLineOption& option : all)
        if (parser.isSet(option))
            given.insert(option.names().constLast());
    if (!checkCombinations(given))
        return;

    m_paths = parser.positionalArguments();
    if (m_paths.isEmpty() && m_filesFrom.isEmpty())
        usageError(QStringLiteral("no files or folders given."));
    else if (m_mode == Mode::Stdout && m_paths.size() > 1)
        usageError(QStringLiteral("--stdout writes the plaintext of exactly one envelope, not of %1 files.")
                       .arg(m_paths.size()));
}

bool CliOptions::checkCombinations(const QSet<QString>& given)
{
    struct Conflict {
        const char* first;
        const char* second;
        const char* why;
    };
    static const Conflict kConflicts[] = {
        { "test", "delete-encrypted", "a test writes no plaintext, so it deletes no source" },
        { "info", "test", "choose one" },
        { "info", "delete-encrypted", "--info decrypts nothing" },
        { "info", "passphrase-fd", "--info needs no passphrase" },
        { "info", "passphrase-file", "--info needs no passphrase" },
        { "info", "passphrase-list", "--info needs no passphrase" },
        { "stdout", "test", "choose one" },
        { "stdout", "info", "choose one" },
        { "stdout", "delete-encrypted", "the plaintext is not kept on disk, so its source must stay" },
        { "stdout", "json", "standard output carries the plaintext" },
        { "stdout", "output-dir", "choose one place for the plaintext" },
        { "test", "output-dir", "a test writes nothing" },
        { "info", "output-dir", "--info writes nothing" },
        { "info", "journal", "--info decrypts nothing to record" },
        { "stdout", "files-from", "it writes exactly one envelope, named on the command line" },
        { "stdout", "journal", "it writes exactly one envelope, to no file" },
        { "stdout", "shard", "it writes exactly one envelope" },
        { "stdout", "all-files", "it takes one file named, never a folder's files" },
        { "stdout", "existing", "it writes no plaintext to disk" },
        { "test", "existing", "a test writes nothing" },
        { "info", "existing", "--info writes nothing" },
    };
    const auto refuse = [this](const QString& text) {
        m_action = Action::UsageError;
        m_error = text;
        return false;
    };
    if (given.contains(QStringLiteral("force")) && !given.contains(QStringLiteral("stdout")))
        return refuse(QStringLiteral("--force only lets --stdout write to a terminal; it replaces no file."));
    if (given.contains(QStringLiteral("null")) && !given.contains(QStringLiteral("files-from")))
        return refuse(QStringLiteral("--null only says how --files-from separates its names."));
    // Both would read standard input.
    if (m_filesFrom == QStringLiteral("-")) {
        for (const PassphraseSource& source : std::as_const(m_passphraseSources))
            if (source.kind == PassphraseSource::Kind::Fd && source.fd == 0)
                return refuse(QStringLiteral("--files-from - and --passphrase-fd 0 would both read standard input."));
    }
    for (const Conflict& conflict : kConflicts) {
        const QString first = QLatin1String(conflict.first);
        const QString second = QLatin1String(conflict.second);
        if (given.contains(first) && given.contains(second))
            return refuse(QStringLiteral("--%1 cannot be combined with --%2: %3.")
                              .arg(first, second, QLatin1String(conflict.why)));
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
    return QStringLiteral("Usage: korvelcrypt-cli [OPTION]... PATH...\n"
                          "Decrypts files encrypted with Korvel's security envelope, without a window.\n"
                          "\n"
                          "Files named are taken as they are; folders are searched recursively (hidden\n"
                          "files and symbolic links are skipped) for envelopes: files named *.korvel-env\n"
                          "and files that end in an envelope's record marker. Other files there are\n"
                          "counted as skipped. Each plaintext is written next to its source (or below -o)\n"
                          "under the source's name without \".korvel-env\", with \"(decrypted)\" inserted\n"
                          "when that name is taken; an existing file is never replaced. A source that\n"
                          "lacks the extension gets it appended once its plaintext is written, unless\n"
                          "the source is deleted (--delete-encrypted).\n"
                          "\n"
                          "Passphrases (never on the command line). The options may be repeated: each\n"
                          "envelope is opened with the first candidate, in the order given, that matches.\n"
                          "      --passphrase-fd N    one line from file descriptor N\n"
                          "      --passphrase-file F  the first line of file F\n"
                          "      --passphrase-list F  every line of file F, one passphrase a line\n"
                          "                           with none of these: ask on the terminal, no echo\n"
                          "\n"
                          "What to take:\n"
                          "      --all-files          take every file found in folders, not only envelopes\n"
                          "      --existing keep|skip an envelope whose plaintext already stands under its\n"
                          "                           plain name: keep both (the default; the new one gets\n"
                          "                           a \"(decrypted)\" name) or skip it, counted as skipped\n"
                          "      --files-from F       also take the paths F lists (- for standard input),\n"
                          "                           one a line; below -o each keeps its path as listed\n"
                          "      --null               --files-from names end in NUL bytes (find -print0)\n"
                          "      --shard K/N          take only shard K of N: a file's path below the\n"
                          "                           folder it was found in decides, on every machine\n"
                          "                           alike; shards 1 to N together take every file once\n"
                          "      --journal F          record each finished source in F (made if missing);\n"
                          "                           a rerun with F skips the sources it records (and\n"
                          "                           with --delete-encrypted deletes those left whose\n"
                          "                           plaintexts are in place); one run at a time uses F\n"
                          "\n"
                          "What to do (by default: decrypt each envelope beside its source):\n"
                          "  -o, --output-dir DIR     write every plaintext below DIR instead: a file found\n"
                          "                           in a folder keeps its path from that folder (whose\n"
                          "                           own name is kept, as cp -r does), a file named\n"
                          "                           lands in DIR; no source is renamed or written\n"
                          "      --delete-encrypted   delete each source once its plaintext is on disk;\n"
                          "                           a source replaced or changed meanwhile is kept\n"
                          "      --test               decrypt every envelope to its end and write nothing,\n"
                          "                           to check an archive and its passphrases\n"
                          "      --info               no passphrase, no decryption: describe each file\n"
                          "      --stdout             write the plaintext of one envelope (a regular\n"
                          "                           file, never a pipe or device) to standard\n"
                          "                           output, nothing to disk (not to a terminal unless\n"
                          "                           --force); after a failure part-way, what was\n"
                          "                           written stays written\n"
                          "      --force              let --stdout write to a terminal\n"
                          "  -t, --threads N          decrypt N files at once: 1, 2, 4 or 8\n"
                          "                           (default: processors rounded down, here %1)\n"
                          "  -q, --quiet              print only failures, no summary and no progress\n"
                          "                           line (--json output stays complete)\n"
                          "      --json               one JSON object per task on standard output (source,\n"
                          "                           destination, status, message, reason, bytes,\n"
                          "                           seconds, and passphrase: the matching candidate's\n"
                          "                           position), then a summary object\n"
                          "  -h, --help               show this help and exit\n"
                          "  -v, --version            show the version and exit\n"
                          "\n"
                          "Examples:\n"
                          "  korvelcrypt-cli --passphrase-file pw.txt -t 4 --delete-encrypted Archive\n"
                          "  korvelcrypt-cli --passphrase-fd 3 --all-files --quiet Mixed 3<pw.txt\n"
                          "  korvelcrypt-cli --passphrase-list old-passphrases.txt --json Archive\n"
                          "  korvelcrypt-cli --passphrase-file pw.txt --existing skip Archive\n"
                          "  korvelcrypt-cli --test --passphrase-list old-passphrases.txt /media/backup\n"
                          "  korvelcrypt-cli --info /media/backup\n"
                          "  korvelcrypt-cli -o Restored --passphrase-file pw.txt /media/backup/2019\n"
                          "  korvelcrypt-cli --stdout --passphrase-file pw.txt x.korvel-env | sha256sum\n"
                          "  korvelcrypt-cli --stdout --force notes.txt.korvel-env\n"
                          "  find Archive -type f -print0 | korvelcrypt-cli --files-from - --null \\\n"
                          "      --journal run.journal --passphrase-file pw.txt\n"
                          "  korvelcrypt-cli --shard 2/8 --journal shard2.journal -o /restore \\\n"
                          "      --passphrase-file pw.txt Archive\n"
                          "\n"
                          "Output: \"OK<tab>SOURCE<tab>DESTINATION\" or \"FAILED<tab>SOURCE<tab>MESSAGE\"\n"
                          "per task (\"OK<tab>SOURCE\" with --test), then \"N finished, N failed, N total\".\n"
                          "A failed write ends its MESSAGE with the system's reason in parentheses\n"
                          "(\"(No space left on device)\"). Names show tabs, newlines, other control\n"
                          "characters and backslashes escaped as ls -b does (\\t, \\n, \\033, \\\\);\n"
                          "--json shows them exactly. While standard error is a terminal it shows\n"
                          "a live progress line. --info prints\n"
                          "\"ENVELOPE<tab>SOURCE<tab>PLAINTEXT-SIZE<tab>KEY-RECORDS<tab>TRAILER-SIZE\"\n"
                          "or \"NOT-ENVELOPE<tab>SOURCE<tab>REASON\" and exits 1 when a file is no envelope.\n"
                          "\n"
                          "Exit status: 0 when every task finished; 1 when a task failed, a path was\n"
                          "missing or a source could not be renamed or deleted; 2 for a usage error;\n"
                          "130 after Ctrl-C (143 after SIGTERM).\n"
                          "Interrupting cancels the running tasks: their partial output is removed and\n"
                          "no source is touched. After an interrupt or a kill, the same command with the\n"
                          "same --journal finishes the rest.\n")
        .arg(defaultThreads);
}

QString CliOptions::versionText()
{
    return QStringLiteral("korvelcrypt-cli (Korvel Crypt) " KORVEL_VERSION "\n");
}
