#include "app/CommandLine.h"

#include "engine/Version.h"

#include <QDir>

#include <cstdio>

namespace {

void writeLines(const QStringList& lines)
{
    for (const QString& line : lines) {
        std::fputs(line.toLocal8Bit().constData(), stdout);
        std::fflush(stdout);
    }
}

} // namespace

CommandLine::CommandLine(const QStringList& arguments, const QString& currentDir)
{
    if (arguments.size() < 2) {
        return;
    }
    if (arguments.at(1) == QLatin1String("--new-instance")) {
        // A window of its own; the rest reads as if the option were not there.
        QStringList rest = arguments;
        rest.removeAt(1);
        *this = CommandLine(rest, currentDir);
        m_newInstance = true;
        return;
    }
    const QString& first = arguments.at(1);
    if (first == QLatin1String("-h") || first == QLatin1String("--help")) {
        m_action = Action::Usage;
    } else if (first == QLatin1String("-v") || first == QLatin1String("--version")) {
        m_action = Action::Version;
    } else if (first == QLatin1String("*")) {
        m_action = Action::Load;
        m_paths = QStringList { currentDir };
    } else {
        m_action = Action::Load;
        // Relative to the folder the program was started in, whatever the
        // current folder is by the time the load runs. (The load cleans them.)
        const QDir base(currentDir);
        for (const QString& argument : arguments.mid(1)) {
            m_paths.append(argument.isEmpty() ? argument : base.absoluteFilePath(argument));
        }
    }
}

QStringList CommandLine::usageLines()
{
    return {
        QStringLiteral("Decrypts files encrypted with Korvel's security envelope.\n"),
        QStringLiteral("\n"),
        QStringLiteral("Usage: korvelcrypt file [file(s)]    - loads file(s) or folder(s).\n"),
        QStringLiteral("       korvelcrypt *                 - loads all files and folders recursively.\n"),
        QStringLiteral("       korvelcrypt -h --help         - displays this help text.\n"),
        QStringLiteral("       korvelcrypt -v --version      - displays version information.\n"),
        QStringLiteral("       korvelcrypt --new-instance    - opens a window of its own, with or without files.\n"),
    };
}

QString CommandLine::versionLine()
{
    return QStringLiteral("Korvel Crypt " KORVEL_VERSION "\n");
}

bool CommandLine::answer(const QStringList& arguments)
{
    switch (CommandLine(arguments, QString()).action()) {
    case Action::Usage:
        writeLines(usageLines());
        return true;
    case Action::Version:
        writeLines({ versionLine() });
        return true;
    default:
        return false;
    }
}
