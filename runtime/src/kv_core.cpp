// Result codes, log gate, bounded copying, byte order and files by handle.
#include "kv/kv_core.h"
#include "runtime/src/kv_internal.h"

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace kv::internal {

int logOpenState = 0;
LogWriter logWriter = nullptr;

namespace {
struct ErrorRow {
    int code;
    const char* text;
};

constexpr ErrorRow kErrorTable[] = {
    { KV_EDOCROOT, "Invalid doc root path" },
    { KV_ESEPARATOR, "Invalid command or token separator mismatch" },
    { KV_ENOBASENAME, "Base file/directory name not found in path" },
    { KV_EPATHMISMATCH, "File/directory path mismatch" },
    { KV_EUTF, "Illegal UTF string" },
    { KV_ENOSPACE, "Insufficient buffer space" },
    { KV_EEND, "End or directory reached" },
    { KV_ELIBOPEN, "Library open/close failed" },
    { KV_ELIBLOAD, "Library module loading failed" },
    { KV_EUUID, "Could not create UUID string" },
    { KV_ECONFIGXML, "Could not parse xml file for configs" },
    { KV_ELOCALE, "Could not read locale info" },
    { KV_EMD5, "Could not compute md5sum" },
    { KV_ELOG, "Could not log message" },
    { KV_EUSERNAME, "Invalid user name" },
    { KV_EUAC, "Parse error inside UAC" },
    { KV_ENOXFER, "No transmitting xfer found" },
};
static_assert(std::size(kErrorTable) == KV_ERRCODE_LAST - KV_ERRCODE_FIRST + 1);
} // namespace

const char* libraryErrorText(int code)
{
    if (code < KV_ERRCODE_FIRST || code > KV_ERRCODE_LAST)
        return nullptr;
    return kErrorTable[code - KV_ERRCODE_FIRST].text;
}

} // namespace kv::internal

using namespace kv::internal;

namespace {

// Log switches. Plain ints: a change is seen at the next call.
int gLogEnabled = 1;
int gDebugLevel = 0;
int gLibraryDebugLevel = 0;

int typeFromMode(unsigned mode)
{
    switch (mode & S_IFMT) {
    case S_IFREG:
        return KV_FTYPE_REG;
    case S_IFDIR:
        return KV_FTYPE_DIR;
    case S_IFCHR:
        return KV_FTYPE_CHR;
    case S_IFBLK:
        return KV_FTYPE_BLK;
    case S_IFIFO:
        return KV_FTYPE_FIFO;
    case S_IFSOCK:
        return KV_FTYPE_SOCK;
    case S_IFLNK:
        return KV_FTYPE_LNK;
    default:
        return KV_FTYPE_OTHER;
    }
}

void fillStat(const struct stat& sb, kv_stat_t* st)
{
    st->size = static_cast<uint64_t>(sb.st_size);
    st->mode = static_cast<int>(sb.st_mode);
    st->uid = static_cast<int>(sb.st_uid);
    st->gid = static_cast<int>(sb.st_gid);
    st->ctime = sb.st_ctim.tv_sec;
    st->mtime = sb.st_mtim.tv_sec;
    st->atime = sb.st_atim.tv_sec;
    st->type = typeFromMode(sb.st_mode);
}

int logGate(int level, const char* format, va_list args)
{
    if (gLogEnabled == 0 || (logOpenState != 1 && logOpenState != 2))
        return 0;
    if (level == 2 && gDebugLevel == 0)
        return 0;
    if (LogWriter writer = logWriter)
        writer(level, format, args);
    return 0;
}

// Shared by kv_str_to and kv_trimmed_str_to: copy len bytes of src.
int boundedCopy(char* dst, const char* src, size_t len, unsigned size, unsigned* position)
{
    const unsigned pos = position ? *position : 0;
    const size_t room = size - pos - 1;
    const size_t n = len < room ? len : room;
    memmove(dst + pos, src, n);
    dst[pos + n] = '\0';
    if (position)
        *position = pos + static_cast<unsigned>(n);
    return len > room ? KV_ENOSPACE : 0;
}

bool copyArgsValid(const char* dst, const char* src, unsigned size, const unsigned* position)
{
    return dst && src && (position ? *position : 0) < size;
}

void reportCopyFailure(const char* name, char* dst, const char* src, unsigned size, const unsigned* position)
{
    kv_err("%s failure, args %p %p %lu %lu %p", name, static_cast<void*>(dst), static_cast<const void*>(src),
        static_cast<unsigned long>(size), static_cast<unsigned long>(position ? *position : 0),
        static_cast<const void*>(src));
    if (dst && size > 0)
        dst[0] = '\0';
}

// Retry delays, in milliseconds, before each retry of a read that ran out of resources.
constexpr int kReadRetryDelays[] = { 0, 0, 0, 0, 0, 10, 10, 10, 10, 10 };

bool isResourceError(int err)
{
    return err == ENOBUFS || err == EAGAIN;
}

int openFile(const char* path, kv_file_t* file, int flags, mode_t mode)
{
    if (!path || !file)
        return EINVAL;
    const int fd = openCloexec(path, flags, mode);
    if (fd < 0) {
        *file = -1;
        return lastError();
    }
    *file = fd;
    return 0;
}

} // namespace

extern "C" {

// ------------------------------------------------------------------ error texts

int kv_platform_errstr(int code, char* out, int size)
{
    if (!out || size <= 0)
        return EINVAL;
    if (const char* text = libraryErrorText(code)) {
        kv_str_ncpy(out, text, static_cast<unsigned>(size));
        return 0;
    }
    char scratch[1024];
    errno = 0;
    // GNU strerror_r: returns the text, which may or may not be in scratch.
    const char* text = strerror_r(code, scratch, sizeof scratch);
    if (!text)
        return lastError(EINVAL);
    kv_str_ncpy(out, text, static_cast<unsigned>(size));
    size_t len = strlen(out);
    while (len > 0 && (out[len - 1] == '\n' || out[len - 1] == '\r'))
        out[--len] = '\0';
    return 0;
}

const char* kv_platform_errstr_inline(int code, char* buffer, int size)
{
    if (kv_platform_errstr(code, buffer, size) == 0)
        return buffer;
    return "Could not retrieve error message";
}

// ------------------------------------------------------------------ log gate

int kv_log_set(int enabled)
{
    gLogEnabled = enabled != 0 ? 1 : 0;
    return enabled;
}

int kv_log_get(void)
{
    return gLogEnabled;
}

int kv_dbg_set(int level)
{
    gDebugLevel = level;
    return level;
}

int kv_dbg_get(void)
{
    return gDebugLevel;
}

int kv_dbg_set_all(int level)
{
    gLibraryDebugLevel = level;
    return level;
}

int kv_dbg_get_all(void)
{
    return gLibraryDebugLevel;
}

int kv_err(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    logGate(0, format, args);
    va_end(args);
    return 0;
}

int kv_log(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    logGate(1, format, args);
    va_end(args);
    return 0;
}

int kv_dbg(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    logGate(2, format, args);
    va_end(args);
    return 0;
}

// ------------------------------------------------------------------ bounded copying

int kv_str_to(char* dst, const char* src, unsigned size, unsigned* position)
{
    if (!copyArgsValid(dst, src, size, position)) {
        reportCopyFailure("kv_str_to", dst, src, size, position);
        return EINVAL;
    }
    return boundedCopy(dst, src, strlen(src), size, position);
}

int kv_trimmed_str_to(char* dst, const char* src, unsigned size, unsigned* position)
{
    if (!copyArgsValid(dst, src, size, position)) {
        reportCopyFailure("kv_trimmed_str_to", dst, src, size, position);
        return EINVAL;
    }
    const char* begin = src;
    while (*begin && isspace(static_cast<unsigned char>(*begin)))
        ++begin;
    const char* end = begin + strlen(begin);
    while (end > begin && isspace(static_cast<unsigned char>(end[-1])))
        --end;
    return boundedCopy(dst, begin, static_cast<size_t>(end - begin), size, position);
}

int kv_str_ncpy(char* dst, const char* src, unsigned size)
{
    if (!dst || !src || size == 0) {
        if (dst && size > 0)
            dst[0] = '\0';
        return EINVAL;
    }
    return boundedCopy(dst, src, strlen(src), size, nullptr);
}

int kv_str_ncat(char* dst, const char* src, unsigned size)
{
    if (!dst || !src)
        return EINVAL;
    if (*src == '\0')
        return 0;
    const size_t len = strnlen(dst, size);
    if (len >= size)
        return KV_ENOSPACE;
    return kv_str_ncpy(dst + len, src, static_cast<unsigned>(size - len));
}

// ------------------------------------------------------------------ byte order

uint64_t kv_ntohll(uint64_t value)
{
    const uint32_t high = ntohl(static_cast<uint32_t>(value >> 32));
    const uint32_t low = ntohl(static_cast<uint32_t>(value));
    return (static_cast<uint64_t>(low) << 32) | high;
}

uint64_t kv_htonll(uint64_t value)
{
    return kv_ntohll(value);
}

// ------------------------------------------------------------------ files by handle

int kv_file_init(kv_file_t* file)
{
    if (!file)
        return EINVAL;
    *file = -1;
    return 0;
}

int kv_file_valid(const kv_file_t* file)
{
    return file && *file != -1;
}

int kv_file_desc(const kv_file_t* file)
{
    return file ? *file : -1;
}

int kv_file_openread(const char* path, kv_file_t* file)
{
    return openFile(path, file, O_RDONLY, 0);
}

int kv_file_openappend(const char* path, kv_file_t* file, int mode)
{
    return openFile(path, file, O_WRONLY | O_APPEND | O_CREAT, static_cast<mode_t>(mode));
}

int kv_file_openwrite(const char* path, kv_file_t* file)
{
    int rc = openFile(path, file, O_WRONLY | O_CREAT, 0666);
    if (rc != 0)
        return rc;
    if (retryOnEintr([&] { return ftruncate(*file, 0); }) != 0) {
        rc = lastError();
        kv_file_close(file);
    }
    return rc;
}

int kv_file_openrw(const char* path, kv_file_t* file, int disposition)
{
    return openFile(path, file, O_RDWR | (disposition == KV_OPEN_EXISTING ? 0 : O_CREAT), 0666);
}

int kv_file_close(kv_file_t* file)
{
    if (!file)
        return EINVAL;
    if (*file == -1)
        return 0;
    const int rc = closeFd(*file);
    *file = -1;
    return rc;
}

int kv_file_flush(kv_file_t* file)
{
    if (!kv_file_valid(file))
        return EINVAL;
    return retryOnEintr([&] { return fsync(*file); }) == 0 ? 0 : lastError();
}

int kv_file_read(kv_file_t* file, void* buffer, unsigned count, unsigned* got)
{
    if (!file || !got)
        return EINVAL;
    *got = 0;
    for (int attempt = 0;; ++attempt) {
        const ssize_t n = retryOnEintr([&] { return ::read(*file, buffer, count); });
        if (n >= 0) {
            *got += static_cast<unsigned>(n);
            return 0;
        }
        const int err = lastError();
        if (isResourceError(err) && attempt < static_cast<int>(std::size(kReadRetryDelays))) {
            kv_err("kv_fileread: resource error %d, retrying after %d ms", err, kReadRetryDelays[attempt]);
            sleepMs(kReadRetryDelays[attempt]);
            continue;
        }
        kv_err("kv_fileread: ReadFile failed. error=%d", err);
        return err;
    }
}

int kv_file_write(kv_file_t* file, const void* buffer, unsigned count, unsigned* written)
{
    if (!file || !written)
        return EINVAL;
    *written = 0;
    const ssize_t n = retryOnEintr([&] { return ::write(*file, buffer, count); });
    if (n < 0) {
        const int err = lastError();
        kv_err("kv_file_write: WriteFile failed. error=%d", err);
        return err;
    }
    *written = static_cast<unsigned>(n);
    return 0;
}

int kv_file_pwrite(kv_file_t* file, const void* buffer, unsigned count, uint64_t offset, unsigned* written)
{
    if (!file || !written)
        return EINVAL;
    *written = 0;
    if (offset > static_cast<uint64_t>(INT64_MAX))
        return EINVAL;
    const int rc = kv_file_seek(file, static_cast<int64_t>(offset), SEEK_SET);
    if (rc != 0)
        return rc;
    return kv_file_write(file, buffer, count, written);
}

int kv_file_seek(kv_file_t* file, int64_t offset, int whence)
{
    if (!file)
        return EINVAL;
    if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END)
        return EINVAL;
    if (lseek(*file, static_cast<off_t>(offset), whence) == static_cast<off_t>(-1)) {
        const int err = lastError();
        kv_err("kv_file_seek: SetFilePointerEx failed, error=%d", err);
        return err;
    }
    return 0;
}

int kv_file_truncate(kv_file_t* file, uint64_t length)
{
    if (!file)
        return EINVAL;
    if (length > static_cast<uint64_t>(INT64_MAX))
        return EINVAL;
    if (lseek(*file, static_cast<off_t>(length), SEEK_SET) == static_cast<off_t>(-1)) {
        const int err = lastError();
        kv_err("kv_filetruncate: SetFilePointerEx failed, error=%d", err);
        return err;
    }
    if (retryOnEintr([&] { return ftruncate(*file, static_cast<off_t>(length)); }) != 0) {
        const int err = lastError();
        kv_err("kv_filetruncate: SetFileEnd failed, error=%d", err);
        return err;
    }
    return 0;
}

int kv_file_fstat(kv_file_t* file, kv_stat_t* st)
{
    if (!file || !st)
        return EINVAL;
    memset(st, 0, sizeof *st);
    struct stat sb;
    if (fstat(*file, &sb) != 0)
        return lastError();
    fillStat(sb, st);
    st->ino = static_cast<uint64_t>(sb.st_ino);
    return 0;
}

int kv_file_stat(const char* path, kv_stat_t* st, int flags)
{
    if (!path || !st)
        return EINVAL;
    memset(st, 0, sizeof *st);
    struct stat sb;
    const int r = (flags & KV_STAT_NOFOLLOW) ? lstat(path, &sb) : stat(path, &sb);
    if (r != 0)
        return lastError();
    fillStat(sb, st);
    if (flags & KV_STAT_INO)
        st->ino = static_cast<uint64_t>(sb.st_ino);
    return 0;
}

} // extern "C"
