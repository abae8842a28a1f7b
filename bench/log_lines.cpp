// Writes one million lines through kv_log with a 1 MiB size limit (so the log
// rotates through its ten files), and in the same run the same lines, already
// formatted as they stand in the log, with one write(2) each to a file opened
// for appending. Prints lines per second for both and their ratio (target: at
// most 2).
//
// KORVEL_BENCH_LINES sets the number of lines (default 1000000).
#include <kv/kv.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kChunk = 10000;
constexpr const char* kPayload = "DecryptManager::getNumRunningTasks() - pending work in the queue";

void fail(const char* what)
{
    std::fprintf(stderr, "log_lines: %s\n", what);
    std::exit(1);
}

double seconds(std::chrono::steady_clock::time_point from)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

// The lines [first, first + count) as the log writes them.
void formatLines(int first, int count, std::string& out, std::vector<size_t>& ends)
{
    out.clear();
    ends.clear();
    const time_t now = time(nullptr);
    tm local;
    localtime_r(&now, &local);
    char header[64];
    std::snprintf(header, sizeof header, "%04d-%02d-%02d %02d:%02d:%02d [%x-%08x] ", local.tm_year + 1900,
        local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, static_cast<unsigned>(getpid()),
        static_cast<unsigned>(gettid()));
    char line[256];
    for (int i = first; i < first + count; ++i) {
        const int n = std::snprintf(line, sizeof line, "%sLOG line %d %s\r\n", header, i, kPayload);
        out.append(line, static_cast<size_t>(n));
        ends.push_back(out.size());
    }
}

void removeTree(const std::string& dir)
{
    for (int d = 0; d < 10; ++d)
        unlink((dir + "/bench." + std::to_string(d) + ".log").c_str());
    unlink((dir + "/bench.log").c_str());
    unlink((dir + "/plain.log").c_str());
    rmdir(dir.c_str());
}

} // namespace

int main()
{
    int lines = 1000000;
    if (const char* env = std::getenv("KORVEL_BENCH_LINES"))
        lines = std::atoi(env);
    if (lines < kChunk)
        lines = kChunk;

    const char* tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/kv-log-bench-XXXXXX";
    if (!mkdtemp(dir.data()))
        fail("cannot create a temporary folder");

    // Baseline: the finished lines, one write each.
    const int fd = open((dir + "/plain.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0660);
    if (fd < 0)
        fail("cannot open the baseline file");
    std::string text;
    std::vector<size_t> ends;
    double plain = 0;
    for (int first = 0; first < lines; first += kChunk) {
        formatLines(first, kChunk, text, ends);
        const auto t0 = std::chrono::steady_clock::now();
        size_t begin = 0;
        for (size_t end : ends) {
            if (write(fd, text.data() + begin, end - begin) != static_cast<ssize_t>(end - begin))
                fail("baseline write failed");
            begin = end;
        }
        plain += seconds(t0);
    }
    close(fd);
    unlink((dir + "/plain.log").c_str());

    // The log, rotating at 1 MiB.
    kv_log_set_logfile_size(1);
    if (kv_log_init(0, (dir + "/bench.log").c_str()) != 0)
        fail("kv_log_init failed");
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < lines; ++i)
        kv_log("line %d %s", i, kPayload);
    const double logged = seconds(t0);
    kv_log_cleanup();

    struct stat st;
    int files = 0;
    for (int d = 0; d < 10; ++d)
        files += stat((dir + "/bench." + std::to_string(d) + ".log").c_str(), &st) == 0;
    removeTree(dir);

    std::printf("lines:            %d (log limit 1 MiB, %d rotated files at the end)\n", lines, files);
    std::printf("kv_log:           %.0f lines/s\n", lines / logged);
    std::printf("write per line:   %.0f lines/s\n", lines / plain);
    std::printf("ratio:            %.2f (kv_log time / write time; target <= 2)\n", logged / plain);
    return 0;
}
