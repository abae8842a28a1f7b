// Decrypts a large envelope to a file through the decrypt worker itself, once on
// its sequential path and once with its ring writer (a writer thread fed by a
// ring of buffers), and copies the same envelope with 64 KiB reads and writes
// in the same run. Prints the median time of each, the ratio overlapped/copy,
// and the CPU seconds (user + system, all threads) per GiB of each decrypt.
//
// KORVEL_BENCH_MIB sets the plaintext size (default 1024), KORVEL_BENCH_ROUNDS
// the number of rounds (default 5; the three take turns at going first), and
// KORVEL_BENCH_ONLY=copy, sequential or overlapped runs just that one (for a
// profiler).
//
// KORVEL_BENCH_CORES overrides the number of cores the worker counts on (to
// overlap under `taskset -c 0`, for instance).
//
// KORVEL_BENCH_SWEEP=1 instead measures both paths on plaintexts from 64 KiB to
// 64 MiB, many runs each, to find the size from which the overlap pays (the
// writer's threshold); the threshold in force is ignored for it.
#include "engine/CryptTask.h"
#include "engine/RingWriter.h"
#include "engine/ZervDecryptWorker.h"
#include "tests/support/EnvelopeWriter.h"

#include <QCoreApplication>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr char kPassphrase[] = "benchmark";

struct Sample {
    double wall = 0;
    double cpu = 0; // user + system of the whole process
    double writerCpu = 0; // of that, the writer thread's
};

double cpuSeconds()
{
    rusage ru {};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6;
}

template <typename F> Sample measure(F&& f)
{
    const double c0 = cpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    f();
    const auto t1 = std::chrono::steady_clock::now();
    return { std::chrono::duration<double>(t1 - t0).count(), cpuSeconds() - c0 };
}

[[noreturn]] void fail(const std::string& what)
{
    std::fprintf(stderr, "decrypt_throughput: %s\n", what.c_str());
    std::exit(1);
}

uint64_t envNumber(const char* name, uint64_t fallback)
{
    const char* text = std::getenv(name);
    return text && *text ? std::strtoull(text, nullptr, 10) : fallback;
}

void copyFile(const std::string& from, const std::string& to)
{
    const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (in < 0 || out < 0)
        fail("cannot open copy files");
    std::vector<char> buffer(65536);
    for (;;) {
        const ssize_t n = read(in, buffer.data(), buffer.size());
        if (n < 0)
            fail("copy read failed");
        if (n == 0)
            break;
        if (write(out, buffer.data(), static_cast<size_t>(n)) != n)
            fail("copy write failed");
    }
    close(in);
    close(out);
}

// One decryption through the worker, on the path the threshold selects; the
// output is removed afterwards. Fails the benchmark unless the worker succeeds
// with the whole plaintext, on the path asked for.
Sample decryptWithWorker(const std::string& envelope, const std::string& output, uint64_t size, bool overlapped)
{
    RingWriter::setThreshold(overlapped ? 0 : UINT64_MAX);
    const uint64_t writers = RingWriter::threadsStarted();
    const double writerCpu = RingWriter::writerCpuSeconds();
    // As the window and the command line run it by default: sources are kept, so
    // the output is not flushed to disk before completion.
    const std::atomic<bool> deletesSources { false };
    ZervDecryptWorker worker(0);
    worker.setDeletionFlag(&deletesSources);
    CryptTask task(QString::fromStdString(envelope));
    task.setDestination(QString::fromStdString(output));
    task.setPassphrase(QString::fromLatin1(kPassphrase));
    Sample sample = measure([&] {
        worker.setTask(&task);
        worker.wait();
    });
    sample.writerCpu = RingWriter::writerCpuSeconds() - writerCpu;
    if (task.status() != Task::FINISHED)
        fail("the worker failed: " + worker.errorText().toStdString());
    if ((RingWriter::threadsStarted() != writers) != overlapped)
        fail(overlapped ? "the worker did not overlap (one core only?)" : "the worker overlapped");
    struct stat info { };
    if (stat(output.c_str(), &info) != 0 || static_cast<uint64_t>(info.st_size) != size)
        fail("short plaintext");
    unlink(output.c_str());
    return sample;
}

bool writeEnvelope(const std::string& path, uint64_t size)
{
    korvel::test::EnvelopeOptions options;
    options.passphrases = { kPassphrase };
    const korvel::test::Bytes pattern = korvel::test::patternBytes(1 << 20, 99);
    return korvel::test::writeEnvelopeStreaming(
        path, size, [&](uint64_t, uint8_t* buffer, size_t length) { std::memcpy(buffer, pattern.data(), length); },
        options);
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Both paths on plaintexts of growing size, many runs each, in pairs whose order
// alternates; the ratios are the medians of the pairs' ratios, which a load that
// drifts during the sweep disturbs less than a ratio of medians.
void sweep(const std::string& dir)
{
    std::printf("%10s %6s %12s %12s %8s %12s %12s %8s\n", "plaintext", "runs", "seq wall", "ovl wall", "ovl/seq",
        "seq CPU", "ovl CPU", "ovl/seq");
    for (const uint64_t kib : { 64, 256, 512, 1024, 2048, 4096, 8192, 16384, 65536 }) {
        const uint64_t size = kib << 10;
        const std::string envelope = dir + "/sweep.bin.korvel-env";
        if (!writeEnvelope(envelope, size))
            fail("cannot write the envelope");
        // About 512 MiB through each path, and at least 15 runs.
        const int runs = static_cast<int>(std::max<uint64_t>(15, (512ull << 20) / size));
        std::vector<double> wall[2];
        std::vector<double> cpu[2];
        std::vector<double> wallRatio;
        std::vector<double> cpuRatio;
        for (int run = 0; run < runs; ++run) {
            Sample pair[2];
            for (int k = 0; k < 2; ++k) {
                const bool overlapped = (run + k) % 2 == 1;
                pair[overlapped] = decryptWithWorker(envelope, dir + "/sweep.bin", size, overlapped);
                wall[overlapped].push_back(pair[overlapped].wall);
                cpu[overlapped].push_back(pair[overlapped].cpu);
            }
            wallRatio.push_back(pair[1].wall / pair[0].wall);
            if (pair[0].cpu > 0)
                cpuRatio.push_back(pair[1].cpu / pair[0].cpu);
        }
        unlink(envelope.c_str());
        std::printf("%7llu KiB %6d %9.3f ms %9.3f ms %8.3f %9.3f ms %9.3f ms %8.3f\n",
            static_cast<unsigned long long>(kib), runs, median(wall[0]) * 1e3, median(wall[1]) * 1e3, median(wallRatio),
            median(cpu[0]) * 1e3, median(cpu[1]) * 1e3, cpuRatio.empty() ? 0.0 : median(cpuRatio));
        std::fflush(stdout);
    }
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    char dirTemplate[] = "/tmp/korvel-bench-XXXXXX";
    if (!mkdtemp(dirTemplate))
        fail("cannot make a temporary folder");
    const std::string dir = dirTemplate;
    RingWriter::setCoreCount(static_cast<int>(envNumber("KORVEL_BENCH_CORES", 0)));
    std::printf("cores                  %8d   (threshold %llu bytes)\n", RingWriter::coreCount(),
        static_cast<unsigned long long>(RingWriter::threshold()));

    if (envNumber("KORVEL_BENCH_SWEEP", 0) != 0) {
        sweep(dir);
        rmdir(dir.c_str());
        return 0;
    }

    const uint64_t size = envNumber("KORVEL_BENCH_MIB", 1024) << 20;
    const int rounds = static_cast<int>(std::max<uint64_t>(1, envNumber("KORVEL_BENCH_ROUNDS", 5)));
    const std::string envelope = dir + "/data.bin.korvel-env";
    if (!writeEnvelope(envelope, size))
        fail("cannot write the envelope");
    const char* names[3] = { "copy", "sequential", "overlapped" };
    const char* only = std::getenv("KORVEL_BENCH_ONLY");
    if (only && *only) {
        const int which = static_cast<int>(
            std::find_if(names, names + 3, [&](const char* n) { return std::strcmp(n, only) == 0; }) - names);
        if (which == 3)
            fail("KORVEL_BENCH_ONLY is copy, sequential or overlapped");
        for (int round = 0; round < rounds; ++round) {
            const Sample s = which == 0 ? measure([&] {
                copyFile(envelope, dir + "/copy.bin");
                unlink((dir + "/copy.bin").c_str());
            })
                                        : decryptWithWorker(envelope, dir + "/plain.bin", size, which == 2);
            std::printf("%-10s %8.3f s   CPU %.3f s\n", names[which], s.wall, s.cpu);
        }
        unlink(envelope.c_str());
        rmdir(dir.c_str());
        return 0;
    }

    // Each round runs the three in a different order, removing each output before
    // the next, so that all see the same cache state; medians are reported.
    std::vector<double> wall[3];
    std::vector<double> cpu[3];
    std::vector<double> workerCpu; // overlapped: the worker's thread (the rest of the process idles)
    std::vector<double> writerCpu; // overlapped: the writer's thread
    for (int round = 0; round < rounds; ++round) {
        for (int k = 0; k < 3; ++k) {
            const int which = (round + k) % 3;
            Sample s;
            if (which == 0) {
                s = measure([&] { copyFile(envelope, dir + "/copy.bin"); });
                unlink((dir + "/copy.bin").c_str());
            } else {
                s = decryptWithWorker(envelope, dir + "/plain.bin", size, which == 2);
            }
            wall[which].push_back(s.wall);
            cpu[which].push_back(s.cpu);
            if (which == 2) {
                workerCpu.push_back(s.cpu - s.writerCpu);
                writerCpu.push_back(s.writerCpu);
            }
            std::printf("round %d  %-10s %8.3f s   CPU %.3f s\n", round + 1, names[which], s.wall, s.cpu);
        }
    }
    unlink(envelope.c_str());
    rmdir(dir.c_str());

    const double gib = static_cast<double>(size) / (1ull << 30);
    const double copy = median(wall[0]);
    const double sequential = median(wall[1]);
    const double overlapped = median(wall[2]);
    const double sequentialCpu = median(cpu[1]) / gib;
    const double overlappedCpu = median(cpu[2]) / gib;
    std::printf("plaintext              %8.3f GiB, medians of %d rounds\n", gib, rounds);
    std::printf("copy (64 KiB r/w)      %8.3f s   CPU %.3f s per GiB\n", copy, median(cpu[0]) / gib);
    std::printf("sequential decrypt     %8.3f s\n", sequential);
    std::printf("overlapped decrypt     %8.3f s\n", overlapped);
    std::printf("ratio sequential/copy  %8.3f\n", sequential / copy);
    std::printf("ratio overlapped/copy  %8.3f   (target <= 1.1)\n", overlapped / copy);
    std::printf("sequential CPU         %8.3f s per GiB (user + system)\n", sequentialCpu);
    std::printf("overlapped CPU         %8.3f s per GiB (user + system): worker %.3f, writer %.3f\n", overlappedCpu,
        median(workerCpu) / gib, median(writerCpu) / gib);
    std::printf("ratio CPU ovl/seq      %8.3f   (target <= 1.15)\n", overlappedCpu / sequentialCpu);
    // With a core for each thread the overlapped run takes about as long as its
    // busier thread's CPU time; this ratio does not depend on the machine's load.
    const double busier = std::max(median(workerCpu), median(writerCpu)) / gib;
    std::printf("busier thread / copy   %8.3f   (CPU ratio; overlapped/copy on two free cores)\n",
        busier / (median(cpu[0]) / gib));
    return 0;
}
