// Paths as the system holds them: bytes, which are UTF-8 text most of the time
// but need not be (archives from older systems hold Latin-1 names). Qt decodes
// such bytes to U+FFFD and cannot name the file again, so every path handed to
// or taken from the system goes through this codec instead: a byte that is no
// part of a valid UTF-8 sequence becomes the lone surrogate U+DC80 + (byte -
// 0x80), and back. Valid UTF-8 decodes as Qt decodes it, so the codec changes
// nothing for ordinary names. Such a string is only ever turned back into bytes
// here; shown to a person, it goes through displayName() or escaped().
#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

struct stat;

namespace LocalPath {

// The path the bytes name, each byte of an invalid sequence kept as its escape.
QString decode(const QByteArray& bytes);
// The bytes path names: decode() reversed, exactly.
QByteArray encode(const QString& path);
// Whether path holds an escaped byte (decode() met bytes that are not UTF-8).
bool hasEscapes(const QString& path);

// A path as ls -b shows it: bytes that are not valid UTF-8 and control
// characters as octal escapes ("\351"), tabs and newlines as "\t" and "\n", a
// backslash doubled.
QString escaped(const QByteArray& bytes);
// A path for reading: itself when it is valid text, else its escaped() form
// ("caf\351.txt"), so that no escape reaches a screen or a JSON document.
QString displayName(const QString& path);

// stat() and lstat() of the path's bytes; false with errno set on failure.
bool status(const QString& path, struct stat* out);
bool linkStatus(const QString& path, struct stat* out);
// The working folder, by its bytes; empty when it cannot be read.
QString currentFolder();
// The path with every symbolic link, "." and ".." resolved (realpath); empty
// when it names nothing.
QString canonical(const QString& path);
// The system's words for an errno ("Permission denied").
QString errorText(int error);
// Opens the file path names for reading, by its bytes, into file (which then
// closes it); false with *error set to the system's reason.
bool openForReading(const QString& path, QFile* file, QIODevice::OpenMode extra, QString* error);

} // namespace LocalPath
