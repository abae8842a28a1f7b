#include "cli/PassphraseReader.h"

#include "cli/InterruptWatcher.h"
#include "engine/LocalPath.h"

#include <QByteArray>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Longer lines are not passphrases anyone types; stop before eating a whole file.
constexpr qsizetype kMaxLine = 64 * 1024;
// A list of passphrases years long still fits many times over.
constexpr qsizetype kMaxList = 16 * 1024 * 1024;

// Overwrites the bytes before they are released, so the passphrase does not
// linger in freed memory.
void wipe(QByteArray& bytes)
{
    if (!bytes.isEmpty())
        std::memset(bytes.data(), 0, static_cast<size_t>(bytes.size()));
    bytes.clear();
}

// Reads up to the first newline. Returns 0, or an errno value; *sawData tells
// whether anything (even a lone newline) was read.
int readLine(int fd, QByteArray* line, bool* sawData)
{
    *sawData = false;
    line->reserve(128);
    for (;;) {
        char c = 0;
        const ssize_t n = read(fd, &c, 1);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (n == 0)
            break;
        *sawData = true;
        if (c == '\n')
            break;
        if (line->size() >= kMaxLine)
            return EMSGSIZE;
        line->append(c);
    }
    if (line->endsWith('\r'))
        line->chop(1);
    return 0;
}

PassphraseReader::Result finish(QByteArray& line, QString* passphrase)
{
    // Bytes that are not UTF-8 are tried as they are (LocalPath keeps each one).
    *passphrase = LocalPath::decode(line);
    wipe(line);
    return PassphraseReader::Result::Ok;
}

} // namespace

PassphraseReader::Result PassphraseReader::fromFd(int fd, QString* passphrase, QString* error)
{
    QByteArray line;
    bool sawData = false;
    const int code = readLine(fd, &line, &sawData);
    if (code != 0) {
        wipe(line);
        *error = QStringLiteral("cannot read the passphrase from file descriptor %1: %2")
                     .arg(fd)
                     .arg(QString::fromLocal8Bit(std::strerror(code)));
        return Result::Failed;
    }
    if (!sawData) {
        *error = QStringLiteral("no passphrase on file descriptor %1 (it is empty).").arg(fd);
        return Result::Failed;
    }
    return finish(line, passphrase);
}

PassphraseReader::Result PassphraseReader::fromFile(const QString& path, QString* passphrase, QString* error)
{
    const QByteArray name = LocalPath::encode(path);
    int fd = -1;
    do {
        fd = open(name.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        *error = QStringLiteral("cannot open passphrase file '%1': %2")
                     .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return Result::Failed;
    }
    QByteArray line;
    bool sawData = false;
    const int code = readLine(fd, &line, &sawData);
    close(fd);
    if (code != 0) {
        wipe(line);
        *error = QStringLiteral("cannot read passphrase file '%1': %2")
                     .arg(path, QString::fromLocal8Bit(std::strerror(code)));
        return Result::Failed;
    }
    if (!sawData) {
        *error = QStringLiteral("passphrase file '%1' is empty.").arg(path);
        return Result::Failed;
    }
    return finish(line, passphrase);
}

PassphraseReader::Result PassphraseReader::fromList(const QString& path, QStringList* passphrases, QString* error)
{
    QFile file;
    if (QString reason; !LocalPath::openForReading(path, &file, QIODevice::Unbuffered, &reason)) {
        *error = QStringLiteral("cannot open passphrase list '%1': %2").arg(path, reason);
        return Result::Failed;
    }
    // Read with no buffer of QFile's own, into memory that is wiped whenever it is
    // given up, and bounded so that a wrong file name does not fill the memory.
    QByteArray bytes;
    bytes.reserve(static_cast<qsizetype>(qBound<qint64>(0, file.size(), kMaxList)) + 1);
    char chunk[4096];
    qint64 got = 0;
    for (;;) {
        const qint64 n = file.read(chunk, sizeof chunk);
        if (n < 0 || got + n > kMaxList) {
            std::memset(chunk, 0, sizeof chunk);
            wipe(bytes);
            *error = n < 0 ? QStringLiteral("cannot read passphrase list '%1': %2").arg(path, file.errorString())
                           : QStringLiteral("passphrase list '%1' is larger than %2 bytes.").arg(path).arg(kMaxList);
            return Result::Failed;
        }
        if (n == 0)
            break;
        if (bytes.capacity() < got + n) {
            // Grow by hand: a reallocation would leave the old copy behind unwiped.
            QByteArray larger;
            larger.reserve(2 * (got + n));
            larger.append(bytes);
            wipe(bytes);
            bytes = larger;
        }
        bytes.append(chunk, n);
        got += n;
    }
    std::memset(chunk, 0, sizeof chunk);
    if (got == 0) {
        wipe(bytes);
        *error = QStringLiteral("passphrase list '%1' is empty.").arg(path);
        return Result::Failed;
    }
    const qsizetype before = passphrases->size();
    qsizetype start = 0;
    while (start < got) {
        qsizetype end = bytes.indexOf('\n', start);
        if (end < 0 || end >= got)
            end = got;
        qsizetype length = end - start;
        if (end < got && length > 0 && bytes.at(end - 1) == '\r')
            --length;
        // A blank line (an editor's last newline, a gap) is no candidate: an empty
        // passphrase is never tried, and positions count only what is.
        if (length > 0)
            passphrases->append(LocalPath::decode(QByteArray::fromRawData(bytes.constData() + start, length)));
        start = end + 1;
    }
    wipe(bytes);
    if (passphrases->size() == before) {
        *error = QStringLiteral("passphrase list '%1' holds only blank lines.").arg(path);
        return Result::Failed;
    }
    return Result::Ok;
}

PassphraseReader::Result PassphraseReader::fromTerminal(const QString& prompt, QString* passphrase, QString* error)
{
    const int tty = open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (tty < 0) {
        *error = QStringLiteral("no passphrase given and no terminal to ask for one; "
                                "use --passphrase-fd N, --passphrase-file FILE or --passphrase-list FILE.");
        return Result::Failed;
    }
    termios saved {};
    const bool isTerminal = tcgetattr(tty, &saved) == 0;
    if (isTerminal) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL; // the user's Enter still ends the line on screen
        InterruptWatcher::setTerminalToRestore(tty, &saved);
        tcsetattr(tty, TCSAFLUSH, &quiet);
    }
    const QByteArray text = prompt.toLocal8Bit();
    [[maybe_unused]] const ssize_t written = write(tty, text.constData(), static_cast<size_t>(text.size()));

    QByteArray line;
    bool sawData = false;
    const int code = readLine(tty, &line, &sawData);
    if (isTerminal) {
        tcsetattr(tty, TCSAFLUSH, &saved);
        InterruptWatcher::setTerminalToRestore(-1, nullptr);
    }
    close(tty);
    if (code != 0 || !sawData) {
        wipe(line);
        *error = code != 0 ? QStringLiteral("cannot read the passphrase from the terminal: %1")
                                 .arg(QString::fromLocal8Bit(std::strerror(code)))
                           : QStringLiteral("no passphrase entered.");
        return Result::Failed;
    }
    return finish(line, passphrase);
}
