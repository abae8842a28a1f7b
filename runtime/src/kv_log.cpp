// The process-wide log: line format, repeat folding, echo, rotation.
#include "kv/kv_log.h"
#include "kv/kv_dir.h"
#include "kv/kv_file.h"
#include "kv/kv_path.h"
#include "kv/kv_sync.h"
#include "runtime/src/kv_internal.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kv::internal;

namespace {

constexpr int kHeaderSize = 256;
constexpr int kLineSize = 4096;
constexpr int kTagRoom = 5; // "%s " of a three-letter tag
constexpr int kMessageRoom = 4090; // from the fifth byte on
constexpr int kMaxLine = 4093; // leaves room for CR LF and the NUL
constexpr int kRotations = 10; // numbered files 0..9
constexpr uint32_t kMiB = 1048576;
constexpr int kQueryEvery = 64; // lines between two size queries

const char* const kTags[] = { "ERR", "LOG", "DBG" };

// Settings; plain values that any thread may change between two lines.
std::atomic<uint32_t> gLimit { 10 * kMiB };
std::atomic<int> gEcho { -1 };

// A recursive pthread mutex: a failing write reports itself through kv_err on
// the same thread. Not std::recursive_mutex, because a forked child must be able
// to start it afresh (see ForkHandlers).
class CallLock {
public:
    void lock() { pthread_mutex_lock(&m_mutex); }
    bool tryLock() { return pthread_mutex_trylock(&m_mutex) == 0; }
    void unlock() { pthread_mutex_unlock(&m_mutex); }
    // In a forked child only: the lock as the parent left it is of no use there.
    void reset()
    {
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
        pthread_mutex_init(&m_mutex, &attr);
        pthread_mutexattr_destroy(&attr);
    }

private:
    pthread_mutex_t m_mutex = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
};

// Held around the whole of one log call, so lines never interleave and the
// last line, the repeat count and the file stay consistent.
CallLock gCallLock;
thread_local int tDepth = 0;

// The clock of the time stamps: the system's, unless a test set another.
std::atomic<int64_t (*)(void)> gClock { nullptr };

// The rest is used only under gCallLock.
kv_file_t gFile = -1;
uint64_t gSize = 0; // of the open file, as far as this process has written it
int gSinceQuery = 0; // lines since its size was last read
int gStderrOnly = 0;
char gName[KV_PATH_MAX];
kv_mutex_t gLogMutex; // the opening procedure and the size check
bool gMutexReady = false;
char gLast[kLineSize];
int gLastLength = -1; // -1: no line yet
int gRepeat = 0;
uint32_t gPid = 0;
bool gTimeKnown = false;
int64_t gTimeSeconds = 0; // the second gTime was converted for, once known
tm gTime;

// The calling thread's id, read once per thread; 0 until then.
thread_local uint32_t tThreadId = 0;

uint32_t threadId()
{
    if (tThreadId == 0)
        tThreadId = static_cast<uint32_t>(gettid());
    return tThreadId;
}

// A forked child is another process with another thread id: its lines must say
// so. Its one thread is the one that called fork, so that thread's cached id and
// the process id are renewed. A fork never waits for another thread's line (that
// thread may be blocked on a full pipe for ever): the call lock is taken across
// the fork only when it is free at once. A child forked in the middle of another
// thread's line may hold a half-changed last line or file state, so it writes no
// lines until its log is closed and opened again.
thread_local bool tLockedForFork = false;
bool gForkedMidCall = false;

struct ForkHandlers {
    ForkHandlers()
    {
        pthread_atfork([] { tLockedForFork = gCallLock.tryLock(); },
            [] {
                if (tLockedForFork)
                    gCallLock.unlock();
            },
            [] {
                gCallLock.reset();
                gForkedMidCall = !tLockedForFork;
                tThreadId = 0;
                if (gPid != 0)
                    gPid = static_cast<uint32_t>(getpid());
            });
    }
} gForkHandlers;

int64_t now()
{
    if (int64_t(*clock)(void) = gClock.load(std::memory_order_relaxed))
        return clock();
    return static_cast<int64_t>(time(nullptr));
}

void writeStderr(const char* data, size_t length)
{
    writeAll(2, data, length);
}

// The folder for a log name without one: <product root>/var/log when it
// exists, else the executable's folder.
int defaultLogDirectory(char* out, size_t size)
{
    if (!out || size == 0)
        return EINVAL;
    char exe[KV_PATH_MAX];
    char root[KV_PATH_MAX];
    if (kv_path_executable_path(exe, sizeof exe, nullptr) < 0 || kv_path_root_dir(exe, root, sizeof root) < 0)
        return ENOENT;
    const int n = boundedFormat(out, size, "%s/var/log", root);
    if (n < 0 || static_cast<size_t>(n) >= size - 1)
        return KV_ERR_INSUFFICIENT_BUFFER;
    if (kv_path_exists(out))
        return 0;
    if (kv_path_executable_dir(out, size, nullptr) < 0)
        return KV_ERR_INSUFFICIENT_BUFFER;
    return 0;
}

// The numbered file to use: the last of the first run of present files
// (0-4 and 6-9 give 4, 1-9 give 9, 0 and 2-9 give 0); 0 when there is none.
int chooseDigit(unsigned mask, bool* renewLink)
{
    if (mask == 0) {
        *renewLink = true;
        return 0;
    }
    int digit = 0;
    while (!(mask & (1u << digit)))
        ++digit;
    while (digit + 1 < kRotations && (mask & (1u << (digit + 1))))
        ++digit;
    return digit;
}

// Open a numbered file for appending, creating it when missing. Never through a
// symbolic link (a planted link would have the log write into its target, or
// create it), never blocking (a FIFO under the name would block for ever), and
// only a regular file: 0 or the errno (22 for another kind of file).
int openAppendRegular(const char* path, kv_file_t* file)
{
    const int fd = openCloexec(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK, 0660);
    if (fd < 0)
        return errno;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        closeFd(fd);
        return EINVAL;
    }
    *file = fd;
    return 0;
}

// Make the configured name a hard link to the open file itself, not to whatever
// its rotated name points at by now. Failures are ignored: the log works without
// the link.
void relinkConfiguredName(const char* working)
{
    kv_file_delete(gName);
    char proc[64];
    snprintf(proc, sizeof proc, "/proc/self/fd/%d", gFile);
    if (linkat(AT_FDCWD, proc, AT_FDCWD, gName, AT_SYMLINK_FOLLOW) == 0 || errno != ENOENT)
        return;
    // Without /proc: by name, kept only when it is the open file.
    if (kv_file_hardlink(working, gName) != 0)
        return;
    struct stat linked;
    struct stat opened;
    if (lstat(gName, &linked) != 0 || fstat(gFile, &opened) != 0 || linked.st_ino != opened.st_ino
        || linked.st_dev != opened.st_dev)
        kv_file_delete(gName);
}

// Open the numbered file to write to; called with the log mutex held.
int openLogFile()
{
    char working[KV_PATH_MAX + 2];
    memcpy(working, gName, sizeof gName);
    char* slash = strrchr(working, '/');
    char dir[KV_PATH_MAX];
    if (!slash) {
        kv_str_ncpy(dir, ".", sizeof dir);
    } else if (slash == working) {
        kv_str_ncpy(dir, "/", sizeof dir);
    } else {
        const size_t n = static_cast<size_t>(slash - working);
        memcpy(dir, working, n);
        dir[n] = '\0';
    }
    char* file = slash ? slash + 1 : working;
    const size_t fileLength = strlen(file);

    // Make room for ".N" before the last dot of the file name, or append it.
    char* dot = strrchr(file, '.');
    const size_t extLength = dot ? strlen(dot) : 0;
    const size_t stemLength = fileLength - extLength;
    memmove(file + stemLength + 2, file + stemLength, extLength + 1);
    file[stemLength] = '.';
    file[stemLength + 1] = '0';
    char* digitChar = file + stemLength + 1;

    kv_dir_t listing;
    kv_dir_init(&listing);
    if (int rc = kv_dir_open(dir, &listing)) {
        fprintf(stderr, "Error opening log directory %s\n", dir);
        return rc;
    }
    unsigned mask = 0;
    char entry[KV_PATH_MAX];
    while (kv_dir_next(&listing, entry) == 0) {
        if (strlen(entry) != fileLength + 2 || memcmp(entry, file, stemLength + 1) != 0)
            continue;
        const char d = entry[stemLength + 1];
        if (d >= '0' && d <= '9' && memcmp(entry + stemLength + 2, file + stemLength + 2, extLength) == 0)
            mask |= 1u << (d - '0');
    }
    kv_dir_close(&listing);

    bool renewLink = false;
    int digit = chooseDigit(mask, &renewLink);
    // Each turn either keeps a file below the limit or deletes the one after
    // the next; ten turns without success mean the size cannot be read.
    for (int turn = 0; turn <= kRotations; ++turn) {
        *digitChar = static_cast<char>('0' + digit);
        if (openAppendRegular(working, &gFile) != 0) {
            fprintf(stderr, "Cannot open log file: %s\n", working);
            return EINVAL;
        }
        kv_stat_t st;
        if (kv_file_fstat(&gFile, &st) == 0 && st.size < gLimit.load(std::memory_order_relaxed)) {
            gSize = st.size;
            gSinceQuery = 0;
            if (renewLink)
                relinkConfiguredName(working);
            return 0;
        }
        kv_file_close(&gFile);
        digit = (digit + 1) % kRotations;
        *digitChar = static_cast<char>('0' + (digit + 1) % kRotations);
        kv_file_delete(working);
        renewLink = true;
    }
    return KV_ELOG;
}

// After every line and at opening: move on to the next file once this one
// has passed the limit. Reading the size costs a system call, as much as the
// write itself, so between two queries the size is counted from what this
// process writes; the query every kQueryEvery lines and whenever the count
// passes the limit catches what other processes append.
int checkSize()
{
    const uint32_t limit = gLimit.load(std::memory_order_relaxed);
    if (kv_file_valid(&gFile) && gSize <= limit && ++gSinceQuery < kQueryEvery)
        return 0;
    gSinceQuery = 0;
    // Abandoned: a thread ended inside this function; the mutex is held now all the same.
    int rc = kv_mutex_acquire(&gLogMutex);
    if (rc != 0 && rc != KV_ERR_WAIT_ABANDONED)
        return rc;
    rc = 0;
    bool reopen = true;
    if (kv_file_valid(&gFile)) {
        kv_stat_t st;
        rc = kv_file_fstat(&gFile, &st);
        if (rc == 0)
            gSize = st.size;
        if (rc != 0 || st.size <= limit)
            reopen = false;
        else
            kv_file_close(&gFile);
    }
    if (reopen)
        rc = openLogFile();
    kv_mutex_release(&gLogMutex);
    return rc;
}

// The line's header (and, before it, the count of the lines it stood for when
// the last one was repeated): its length, or a negative number when the time
// cannot be read or the header does not fit. Called under gCallLock.
int formatHeader(char (&header)[kHeaderSize])
{
    // 64-bit seconds: a 32-bit count would read 1901 from 2038 on.
    const int64_t seconds = now();
    if (!gTimeKnown || seconds != gTimeSeconds) {
        const time_t t = static_cast<time_t>(seconds);
        gTimeKnown = localtime_r(&t, &gTime) != nullptr;
        if (!gTimeKnown)
            return -1;
        gTimeSeconds = seconds;
    }
    if (gRepeat == 0)
        return snprintf(header, sizeof header, "%.*d%04d-%02d-%02d %02d:%02d:%02d [%x-%08x] ", 0, gRepeat,
            gTime.tm_year + 1900, gTime.tm_mon + 1, gTime.tm_mday, gTime.tm_hour, gTime.tm_min, gTime.tm_sec, gPid,
            threadId());
    return snprintf(header, sizeof header, "Last message repeated %.*d times\r\n%04d-%02d-%02d %02d:%02d:%02d [%x-%x] ",
        0, gRepeat, gTime.tm_year + 1900, gTime.tm_mon + 1, gTime.tm_mday, gTime.tm_hour, gTime.tm_min, gTime.tm_sec,
        gPid, threadId());
}

// Writes total bytes of run to the log file, piece by piece as the file takes
// them; *done is how many went. Called under gCallLock.
int writeAll(const char* run, unsigned total, unsigned* done)
{
    int rc = 0;
    while (*done < total) {
        unsigned written = 0;
        rc = kv_file_write(&gFile, run + *done, total - *done, &written);
        if (rc != 0 || written == 0)
            break;
        *done += written;
    }
    return rc;
}

int writeLine(int level, const char* format, va_list args)
{
    // A line about a failing log write may come back through here once; what
    // that line causes in turn is dropped.
    if (tDepth > 1)
        return KV_ELOG;
    std::lock_guard<CallLock> lock(gCallLock);
    ++tDepth;
    struct DepthGuard {
        ~DepthGuard() { --tDepth; }
    } depthGuard;

    if (!kv_file_valid(&gFile) && !gStderrOnly)
        return EINVAL;
    if (gForkedMidCall)
        return KV_ELOG;

    // The header is formatted into the bytes just before the line, so that
    // both leave in one write.
    char buffer[kHeaderSize + kLineSize];
    char* line = buffer + kHeaderSize;
    const int tagLength = boundedFormat(line, kTagRoom, "%s ", kTags[level]);
    int messageLength = boundedFormatV(line + tagLength, kMessageRoom, format, args);
    if (messageLength < 0)
        return KV_ELOG;
    int length = tagLength + messageLength;
    if (length > kMaxLine)
        length = kMaxLine;

    if (length == gLastLength && memcmp(line, gLast, static_cast<size_t>(length)) == 0) {
        ++gRepeat;
        return 0;
    }
    memcpy(gLast, line, static_cast<size_t>(length));
    gLastLength = length;
    line[length++] = '\r';
    line[length++] = '\n';
    line[length] = '\0';

    if (gStderrOnly || level <= gEcho.load(std::memory_order_relaxed))
        writeStderr(line, static_cast<size_t>(length));
    if (gStderrOnly)
        return 0;

    char header[kHeaderSize];
    const int headerLength = formatHeader(header);
    if (headerLength < 0 || headerLength > kHeaderSize)
        return KV_ELOG;
    char* run = line - headerLength;
    memcpy(run, header, static_cast<size_t>(headerLength));
    unsigned done = 0;
    const int rc = writeAll(run, static_cast<unsigned>(headerLength + length), &done);
    gSize += done;
    gRepeat = 0;
    checkSize();
    return rc;
}

} // namespace

extern "C" {

int kv_log_init(intptr_t reserved, const char* name)
{
    (void)reserved;
    std::lock_guard<CallLock> lock(gCallLock);
    if (logOpenState != 0)
        return 0;
    logOpenState = 2;
    logWriter = writeLine;
    gStderrOnly = 0;
    gLastLength = -1;
    gRepeat = 0;
    if (!name)
        return EINVAL;
    // The name and its terminating NUL must fit the path buffer whole.
    if (strlen(name) >= KV_PATH_MAX)
        return KV_ERR_FILENAME_TOO_LONG;
    // No file name: "" would become "<executable's folder>.0" beside that folder,
    // "/" the file "/.0".
    const size_t length = strlen(name);
    if (length == 0 || name[length - 1] == '/' || name[length - 1] == '\\')
        return EINVAL;
    if (int rc = kv_mutex_init_recursive(&gLogMutex))
        return rc;
    gMutexReady = true;
    kv_str_ncpy(gName, name, sizeof gName);
    for (char* p = gName; *p; ++p) {
        if (*p == '\\')
            *p = '/';
    }

    int rc = 0;
    if (strcmp(gName, "-") == 0) {
        gStderrOnly = 1;
    } else {
        if (!strchr(gName, '/')) {
            char dir[KV_PATH_MAX];
            if ((rc = defaultLogDirectory(dir, sizeof dir)) != 0)
                return rc;
            char joined[KV_PATH_MAX];
            if (kv_path_append(dir, gName, joined, sizeof joined) != 0)
                return KV_ERR_FILENAME_TOO_LONG;
            memcpy(gName, joined, sizeof gName);
            if ((rc = kv_dir_create(dir, 0777, 1)) != 0)
                return rc;
        }
        rc = checkSize();
    }
    gPid = static_cast<uint32_t>(getpid());
    return rc;
}

int kv_log_cleanup(void)
{
    std::lock_guard<CallLock> lock(gCallLock);
    const int state = logOpenState;
    if (state != 1 && state != 2)
        return state - 2;
    if (kv_file_valid(&gFile)) {
        kv_file_flush(&gFile);
        kv_file_close(&gFile);
    }
    int rc = 0;
    if (gMutexReady) {
        rc = kv_mutex_destroy(&gLogMutex);
        gMutexReady = false;
    }
    logWriter = nullptr;
    logOpenState = 0;
    gStderrOnly = 0;
    gForkedMidCall = false;
    return rc;
}

void kv_log_set_clock(int64_t (*clock)(void))
{
    gClock.store(clock, std::memory_order_relaxed);
}

int kv_log_set_echo(int level)
{
    gEcho.store(level, std::memory_order_relaxed);
    return level;
}

int kv_log_set_logfile_size(int megabytes)
{
    // 0 and below would make every file too large and the log rotate forever.
    if (megabytes <= 0 || megabytes >= 4096)
        return megabytes;
    const uint32_t bytes = static_cast<uint32_t>(megabytes) * kMiB;
    gLimit.store(bytes, std::memory_order_relaxed);
    return static_cast<int>(bytes);
}

} // extern "C"
