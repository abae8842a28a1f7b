// Reads the passphrase from the one source the options name: a file descriptor,
// a file, or the controlling terminal with echo switched off. The passphrase is
// never taken from the command line, where other users could read it.
#pragma once

#include <QString>
#include <QStringList>

namespace PassphraseReader {
enum class Result {
    Ok,
    Failed, // *error says why (no terminal, unreadable source, ...)
};

// One line from fd: the bytes up to the first newline (a "\r" before it is
// dropped too), or up to end of input when the last line has no newline.
// Reads byte by byte so that nothing after the line is consumed. Bytes that
// are not UTF-8 are kept as they are (LocalPath::decode()). Fails when
// the descriptor cannot be read or holds no data at all.
Result fromFd(int fd, QString* passphrase, QString* error);

// The first line of the file, as fromFd reads it.
Result fromFile(const QString& path, QString* passphrase, QString* error);

// Every line of the file that is not blank is one passphrase, in file order:
// the bytes up to its newline, with that newline (and a "\r" before it) removed
// and nothing else; an empty line is passed over, never tried. A last line
// without a newline counts too. Bytes that are not UTF-8 are kept as they are
// (LocalPath). Fails when the file cannot be read or holds no passphrase.
Result fromList(const QString& path, QStringList* passphrases, QString* error);

// Prompts on the controlling terminal (/dev/tty) with echo off, so that the
// answer works even when standard input and output are redirected. Fails when
// the process has no terminal. While the prompt waits, an interrupt restores
// the terminal before the process ends (InterruptWatcher knows the saved state).
Result fromTerminal(const QString& prompt, QString* passphrase, QString* error);
} // namespace PassphraseReader
