#include "engine/LocalPath.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char16_t kFirstEscape = 0xDC80; // the escape of byte 0x80
constexpr char16_t kLastEscape = 0xDCFF; // the escape of byte 0xFF

// The length of the valid UTF-8 sequence at the start of bytes (left of them),
// or 0: a stray continuation byte, an overlong form, a surrogate, a code point
// past U+10FFFF or a sequence cut short.
qsizetype sequenceLength(const char* bytes, qsizetype left)
{
    const auto lead = static_cast<unsigned char>(bytes[0]);
    if (lead < 0x80)
        return 1;
    qsizetype length = 0;
    char32_t code = 0;
    char32_t least = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1F;
        least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0F;
        least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07;
        least = 0x10000;
    } else {
        return 0;
    }
    if (left < length)
        return 0;
    for (qsizetype i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(bytes[i]);
        if ((next & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (next & 0x3F);
    }
    if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

// An escape standing alone: one in a surrogate pair is part of a character.
bool isEscapeAt(const QChar* chars, qsizetype at)
{
    const char16_t code = chars[at].unicode();
    return code >= kFirstEscape && code <= kLastEscape && (at == 0 || !chars[at - 1].isHighSurrogate());
}

} // namespace

namespace LocalPath {

QString decode(const QByteArray& bytes)
{
    // Valid UTF-8 is the rule: Qt's decoder, and one look for its replacement
    // character, which only invalid bytes (or the character itself) give.
    QString path = QString::fromUtf8(bytes);
    if (!path.contains(QChar::ReplacementCharacter))
        return path;
    path.clear();
    path.reserve(bytes.size());
    const char* data = bytes.constData();
    for (qsizetype at = 0; at < bytes.size();) {
        const qsizetype length = sequenceLength(data + at, bytes.size() - at);
        if (length == 0) {
            path.append(QChar(static_cast<char16_t>(0xDC00 + static_cast<unsigned char>(data[at]))));
            ++at;
        } else {
            path.append(QString::fromUtf8(data + at, length));
            at += length;
        }
    }
    return path;
}

bool hasEscapes(const QString& path)
{
    const QChar* chars = path.constData();
    for (qsizetype at = 0; at < path.size(); ++at)
        if (isEscapeAt(chars, at))
            return true;
    return false;
}

QByteArray encode(const QString& path)
{
    if (!hasEscapes(path))
        return path.toUtf8();
    QByteArray bytes;
    bytes.reserve(path.size() * 3);
    const QChar* chars = path.constData();
    qsizetype text = 0; // where the run of text not yet encoded begins
    for (qsizetype at = 0; at < path.size(); ++at) {
        if (!isEscapeAt(chars, at))
            continue;
        bytes.append(QStringView(chars + text, at - text).toUtf8());
        bytes.append(static_cast<char>(chars[at].unicode() - 0xDC00));
        text = at + 1;
    }
    bytes.append(QStringView(chars + text, path.size() - text).toUtf8());
    return bytes;
}

QString escaped(const QByteArray& bytes)
{
    QString shown;
    const char* data = bytes.constData();
    for (qsizetype at = 0; at < bytes.size();) {
        const auto byte = static_cast<unsigned char>(data[at]);
        const qsizetype length = sequenceLength(data + at, bytes.size() - at);
        if (length == 0) {
            shown += QStringLiteral("\\%1").arg(byte, 3, 8, QLatin1Char('0'));
            ++at;
            continue;
        }
        const QString text = QString::fromUtf8(data + at, length);
        at += length;
        const char16_t code = text.at(0).unicode();
        if (code == u'\\')
            shown += QStringLiteral("\\\\");
        else if (code == u'\t')
            shown += QStringLiteral("\\t");
        else if (code == u'\n')
            shown += QStringLiteral("\\n");
        else if (code == u'\r')
            shown += QStringLiteral("\\r");
        else if (code < 0x20 || code == 0x7f || (code >= 0x80 && code < 0xa0))
            shown += QStringLiteral("\\%1").arg(static_cast<int>(code), 3, 8, QLatin1Char('0'));
        else
            shown += text;
    }
    return shown;
}

QString displayName(const QString& path)
{
    return hasEscapes(path) ? escaped(encode(path)) : path;
}

bool status(const QString& path, struct stat* out)
{
    return ::stat(encode(path).constData(), out) == 0;
}

bool linkStatus(const QString& path, struct stat* out)
{
    return ::lstat(encode(path).constData(), out) == 0;
}

QString currentFolder()
{
    char* folder = ::getcwd(nullptr, 0);
    if (!folder)
        return {};
    const QString path = decode(QByteArray(folder));
    std::free(folder);
    return path;
}

QString canonical(const QString& path)
{
    char* resolved = ::realpath(encode(path).constData(), nullptr);
    if (!resolved)
        return {};
    const QString result = decode(QByteArray(resolved));
    std::free(resolved);
    return result;
}

bool openForReading(const QString& path, QFile* file, QIODevice::OpenMode extra, QString* error)
{
    const QByteArray bytes = encode(path);
    int fd = -1;
    do {
        fd = ::open(bytes.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    if (!file->open(fd, QIODevice::ReadOnly | extra, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        *error = file->errorString();
        return false;
    }
    return true;
}

} // namespace LocalPath

QString LocalPath::errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}
