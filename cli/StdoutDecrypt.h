// korvelcrypt-cli --stdout: the plaintext of exactly one envelope on standard
// output, and nothing on disk.
//
// The plaintext is written as it is decrypted; a failure part-way leaves what was
// already written written (a pipe cannot take it back) and says why on standard
// error. A reader that closes the pipe early ends the run quietly.
#pragma once

#include <QString>
#include <QStringList>

#include <cstdio>

namespace StdoutDecrypt {
// Exit status when the reader closed the pipe: 128 + SIGPIPE, as if the
// signal had ended the process, but after the plaintext buffer was wiped.
inline constexpr int kPipeClosed = 141;

// Writes the plaintext of the envelope at path to outFd, opened with the first
// of the candidate passphrases that matches. Returns the exit status: 0, 1 when
// the envelope cannot be opened or read or outFd cannot be written (the
// reason on err), kPipeClosed when the reader went away.
int run(const QString& path, const QStringList& passphrases, int outFd, FILE* err);
} // namespace StdoutDecrypt
