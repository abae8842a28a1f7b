// korvelcrypt-cli on an archive of many files: peak memory per queued file.
//
// Queues KORVEL_BENCH_FILES small envelopes (default 200,000, in folders of
// 1000) with --test, once from a folder walk and twice from a NUL-separated
// --files-from list (absolute paths, then relative ones), and in the same run
// an empty folder. Each child's peak
// resident memory comes from wait4(); the figure is the peak above the empty
// run's, divided by the number of files. Target: at most 512 bytes a file, so
// that a million files fit in half a GiB. Exits 1 when a figure is above it.
//
// The envelopes are written once into a folder under $TMPDIR (or /tmp) that
// later runs reuse; they are all the same 144 bytes (an empty plaintext, the
// header and one key record), so writing them costs little.
#include "tests/support/EnvelopeWriter.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr double kTargetBytesPerFile = 512;

struct Sample {
    long peakKib = 0;
    double seconds = 0;
};

void fail(const std::string& what)
{
    std::fprintf(stderr, "cli_scale: %s\n", what.c_str());
    std::exit(2);
}

uint64_t envNumber(const char* name, uint64_t fallback)
{
    const char* text = std::getenv(name);
    return text && *text ? std::strtoull(text, nullptr, 10) : fallback;
}

// Runs the command with standard output discarded and returns its own peak
// resident size; fails the benchmark unless it exits with `expected`.
Sample run(const std::vector<std::string>& args, const std::string& folder = {}, int expected = 0)
{
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const auto t0 = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid < 0)
        fail("fork failed");
    if (pid == 0) {
        if (const int devNull = open("/dev/null", O_WRONLY);
            devNull < 0 || dup2(devNull, STDOUT_FILENO) < 0 || (!folder.empty() && chdir(folder.c_str()) != 0))
            _exit(126);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage {};
    while (wait4(pid, &status, 0, &usage) < 0) {
        if (errno != EINTR)
            fail("wait4 failed");
    }
    const auto t1 = std::chrono::steady_clock::now();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != expected)
        fail(args[0] + " ended with status " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1));
    return { usage.ru_maxrss, std::chrono::duration<double>(t1 - t0).count() };
}

// The archive: files folders of 1000 envelopes, written once and reused.
fs::path archive(uint64_t files)
{
    const char* tmp = std::getenv("TMPDIR");
    const fs::path root = fs::path(tmp && *tmp ? tmp : "/tmp") / ("korvel-cli-scale-" + std::to_string(files));
    const fs::path done = root / ".complete";
    if (fs::exists(done) && fs::exists(root / "list-relative"))
        return root;
    fs::remove_all(root);
    korvel::test::EnvelopeOptions options;
    options.passphrases = { "benchmark", "second" };
    const korvel::test::Bytes envelope = korvel::test::makeEnvelope({}, options);
    for (uint64_t i = 0; i < files; ++i) {
        const fs::path folder = root / "tree" / ("folder" + std::to_string(i / 1000));
        if (i % 1000 == 0)
            fs::create_directories(folder);
        const std::string name = (folder / ("file" + std::to_string(i) + ".korvel-env")).string();
        FILE* out = std::fopen(name.c_str(), "wb");
        if (!out || std::fwrite(envelope.data(), 1, envelope.size(), out) != envelope.size() || std::fclose(out) != 0)
            fail("cannot write " + name);
    }
    // The same files as lists, NUL-separated as find -print0 writes them: by
    // absolute paths, and by paths relative to root (as "find tree -print0" there).
    std::ofstream list(root / "list", std::ios::binary);
    std::ofstream relative(root / "list-relative", std::ios::binary);
    for (const auto& entry : fs::recursive_directory_iterator(root / "tree")) {
        if (entry.is_regular_file()) {
            list << entry.path().string() << '\0';
            relative << entry.path().lexically_relative(root).string() << '\0';
        }
    }
    list.close();
    relative.close();
    fs::create_directories(root / "empty");
    std::ofstream(root / "passphrase") << "benchmark\n";
    std::ofstream(done) << "ok\n";
    return root;
}

bool report(const char* what, const Sample& sample, const Sample& empty, uint64_t files)
{
    const double perFile = (static_cast<double>(sample.peakKib) - static_cast<double>(empty.peakKib)) * 1024.0
        / static_cast<double>(files);
    std::printf("%-26s peak %8ld KiB   %6.1f bytes a file   %7.1f s   (target <= %.0f)\n", what, sample.peakKib,
        perFile, sample.seconds, kTargetBytesPerFile);
    return perFile <= kTargetBytesPerFile;
}

} // namespace

int main()
{
    const uint64_t files = envNumber("KORVEL_BENCH_FILES", 200000);
    const std::string cli = KORVELCRYPT_CLI;
    const fs::path root = archive(files);
    const std::string passphrase = (root / "passphrase").string();
    const std::vector<std::string> common { cli, "--test", "--quiet", "--passphrase-file", passphrase };

    auto with = [&](std::vector<std::string> more) {
        std::vector<std::string> args = common;
        args.insert(args.end(), more.begin(), more.end());
        return args;
    };
    const Sample empty = run(with({ (root / "empty").string() }));
    const Sample walked = run(with({ (root / "tree").string() }));
    const Sample listed = run(with({ "--files-from", (root / "list").string(), "--null", "--root", root.string() }));
    // Relative names are kept beside the absolute paths, for the output lines.
    const Sample relative = run(with({ "--files-from", "list-relative", "--null" }), root.string());

    std::printf("queued envelopes           %8llu\n", static_cast<unsigned long long>(files));
    std::printf("%-26s peak %8ld KiB   %7.1f s\n", "empty run", empty.peakKib, empty.seconds);
    const bool walkOk = report("folder walk", walked, empty, files);
    const bool listOk = report("--files-from --null", listed, empty, files);
    const bool relativeOk = report("... relative names", relative, empty, files);
    return walkOk && listOk && relativeOk ? 0 : 1;
}
