#include "cli/CliOptionTable.h"

namespace {

// The column the help beside each name begins in.
constexpr qsizetype kHelpColumn = 27;

const char* const kPassphrases = "Passphrases (never on the command line). The options may be repeated: each\n"
                                 "envelope is opened with the first candidate, in the order given, that matches.";
const char* const kNoPassphrase = "--info needs no passphrase";

} // namespace

const QList<CliOptionTable::Option>& CliOptionTable::options()
{
    // clang-format off
    static const QList<Option> kOptions {
        { kPassphrases, "passphrase-fd", nullptr, "N", "one line from file descriptor N", false, nullptr, nullptr, {} },
        { nullptr, "passphrase-file", nullptr, "F", "the first line of file F", false, nullptr, nullptr, {} },
        { nullptr, "passphrase-list", nullptr, "F", "every line of file F, one passphrase a line\n"
                                                    "(blank lines are passed over)\n"
                                                    "with none of these: ask on the terminal, no echo",
            false, nullptr, nullptr, {} },
        { "What to take:", "all-files", nullptr, nullptr, "take every file found in folders, not only envelopes",
            false, nullptr, nullptr, {} },
        { nullptr, "existing", nullptr, "keep|skip", "an envelope whose plaintext stands already: keep\n"
                                                     "both (default; \"(decrypted)\" name) or skip it",
            true, nullptr, nullptr, {} },
        { nullptr, "files-from", nullptr, "F", "also take the paths F lists (- for standard input),\n"
                                               "one a line, taken as a walk would find them",
            true, nullptr, nullptr, {} },
        { nullptr, "null", nullptr, nullptr, "--files-from names end in NUL bytes (find -print0)", false,
            "files-from", "--null only says how --files-from separates its names.", {} },
        { nullptr, "root", nullptr, "DIR", "listed paths lie below DIR (default: the working\n"
                                           "folder); their relative paths begin below it",
            true, "files-from", "--root only says where the paths --files-from lists begin.", {} },
        { nullptr, "exclude", nullptr, "PATTERN", "leave out files whose relative path (or a tail of\n"
                                                  "it, or the whole with /PATTERN) matches; repeatable",
            false, nullptr, nullptr, {} },
        { nullptr, "shard", nullptr, "K/N", "take only shard K of N, by relative path: shards 1\n"
                                            "to N take every file once, on any machine alike",
            true, nullptr, nullptr, {} },
        { nullptr, "journal", nullptr, "F", "record each finished source in F (made if missing);\n"
                                            "a rerun skips what F records, moved or not (and\n"
                                            "with --delete-encrypted deletes those left whose\n"
                                            "plaintexts are in place); one run at a time uses F",
            true, nullptr, nullptr, {} },
        { nullptr, "wait-journal", nullptr, nullptr, "wait while another run uses the --journal file",
            false, "journal", "--wait-journal only says how to wait for the --journal file.", {} },
        { "What to do (by default: decrypt each envelope beside its source):", "output-dir", "o", "DIR",
            "write every plaintext below DIR instead, at its\n"
            "relative path; no source is renamed or written",
            true, nullptr, nullptr, {} },
        { nullptr, "delete-encrypted", nullptr, nullptr, "delete each source once its plaintext is on disk;\n"
                                                         "a source replaced or changed meanwhile is kept",
            false, nullptr, nullptr, {} },
        { nullptr, "dry-run", nullptr, nullptr, "list each source and its plaintext; write nothing",
            false, nullptr, nullptr, {
                { "test", "choose one" },
                { "delete-encrypted", "a dry run deletes nothing" },
                { "journal", "a dry run decrypts nothing to record" } } },
        { nullptr, "keep-times", nullptr, nullptr, "give each plaintext its envelope's modification time",
            false, nullptr, nullptr, {} },
        { nullptr, "test", nullptr, nullptr, "decrypt every envelope to its end and write nothing,\n"
                                             "to check an archive and its passphrases",
            false, nullptr, nullptr, {
                { "delete-encrypted", "a test writes no plaintext, so it deletes no source" },
                { "keep-times", "a test writes no plaintext" },
                { "output-dir", "a test writes nothing" },
                { "existing", "a test writes nothing" } } },
        { nullptr, "info", nullptr, nullptr, "no passphrase, no decryption: describe each file", false, nullptr,
            nullptr, {
                { "test", "choose one" },
                { "delete-encrypted", "--info decrypts nothing" },
                { "keep-times", "--info writes nothing" },
                { "dry-run", "choose one" },
                { "progress", "--info decrypts nothing" },
                { "passphrase-fd", kNoPassphrase },
                { "passphrase-file", kNoPassphrase },
                { "passphrase-list", kNoPassphrase },
                { "output-dir", "--info writes nothing" },
                { "journal", "--info decrypts nothing to record" },
                { "existing", "--info writes nothing" } } },
        { nullptr, "stdout", nullptr, nullptr, "write one envelope's plaintext (a regular file,\n"
                                               "no pipe) to standard output only (to a terminal\n"
                                               "with --force); what a failure part-way wrote stays",
            false, nullptr, nullptr, {
                { "test", "choose one" },
                { "info", "choose one" },
                { "delete-encrypted", "the plaintext is not kept on disk, so its source must stay" },
                { "keep-times", "it writes no plaintext to disk" },
                { "dry-run", "choose one" },
                { "exclude", "it takes one file named" },
                { "progress", "it writes exactly one envelope" },
                { "json", "standard output carries the plaintext" },
                { "output-dir", "choose one place for the plaintext" },
                { "files-from", "it writes exactly one envelope, named on the command line" },
                { "journal", "it writes exactly one envelope, to no file" },
                { "shard", "it writes exactly one envelope" },
                { "all-files", "it takes one file named, never a folder's files" },
                { "existing", "it writes no plaintext to disk" } } },
        { nullptr, "force", nullptr, nullptr, "let --stdout write to a terminal", false, "stdout",
            "--force only lets --stdout write to a terminal; it replaces no file.", {} },
        { nullptr, "threads", "t", "N", "decrypt N files at once: 1, 2, 4 or 8\n"
                                        "(default: processors rounded down, here %1)",
            true, nullptr, nullptr, {} },
        { nullptr, "quiet", "q", nullptr, "print only failures, no summary and no progress\n"
                                          "line (--json output stays complete)",
            false, nullptr, nullptr, {} },
        { nullptr, "progress", nullptr, nullptr, "progress lines on standard error every 10 s (logs)",
            false, nullptr, nullptr, {} },
        { nullptr, "verbose", nullptr, nullptr, "say the settings and each file passed over, and why",
            false, nullptr, nullptr, { { "quiet", "choose one" } } },
        { nullptr, "json", nullptr, nullptr, "one JSON object per task on standard output (source,\n"
                                             "destination, status, error, message, reason, bytes,\n"
                                             "seconds, and passphrase: the matching candidate's\n"
                                             "position), one per path that gave nothing, then\n"
                                             "a summary object",
            false, nullptr, nullptr, {} },
        { nullptr, "help", "h", nullptr, "show this help and exit", false, nullptr, nullptr, {} },
        { nullptr, "version", "v", nullptr, "show the version and exit", false, nullptr, nullptr, {} },
    };
    // clang-format on
    return kOptions;
}

QString CliOptionTable::helpLines()
{
    QString text;
    for (const Option& option : options()) {
        if (option.section)
            text += QLatin1Char('\n') + QLatin1String(option.section) + QLatin1Char('\n');
        QString name = option.shortName ? QStringLiteral("  -%1, ").arg(QLatin1String(option.shortName))
                                        : QStringLiteral("      ");
        name += QLatin1String("--") + QLatin1String(option.longName);
        if (option.value)
            name += QLatin1Char(' ') + QLatin1String(option.value);
        const QStringList lines = QString::fromLatin1(option.help).split(QLatin1Char('\n'));
        text += name.leftJustified(kHelpColumn - 1) + QLatin1Char(' ') + lines.first() + QLatin1Char('\n');
        for (qsizetype i = 1; i < lines.size(); ++i)
            text += QString(kHelpColumn, QLatin1Char(' ')) + lines.at(i) + QLatin1Char('\n');
    }
    return text;
}
