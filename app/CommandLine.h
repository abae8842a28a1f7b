#pragma once

#include <QString>
#include <QStringList>

// What the program's arguments ask for. Only the first argument after the
// program path can be an option; everything else is a path to load.
class CommandLine {
public:
    enum class Action {
        Nothing, // no arguments
        Usage, // "-h" or "--help": print the usage text and exit
        Version, // "-v" or "--version": print the version and exit
        Load, // load paths()
    };

    // arguments as QCoreApplication::arguments() gives them (program path first);
    // currentDir is the folder "*" stands for, and the one relative paths are
    // taken from: paths() are absolute, fixed when the command line is read.
    CommandLine(const QStringList& arguments, const QString& currentDir);

    Action action() const { return m_action; }
    // "--new-instance" came first: a window of its own, even with one open
    // already (LaunchChannel); the arguments after it are read as usual.
    bool newInstance() const { return m_newInstance; }
    const QStringList& paths() const { return m_paths; }

    // Prints the usage or version text to standard output when the arguments
    // ask for one, and says whether it did (the program then ends with 0).
    static bool answer(const QStringList& arguments);

    // The lines of the usage text, each ending in a newline.
    static QStringList usageLines();
    static QString versionLine();

private:
    Action m_action = Action::Nothing;
    bool m_newInstance = false;
    QStringList m_paths;
};
