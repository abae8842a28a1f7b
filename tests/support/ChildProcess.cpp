#include "tests/support/ChildProcess.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <grp.h>
#include <linux/audit.h>
#include <linux/close_range.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <map>
#include <poll.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace korvel::test {

namespace {

std::map<std::string, ChildStep>& steps()
{
    static std::map<std::string, ChildStep> registered;
    return registered;
}

std::string selfPath()
{
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

// A status from waitpid as runChild reports it.
int resultOf(int status)
{
    if (WIFSIGNALED(status))
        return 256 + WTERMSIG(status);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

pid_t waitOnce(pid_t child, int* status, int options)
{
    pid_t waited;
    do {
        waited = waitpid(child, status, options);
    } while (waited < 0 && errno == EINTR);
    return waited;
}

int64_t nowMs()
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

} // namespace

bool registerChildStep(const char* name, ChildStep step)
{
    steps()[name] = step;
    return true;
}

pid_t startChild(const std::string& step, const ChildArgs& args, const std::vector<int>& inherit)
{
    // Everything the child needs is made here: after fork it only closes,
    // unmarks and execs.
    std::vector<std::string> strings { selfPath(), "--child", step, "--parent", std::to_string(getpid()), "--" };
    if (strings[0].empty())
        return -1;
    strings.insert(strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : strings)
        argv.push_back(s.data());
    argv.push_back(nullptr);

    // _Fork runs no fork handlers, which need not be async-signal-safe.
    const pid_t child = _Fork();
    if (child != 0)
        return child;
    // Every descriptor the test opened closes at exec but those it hands on.
    if (syscall(SYS_close_range, 3u, ~0u, CLOSE_RANGE_CLOEXEC) != 0)
        _exit(kChildSetupFailed);
    for (int fd : inherit) {
        if (fcntl(fd, F_SETFD, 0) != 0)
            _exit(kChildSetupFailed);
    }
    execve(argv[0], argv.data(), environ);
    _exit(kChildSetupFailed);
}

int waitChild(pid_t child, int timeoutMs)
{
    if (child <= 0)
        return -1;
    int status = 0;
    const int64_t deadline = nowMs() + timeoutMs;
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
    for (;;) {
        const pid_t waited = waitOnce(child, &status, WNOHANG);
        if (waited == child)
            break;
        if (waited < 0) {
            if (pidfd >= 0)
                close(pidfd);
            return -1;
        }
        const int64_t left = deadline - nowMs();
        if (left <= 0) {
            kill(child, SIGKILL);
            waitOnce(child, &status, 0);
            if (pidfd >= 0)
                close(pidfd);
            fprintf(stderr, "child %d killed after %d ms\n", int(child), timeoutMs);
            return kChildTimedOut;
        }
        // The pidfd turns readable when the child ends; without one, look again soon.
        pollfd ended { pidfd, POLLIN, 0 };
        if (pidfd < 0 || poll(&ended, 1, int(left < 1000 ? left : 1000)) < 0) {
            timespec pause { 0, 2000000 };
            nanosleep(&pause, nullptr);
        }
    }
    if (pidfd >= 0)
        close(pidfd);
    return resultOf(status);
}

int runChild(const std::string& step, const ChildArgs& args, int timeoutMs)
{
    return waitChild(startChild(step, args), timeoutMs);
}

int childMain(int argc, char** argv)
{
    if (argc < 6 || strcmp(argv[1], "--child") != 0 || strcmp(argv[3], "--parent") != 0 || strcmp(argv[5], "--") != 0)
        return -1;
    // Ends with its parent; one that ended already is gone before the step.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != static_cast<pid_t>(atol(argv[4])))
        return kChildSetupFailed;
    const auto found = steps().find(argv[2]);
    if (found == steps().end()) {
        fprintf(stderr, "no child step %s\n", argv[2]);
        return kChildSetupFailed;
    }
    const ChildArgs args(argv + 6, argv + argc);
    const int result = found->second(args);
    return result >= 0 && result < kChildSetupFailed ? result : kChildSetupFailed;
}

bool becomeAccount(const char* name)
{
    const passwd* account = getpwnam(name);
    if (!account)
        return false;
    return setgroups(0, nullptr) == 0 && setgid(account->pw_gid) == 0 && setuid(account->pw_uid) == 0;
}

bool limitFileSize(uint64_t bytes)
{
    rlimit limit {};
    if (signal(SIGXFSZ, SIG_IGN) == SIG_ERR || getrlimit(RLIMIT_FSIZE, &limit) != 0)
        return false;
    limit.rlim_cur = static_cast<rlim_t>(bytes);
    return setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

bool failSystemCall(long number, int error)
{
#if defined(__x86_64__)
    constexpr unsigned kArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
    constexpr unsigned kArch = AUDIT_ARCH_AARCH64;
#else
#error "failSystemCall: add this architecture's AUDIT_ARCH value"
#endif
    sock_filter program[] = {
        // Calls of another architecture's table pass untouched.
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kArch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(number), 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (static_cast<unsigned>(error) & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog filter { static_cast<unsigned short>(sizeof program / sizeof program[0]), program };
    // Without privileges a filter needs no_new_privs; it changes nothing else here.
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) == 0;
}

} // namespace korvel::test
