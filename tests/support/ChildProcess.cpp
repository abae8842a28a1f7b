#include "tests/support/ChildProcess.h"

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <grp.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace korvel::test {

int runInChild(const std::function<int()>& step)
{
    const pid_t child = fork();
    if (child < 0)
        return -1;
    if (child == 0) {
        const int result = step();
        _exit(result >= 0 && result < kChildSetupFailed ? result : kChildSetupFailed);
    }
    int status = 0;
    pid_t waited;
    do {
        waited = waitpid(child, &status, 0);
    } while (waited < 0 && errno == EINTR);
    if (waited != child)
        return -1;
    if (WIFSIGNALED(status))
        return 256 + WTERMSIG(status);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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
