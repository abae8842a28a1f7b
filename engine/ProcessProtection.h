// What both programs do first, before they hold a passphrase or plaintext: the
// process becomes non-dumpable, so a crash writes no core file with secrets in
// it, and other processes of the same user can neither attach to it nor read
// its memory (/proc/<pid>/mem); its /proc entries then belong to root.
#pragma once

namespace ProcessProtection {
// prctl(PR_SET_DUMPABLE, 0). True when the process is no longer dumpable.
bool makeNonDumpable();

// A file-size limit (ulimit -f) makes the write that passes it fail with
// EFBIG ("File too large"), which fails that one task, instead of raising
// SIGXFSZ, which would end the whole process with no summary.
void keepFileSizeLimitAWriteError();
} // namespace ProcessProtection
