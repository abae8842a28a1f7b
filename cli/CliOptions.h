// What korvelcrypt-cli's arguments ask for: the paths to decrypt, where the
// passphrase comes from and how the batch runs. Parsing never reads the
// passphrase itself; that is PassphraseReader's job once the options are known.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

class QCommandLineParser;

class CliOptions {
public:
    enum class Action {
        Run, // decrypt paths()
        Help, // print helpText() and exit 0
        Version, // print versionText() and exit 0
        UsageError, // print error() with a hint and exit 2
    };

    // arguments as QCoreApplication::arguments() gives them (program path first);
    // processors is the number the default thread count is derived from.
    CliOptions(const QStringList& arguments, int processors);

    // What a Run does with the files.
    enum class Mode {
        Decrypt, // write each plaintext to disk
        Test, // --test: decrypt every envelope to its end, write nothing
        Info, // --info: describe each file's trailer; no passphrase
        Stdout, // --stdout: one envelope's plaintext to standard output, nothing on disk
    };

    Action action() const { return m_action; }
    Mode mode() const { return m_mode; }
    QString error() const { return m_error; }

    // Where one or more candidate passphrases come from.
    struct PassphraseSource {
        enum class Kind {
            Fd, // one line from a file descriptor
            File, // the first line of a file
            List, // every line of a file
        };
        Kind kind = Kind::Fd;
        int fd = -1; // Kind::Fd
        QString path; // Kind::File, Kind::List
    };

    QStringList paths() const { return m_paths; }
    int threads() const { return m_threads; }
    // In the order the options were given, which is the order the candidates are
    // tried in; empty when none was given (then the terminal is asked).
    QList<PassphraseSource> passphraseSources() const { return m_passphraseSources; }
    bool deleteEncrypted() const { return m_deleteEncrypted; }
    bool quiet() const { return m_quiet; }
    bool json() const { return m_json; }
    // Take every file found in folders, not only those that may be envelopes.
    bool allFiles() const { return m_allFiles; }
    // --existing skip: pass over an envelope whose plaintext already stands under
    // its plain name (FileLoading::LoadOptions::skipDecrypted); keep (the
    // default) decrypts it under a "(decrypted)" name.
    bool skipExisting() const { return m_skipExisting; }
    // -o: the folder every plaintext is written below; empty: next to each source.
    QString outputDir() const { return m_outputDir; }
    // --files-from: a file ("-" for standard input) that lists further paths, one
    // a line, or separated by NUL bytes with --null; empty when not given.
    QString filesFrom() const { return m_filesFrom; }
    bool nullSeparated() const { return m_null; }
    // --root: the folder listed paths are taken below; empty: the working folder.
    QString root() const { return m_root; }
    // --verbose: the settings at the start, and each file passed over with why.
    bool verbose() const { return m_verbose; }
    // --exclude: wildcard patterns for paths (below a folder, or as listed) or names to leave out.
    QStringList excludes() const { return m_excludes; }
    // --keep-times: each plaintext gets its envelope's modification time.
    bool keepTimes() const { return m_keepTimes; }
    // --dry-run: list each source and the name its plaintext would get, write nothing.
    bool dryRun() const { return m_dryRun; }
    // --progress: progress lines on standard error even when it is no terminal.
    bool progressLines() const { return m_progressLines; }
    // --journal: the file that records finished sources; empty when not given.
    QString journal() const { return m_journal; }
    // --wait-journal: wait while another process holds the journal.
    bool waitJournal() const { return m_waitJournal; }
    // --shard K/N: take only the sources of shard K (1 to N) of N; 0/0 when not given.
    int shardIndex() const { return m_shardIndex; }
    int shardCount() const { return m_shardCount; }
    // --force: write plaintext to standard output even when it is a terminal.
    bool force() const { return m_force; }

    // The largest of 1, 2, 4 and 8 that does not exceed processors (1 when below 1).
    static int defaultThreads(int processors);
    // The help text, naming the default thread count of this machine.
    static QString helpText(int defaultThreads);
    static QString versionText();

private:
    // Each sets a usage error and answers false when the arguments are wrong.
    bool usageError(const QString& text);
    // The values of the options, in the order their errors are looked for.
    bool readValues(const QCommandLineParser& parser);
    bool readThreads(const QCommandLineParser& parser);
    bool readPassphraseSources(const QCommandLineParser& parser);
    bool readExisting(const QCommandLineParser& parser);
    // A value that names a file or folder (what it needs, for the error).
    bool readName(const QCommandLineParser& parser, const char* option, const QString& what, QString* name);
    bool readShard(const QCommandLineParser& parser);
    // Refuses options that make no sense together (CliOptionTable: needs, conflicts).
    bool checkCombinations(const QCommandLineParser& parser);

    Action m_action = Action::Run;
    Mode m_mode = Mode::Decrypt;
    QString m_error;
    QStringList m_paths;
    int m_threads = 1;
    QList<PassphraseSource> m_passphraseSources;
    bool m_deleteEncrypted = false;
    bool m_quiet = false;
    bool m_json = false;
    bool m_allFiles = false;
    bool m_skipExisting = false;
    bool m_force = false;
    QString m_outputDir;
    QString m_filesFrom;
    bool m_null = false;
    QString m_root;
    bool m_verbose = false;
    QStringList m_excludes;
    bool m_keepTimes = false;
    bool m_dryRun = false;
    bool m_progressLines = false;
    QString m_journal;
    bool m_waitJournal = false;
    int m_shardIndex = 0;
    int m_shardCount = 0;
};
