// Runs korvelcrypt-cli as a script would, on one large envelope and on a tree of
// many small ones, and in the same run `cp` and `cp -r` of the same data. Prints
// the times, their ratios and the command's CPU time per wall-clock second.
//
// KORVEL_BENCH_MIB sets the large plaintext's size (default 1024) and
// KORVEL_BENCH_FILES the number of small envelopes (default 20000, 4 KiB each,
// in folders of 1000), so that `KORVEL_BENCH_MIB=64 KORVEL_BENCH_FILES=2000`
// gives a quick run.
#include "tests/support/EnvelopeWriter.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Sample {
    double wall = 1e9;
    double cpu = 0; // user + system of the child
};

void fail(const std::string& what)
{
    std::fprintf(stderr, "cli_throughput: %s\n", what.c_str());
    std::exit(1);
}

uint64_t envNumber(const char* name, uint64_t fallback)
{
    const char* text = std::getenv(name);
    return text && *text ? std::strtoull(text, nullptr, 10) : fallback;
}

double childCpu()
{
    rusage ru {};
    getrusage(RUSAGE_CHILDREN, &ru);
    return ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6;
}

// Runs the command with standard output discarded; fails the benchmark unless it exits 0.
Sample run(const std::vector<std::string>& args)
{
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    // Start every command without dirty pages left by the one before.
    sync();
    const double cpu0 = childCpu();
    const auto t0 = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid < 0)
        fail("fork failed");
    if (pid == 0) {
        if (const int devNull = open("/dev/null", O_WRONLY); devNull < 0 || dup2(devNull, STDOUT_FILENO) < 0)
            _exit(126);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            fail("waitpid failed");
    }
    const auto t1 = std::chrono::steady_clock::now();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        fail(args[0] + " did not succeed");
    return { std::chrono::duration<double>(t1 - t0).count(), childCpu() - cpu0 };
}

void keepBest(Sample& best, const Sample& sample)
{
    if (sample.wall < best.wall)
        best = sample;
}

// Removes every file under root that does not carry the envelope extension: the
// plaintexts a run of the command left beside their sources.
void removePlaintexts(const fs::path& root)
{
    std::vector<fs::path> doomed;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file() && entry.path().extension() != ".korvel-env")
            doomed.push_back(entry.path());
    }
    for (const fs::path& path : doomed)
        fs::remove(path);
}

} // namespace

int main()
{
    const uint64_t mib = envNumber("KORVEL_BENCH_MIB", 1024);
    const uint64_t files = envNumber("KORVEL_BENCH_FILES", 20000);
    const size_t smallSize = 4096;
    const std::string cli = KORVELCRYPT_CLI;

    char dirTemplate[] = "/tmp/korvel-cli-bench-XXXXXX";
    if (!mkdtemp(dirTemplate))
        fail("cannot make a temporary folder");
    const fs::path dir = dirTemplate;
    const std::string passphraseFile = (dir / "passphrase").string();
    {
        FILE* file = std::fopen(passphraseFile.c_str(), "w");
        if (!file || std::fputs("benchmark\n", file) < 0 || std::fclose(file) != 0)
            fail("cannot write the passphrase file");
    }
    korvel::test::EnvelopeOptions options;
    options.passphrases = { "benchmark" };

    // One large envelope, alone in its folder.
    const fs::path large = dir / "large";
    fs::create_directories(large);
    const std::string envelope = (large / "data.bin.korvel-env").string();
    const korvel::test::Bytes pattern = korvel::test::patternBytes(1 << 20, 99);
    if (!korvel::test::writeEnvelopeStreaming(
            envelope, mib << 20,
            [&](uint64_t, uint8_t* buffer, size_t length) { std::memcpy(buffer, pattern.data(), length); }, options))
        fail("cannot write the large envelope");

    // Many small envelopes in folders of 1000.
    const fs::path tree = dir / "tree";
    for (uint64_t i = 0; i < files; ++i) {
        const fs::path folder = tree / ("folder" + std::to_string(i / 1000));
        if (i % 1000 == 0)
            fs::create_directories(folder);
        options.seed = i + 1;
        const korvel::test::Bytes plaintext = korvel::test::patternBytes(smallSize, i + 1);
        if (!korvel::test::writeEnvelope(
                (folder / ("file" + std::to_string(i) + ".korvel-env")).string(), plaintext, options))
            fail("cannot write a small envelope");
    }

    Sample cp;
    Sample cliLarge;
    Sample cpTree;
    Sample cliTree;
    // Alternate the two so that both see the same cache state; keep the best of each.
    for (int round = 0; round < 2; ++round) {
        const std::string copy = (dir / "copy.bin").string();
        keepBest(cp, run({ "cp", envelope, copy }));
        fs::remove(copy);
        keepBest(cliLarge, run({ cli, "--quiet", "--threads", "1", "--passphrase-file", passphraseFile, envelope }));
        removePlaintexts(large);

        const std::string treeCopy = (dir / "tree-copy").string();
        keepBest(cpTree, run({ "cp", "-r", tree.string(), treeCopy }));
        fs::remove_all(treeCopy);
        keepBest(cliTree, run({ cli, "--quiet", "--passphrase-file", passphraseFile, tree.string() }));
        removePlaintexts(tree);
    }
    fs::remove_all(dir);

    const double gib = static_cast<double>(mib << 20) / (1ull << 30);
    std::printf("large envelope           %8.3f GiB, 1 thread\n", gib);
    std::printf("cp                       %8.3f s\n", cp.wall);
    std::printf(
        "korvelcrypt-cli          %8.3f s   (%.0f MiB/s)\n", cliLarge.wall, static_cast<double>(mib) / cliLarge.wall);
    std::printf("ratio cli/cp             %8.3f     (target <= 1)\n", cliLarge.wall / cp.wall);
    std::printf("cli CPU / wall           %8.3f     (target <= 2)\n", cliLarge.cpu / cliLarge.wall);
    std::printf("small envelopes          %8llu x %zu KiB, default threads\n", static_cast<unsigned long long>(files),
        smallSize / 1024);
    std::printf("cp -r                    %8.3f s\n", cpTree.wall);
    std::printf(
        "korvelcrypt-cli          %8.3f s   (%.0f files/s)\n", cliTree.wall, static_cast<double>(files) / cliTree.wall);
    std::printf("ratio cli/cp -r          %8.3f     (target <= 2.5)\n", cliTree.wall / cpTree.wall);
    return 0;
}
