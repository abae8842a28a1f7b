// What korvelcrypt-cli prints on standard output for each task, file and run:
// text lines for a person (TextReporter) or JSON objects for a program
// (JsonReporter), chosen once from the options. A reporter only words the
// lines; the batch and the info report count, decide and print them.
#pragma once

#include "engine/FileLoading.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>

class CliReporter {
public:
    enum class Outcome { Finished, Failed, Cancelled };

    // One decrypted (or tested) task.
    struct Task {
        QString source; // as the inputs named it
        QString destination; // empty: none to name
        Outcome outcome = Outcome::Finished;
        QString message;
        QString reason; // the system's words for a failed write; empty: none
        QString error; // the failure class ("passphrase", "write"...); empty: none
        qint64 bytes = 0;
        double seconds = 0;
        int passphrase = -1; // the matching candidate's index; -1: none
        bool verifyOnly = false; // --test: no destination
    };
    // An input or a folder below one that gave nothing: missing, neither file
    // nor folder, or a folder that could not be read.
    struct Problem {
        QString source; // as the inputs named it
        QString error; // the failure class: "missing", "not-a-file" or "read"
        QString message;
        QString reason; // the system's words; empty: none
    };
    // The end of a decrypting (or testing) run.
    struct BatchSummary {
        int finished = 0;
        int failed = 0;
        int notDone = 0; // cancelled or never started
        int total = 0;
        int missing = 0;
        int unreadable = 0; // folders that could not be read
        int skipped = 0;
        int journaled = 0;
        int recordedRemoved = 0;
        qint64 bytes = 0;
        double seconds = 0;
        bool interrupted = false;
        bool test = false;
        int exitStatus = 0;
    };
    // One file --info looked at.
    struct Info {
        QString source; // as the inputs named it
        bool envelope = false;
        qint64 plaintextSize = 0;
        qint64 keyRecords = 0;
        qint64 trailerSize = 0;
        QString message; // why it is no envelope
    };
    struct InfoSummary {
        int envelopes = 0;
        int notEnvelopes = 0;
        int missing = 0;
        int unreadable = 0;
        int skipped = 0;
        int exitStatus = 0;
    };

    virtual ~CliReporter() = default;

    // JSON objects with json, else text lines (only failures when quiet).
    static std::unique_ptr<CliReporter> make(bool json, bool quiet);

    // What the find could not take (FileLoading::Result::skipped and
    // unreadable), in order: missing and odd inputs first, then folders.
    static QList<Problem> problemsOf(const FileLoading::Result& found);
    // The line for standard error ("cannot access 'x': No such file or directory").
    static QString problemText(const Problem& problem);

    // Each gives the line for standard output, without its newline; empty: none.
    virtual QByteArray task(const Task& task) const = 0;
    virtual QByteArray problem(const Problem& problem) const = 0;
    virtual QByteArray summary(const BatchSummary& summary) const = 0;
    virtual QByteArray info(const Info& info) const = 0;
    virtual QByteArray infoSummary(const InfoSummary& summary) const = 0;
    // --dry-run: a source and the name its plaintext would get (names as found).
    virtual QByteArray planned(const QString& source, const QString& destination) const = 0;
    // Whether notes for a person ("N files loaded. N duplicates skipped.") go
    // to standard error.
    virtual bool notes() const = 0;
};
