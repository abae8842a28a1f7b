// Processes and the environment: fork and exec, waits, kills, variables.
#include "kv/kv_process.h"
#include "runtime/src/kv_internal.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <initializer_list>
#include <mutex>
#include <new>
#include <poll.h>
#include <pwd.h>
#include <string>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

extern char** environ;

using kv::internal::closeFd;
using kv::internal::lastError;
using kv::internal::retryOnEintr;
using kv::internal::sleepMs;
using kv::internal::writeAll;

namespace {

constexpr size_t kMaxCommandLine = 65535;
constexpr size_t kMaxEnvName = 8192;
constexpr int kSpawnWaitMs = 4000;
constexpr int kSpawnMaxStrings = 2046;
constexpr size_t kSpawnMaxBlock = 32766;

// Guards our own reads and changes of the environment against each other.
std::mutex gEnvLock;

// Split a command line into arguments (see the header for the rules).
std::vector<std::string> splitCommandLine(const char* line)
{
    std::vector<std::string> args;
    const char* p = line;
    while (*p) {
        while (*p == ' ' || *p == '\t')
            ++p;
        if (!*p)
            break;
        std::string arg;
        char quote = 0;
        for (; *p; ++p) {
            const char c = *p;
            if (!quote && (c == ' ' || c == '\t'))
                break;
            if (c == '\\' && quote != '\'' && (p[1] == '\\' || p[1] == '"' || p[1] == '\'')) {
                arg += *++p;
            } else if (!quote && (c == '"' || c == '\'')) {
                quote = c;
            } else if (c == quote) {
                quote = 0;
            } else {
                arg += c;
            }
        }
        args.push_back(std::move(arg));
    }
    return args;
}

std::vector<char*> pointers(std::vector<std::string>& strings)
{
    std::vector<char*> out;
    out.reserve(strings.size() + 1);
    for (std::string& s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

int pidfdOpen(pid_t pid)
{
#ifdef SYS_pidfd_open
    const long fd = syscall(SYS_pidfd_open, pid, 0);
    if (fd >= 0) {
        fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
        return static_cast<int>(fd);
    }
#else
    (void)pid;
#endif
    return -1;
}

// What a child is to become; everything is prepared before fork, because the
// child of a threaded process may only make async-signal-safe calls.
struct ChildPlan {
    char* const* argv = nullptr;
    char* const* envp = nullptr; // null: the caller's environment
    // What the child changes to become another account; each only when it
    // differs from the caller's.
    bool setGroups = false;
    bool setGid = false;
    bool setUid = false;
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;
    const char* cwd = nullptr;
    bool fallbackToRoot = false; // "/" when cwd cannot be entered
    bool newGroup = false;
    bool newSession = false;
};

int maxDescriptor()
{
    rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur < 65536)
        return static_cast<int>(rl.rlim_cur);
    return 65536;
}

void closeDescriptorsExcept(int keep, int maxFd)
{
#ifdef SYS_close_range
    bool done = true;
    if (keep > 3 && syscall(SYS_close_range, 3u, static_cast<unsigned>(keep - 1), 0u) != 0)
        done = false;
    if (done && syscall(SYS_close_range, static_cast<unsigned>(keep + 1), ~0u, 0u) == 0)
        return;
#endif
    for (int fd = 3; fd < maxFd; ++fd) {
        if (fd != keep)
            closeFd(fd);
    }
}

[[noreturn]] void reportAndExit(int errorPipe, int err)
{
    writeAll(errorPipe, &err, sizeof err);
    _exit(127);
}

// The files a command may be, in the order execvp would try them, worked out
// before fork: a search of PATH allocates, and the child of a threaded process
// may only make async-signal-safe calls. A file that is not an executable format
// is run by the shell, as execvp does; its arguments are prepared here too, the
// child only puts the file's name into them.
struct ExecTargets {
    std::vector<std::string> files;
    std::vector<char*> shellArgv;

    explicit ExecTargets(char* const* argv)
    {
        const std::string name = argv[0] ? argv[0] : "";
        if (name.find('/') != std::string::npos) {
            files.push_back(name);
        } else if (!name.empty()) {
            const char* path = getenv("PATH");
            std::string dirs = path ? path : "/bin:/usr/bin";
            size_t start = 0;
            for (;;) {
                const size_t end = dirs.find(':', start);
                const std::string dir = dirs.substr(start, end == std::string::npos ? end : end - start);
                files.push_back((dir.empty() ? std::string(".") : dir) + "/" + name);
                if (end == std::string::npos)
                    break;
                start = end + 1;
            }
        }
        shellArgv.push_back(const_cast<char*>("/bin/sh"));
        shellArgv.push_back(nullptr); // the file, set in the child
        for (char* const* arg = argv[0] ? argv + 1 : argv; *arg; ++arg)
            shellArgv.push_back(*arg);
        shellArgv.push_back(nullptr);
    }
};

// Runs in the child: become what plan asks and exec. Never returns, and calls
// nothing that is not async-signal-safe.
[[noreturn]] void execChild(const ChildPlan& plan, ExecTargets& targets, int errorPipe, int maxFd)
{
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    if (plan.newSession)
        setsid();
    else if (plan.newGroup)
        setpgid(0, 0);
    if (plan.setGroups && setgroups(plan.groups.size(), plan.groups.data()) != 0)
        reportAndExit(errorPipe, lastError());
    if (plan.setGid && setgid(plan.gid) != 0)
        reportAndExit(errorPipe, lastError());
    if (plan.setUid && setuid(plan.uid) != 0)
        reportAndExit(errorPipe, lastError());
    if (plan.cwd && chdir(plan.cwd) != 0 && !(plan.fallbackToRoot && chdir("/") == 0))
        reportAndExit(errorPipe, lastError());
    closeDescriptorsExcept(errorPipe, maxFd);
    char* const* envp = plan.envp ? plan.envp : environ;
    // As execvp: a file that is not there goes on to the next folder; one that
    // is there but may not be run is reported unless a later one runs.
    int err = ENOENT;
    bool denied = false;
    for (std::string& file : targets.files) {
        execve(file.c_str(), plan.argv, envp);
        err = lastError();
        if (err == ENOEXEC) {
            targets.shellArgv[1] = file.data();
            execve(targets.shellArgv[0], targets.shellArgv.data(), envp);
            err = lastError();
        }
        if (err == EACCES)
            denied = true;
        else if (err != ENOENT && err != ENOTDIR && err != ESTALE && err != ENODEV && err != ETIMEDOUT)
            break;
    }
    reportAndExit(errorPipe, denied && (err == ENOENT || err == ENOTDIR) ? EACCES : err);
}

int waitChild(pid_t pid, int* status, int options)
{
    const pid_t r = retryOnEintr([&] { return waitpid(pid, status, options); });
    return r < 0 ? -lastError() : static_cast<int>(r);
}

int64_t monotonicMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Start the child. With detachWaitMs >= 0 an intermediate child starts it and
// waits up to that long for it before ending, so that the child is adopted by
// init and never left as our zombie; *pid is then 0.
int startChild(const ChildPlan& plan, int detachWaitMs, pid_t* pid)
{
    *pid = 0;
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return lastError();
    const int maxFd = maxDescriptor();
    ExecTargets targets(plan.argv);

    const pid_t child = fork();
    if (child < 0) {
        const int err = lastError();
        closeFd(pipeFds[0]);
        closeFd(pipeFds[1]);
        return err;
    }
    if (child == 0) {
        closeFd(pipeFds[0]);
        if (detachWaitMs < 0)
            execChild(plan, targets, pipeFds[1], maxFd);
        // _Fork runs no fork handlers: they are not async-signal-safe.
        const pid_t grandchild = _Fork();
        if (grandchild < 0)
            reportAndExit(pipeFds[1], lastError());
        if (grandchild == 0)
            execChild(plan, targets, pipeFds[1], maxFd);
        closeFd(pipeFds[1]);
        int status;
        for (int waited = 0; waited < detachWaitMs; waited += 10) {
            if (waitChild(grandchild, &status, WNOHANG) != 0)
                break;
            sleepMs(10);
        }
        _exit(0);
    }

    closeFd(pipeFds[1]);
    // The pipe closes when exec succeeds; a failed exec sends its errno first.
    int err = 0;
    const ssize_t n = retryOnEintr([&] { return ::read(pipeFds[0], &err, sizeof err); });
    closeFd(pipeFds[0]);
    if (n != static_cast<ssize_t>(sizeof err))
        err = 0;
    if (detachWaitMs >= 0 || err != 0) {
        int status;
        waitChild(child, &status, 0);
        return err;
    }
    *pid = child;
    return 0;
}

void resetRecord(kv_process_t* process)
{
    memset(process, 0, sizeof *process);
    process->handle = -1;
    process->thread = -1;
    process->token = -1;
}

void closeHandles(kv_process_t* process)
{
    if (process->handle >= 0)
        closeFd(process->handle);
    process->handle = -1;
    process->thread = -1;
    process->token = -1;
}

void recordExit(kv_process_t* process, int status)
{
    process->exited = 1;
    if (WIFEXITED(status))
        process->exit_code = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        process->exit_code = (process->killed && WTERMSIG(status) == SIGKILL) ? 0 : 128 + WTERMSIG(status);
    else
        process->exit_code = -1;
}

// 1 when the child has ended (and is now reaped), 0 while it runs, or -errno.
int reap(kv_process_t* process, bool block)
{
    if (process->exited)
        return 1;
    if (process->pid <= 0)
        return -ECHILD; // never started: waitpid must not pick up another child
    int status = 0;
    const int r = waitChild(process->pid, &status, block ? 0 : WNOHANG);
    if (r < 0)
        return r;
    if (r == 0)
        return 0;
    recordExit(process, status);
    return 1;
}

int startRecorded(kv_process_t* process, const ChildPlan& plan)
{
    pid_t pid = 0;
    const int rc = startChild(plan, -1, &pid);
    if (rc != 0)
        return rc;
    process->pid = pid;
    process->tid = pid;
    process->handle = pidfdOpen(pid);
    return 0;
}

// Check and split a command line; 0 or the code to return.
int prepareArgs(const char* commandLine, std::vector<std::string>* args)
{
    if (!commandLine)
        return EINVAL;
    if (strlen(commandLine) > kMaxCommandLine)
        return KV_ERR_INSUFFICIENT_BUFFER;
    *args = splitCommandLine(commandLine);
    return args->empty() ? EINVAL : 0;
}

bool hostNameMatches(const std::string& domain)
{
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0)
        return false;
    const std::string full(host);
    const std::string shortName = full.substr(0, full.find('.'));
    return strcasecmp(domain.c_str(), full.c_str()) == 0 || strcasecmp(domain.c_str(), shortName.c_str()) == 0;
}

struct Account {
    std::string name;
    uid_t uid = 0;
    gid_t gid = 0;
    std::string home;
    std::string shell;
};

int lookupAccount(const char* name, Account* account)
{
    passwd pw;
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    const int r = getpwnam_r(name, &pw, buffer.data(), buffer.size(), &found);
    if (r != 0)
        return r;
    if (!found)
        return ENOENT;
    account->name = found->pw_name;
    account->uid = found->pw_uid;
    account->gid = found->pw_gid;
    account->home = found->pw_dir ? found->pw_dir : "";
    account->shell = found->pw_shell ? found->pw_shell : "";
    return 0;
}

// Whether the caller's groups (its supplementary groups and its effective group)
// are those the account's would be (its group list and its primary group).
bool callerHasGroups(const std::vector<gid_t>& groups, gid_t gid)
{
    const int count = getgroups(0, nullptr);
    if (count < 0)
        return false;
    std::vector<gid_t> current(static_cast<size_t>(count));
    const int read = getgroups(count, current.data());
    if (read < 0)
        return false;
    current.resize(static_cast<size_t>(read));
    current.push_back(getegid());
    std::vector<gid_t> wanted = groups;
    wanted.push_back(gid);
    for (std::vector<gid_t>* list : { &current, &wanted }) {
        std::sort(list->begin(), list->end());
        list->erase(std::unique(list->begin(), list->end()), list->end());
    }
    return current == wanted;
}

// The caller's environment with the account's HOME, USER, LOGNAME and SHELL.
std::vector<std::string> accountEnvironment(const Account& account)
{
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) {
        if (strncmp(*e, "HOME=", 5) != 0 && strncmp(*e, "USER=", 5) != 0 && strncmp(*e, "LOGNAME=", 8) != 0
            && strncmp(*e, "SHELL=", 6) != 0)
            env.emplace_back(*e);
    }
    env.push_back("HOME=" + account.home);
    env.push_back("USER=" + account.name);
    env.push_back("LOGNAME=" + account.name);
    env.push_back("SHELL=" + account.shell);
    return env;
}

int forkAsAccount(kv_process_t* process, bool detached, const ChildPlan& base, const char* profileDir)
{
    Account account;
    if (int rc = lookupAccount(process->user, &account))
        return rc;
    if (static_cast<int>(account.uid) != process->token)
        return EPERM;
    ChildPlan plan = base;
    plan.uid = account.uid;
    plan.gid = account.gid;
    int count = 64;
    plan.groups.resize(static_cast<size_t>(count));
    if (getgrouplist(account.name.c_str(), account.gid, plan.groups.data(), &count) < 0) {
        plan.groups.resize(static_cast<size_t>(count));
        if (getgrouplist(account.name.c_str(), account.gid, plan.groups.data(), &count) < 0)
            return ENOMEM;
    }
    plan.groups.resize(static_cast<size_t>(count));
    // Changing ids needs privilege even when nothing changes (setgroups always
    // does): change only what differs, so that any account may start a process
    // as itself.
    plan.setGroups = !callerHasGroups(plan.groups, plan.gid);
    plan.setGid = getgid() != plan.gid || getegid() != plan.gid;
    plan.setUid = getuid() != plan.uid || geteuid() != plan.uid;
    std::vector<std::string> env = accountEnvironment(account);
    std::vector<char*> envp = pointers(env);
    plan.envp = envp.data();
    plan.cwd = profileDir ? profileDir : account.home.c_str();
    plan.fallbackToRoot = !profileDir;
    plan.newGroup = true;
    if (detached) {
        pid_t unused;
        return startChild(plan, 0, &unused);
    }
    return startRecorded(process, plan);
}

} // namespace

extern "C" {

int kv_process_create(kv_process_t* process, const char* command_line)
{
    if (!process)
        return EINVAL;
    resetRecord(process);
    int rc;
    try {
        std::vector<std::string> args;
        rc = prepareArgs(command_line, &args);
        if (rc == 0) {
            std::vector<char*> argv = pointers(args);
            ChildPlan plan;
            plan.argv = argv.data();
            rc = startRecorded(process, plan);
        }
    } catch (const std::bad_alloc&) {
        rc = ENOMEM;
    }
    if (rc != 0)
        kv_dbg("kv_process_create(): error starting process (errno=%d)", rc);
    return rc;
}

int kv_process_spawn(const char* command_line, const char* const* env, int count)
{
    try {
        std::vector<std::string> args;
        if (int rc = prepareArgs(command_line, &args))
            return rc;
        std::vector<std::string> block;
        {
            std::lock_guard<std::mutex> lock(gEnvLock);
            const char* path = getenv("PATH");
            block.push_back(std::string("PATH=") + (path ? path : ""));
        }
        for (int i = 0; env && i < count && i < kSpawnMaxStrings; ++i) {
            if (env[i])
                block.emplace_back(env[i]);
        }
        std::sort(block.begin(), block.end(),
            [](const std::string& a, const std::string& b) { return strcmp(a.c_str(), b.c_str()) < 0; });
        size_t bytes = 1;
        for (const std::string& e : block)
            bytes += e.size() + 1;
        if (bytes > kSpawnMaxBlock)
            return KV_ERR_NOT_ENOUGH_MEMORY;

        std::vector<char*> argv = pointers(args);
        std::vector<char*> envp = pointers(block);
        ChildPlan plan;
        plan.argv = argv.data();
        plan.envp = envp.data();
        plan.newSession = true;
        pid_t unused;
        return startChild(plan, kSpawnWaitMs, &unused);
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
}

int kv_process_runas(kv_process_t* process, const kv_credentials_t* credentials)
{
    if (!process || !credentials || !credentials->user)
        return EINVAL;
    try {
        std::string user = credentials->user;
        std::string domain;
        if (const size_t slash = user.find('\\'); slash != std::string::npos) {
            domain = user.substr(0, slash);
            user = user.substr(slash + 1);
            if (domain.size() > 511)
                return KV_ERR_INSUFFICIENT_BUFFER;
        }
        if (user.size() >= KV_PROCESS_NAME)
            return KV_ERR_INSUFFICIENT_BUFFER;
        if (!domain.empty() && domain != "." && !hostNameMatches(domain))
            return ENOENT;
        Account account;
        if (int rc = lookupAccount(user.c_str(), &account))
            return rc;
        if (geteuid() != 0 && geteuid() != account.uid)
            return EPERM;
        kv_str_ncpy(process->user, user.c_str(), sizeof process->user);
        kv_str_ncpy(process->domain, domain.c_str(), sizeof process->domain);
        process->token = static_cast<int>(account.uid);
        return 0;
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
}

int kv_process_fork(kv_process_t* process, const char* command_line, const char* profile_dir, void* reserved1,
    void* reserved2, void* reserved3, kv_process_callback_t callback, void* arg)
{
    (void)reserved1;
    (void)reserved2;
    (void)reserved3;
    kv_process_t own;
    kv_process_t* record = process ? process : &own;
    const bool detached = !process;
    resetRecord(record);
    try {
        std::vector<std::string> args;
        if (int rc = prepareArgs(command_line, &args))
            return rc;
        if (callback) {
            if (int rc = callback(record, arg))
                return rc;
        }
        std::vector<char*> argv = pointers(args);
        ChildPlan plan;
        plan.argv = argv.data();
        plan.newSession = detached;
        if (record->token < 0) {
            if (detached) {
                pid_t unused;
                return startChild(plan, 0, &unused);
            }
            return startRecorded(record, plan);
        }
        const int rc = forkAsAccount(record, detached, plan, profile_dir);
        record->token = -1;
        return rc;
    } catch (const std::bad_alloc&) {
        record->token = -1;
        return ENOMEM;
    }
}

int kv_process_wait(kv_process_t* process, int milliseconds, int* state)
{
    if (!process || !state)
        return EINVAL;
    int r;
    if (process->exited || milliseconds < 0) {
        r = reap(process, true);
    } else if (process->handle >= 0) {
        // The pidfd becomes readable when the child ends.
        // A retry after a signal waits only for what is left of the time.
        const int64_t deadline = monotonicMs() + milliseconds;
        const int p = retryOnEintr([&] {
            pollfd fd { process->handle, POLLIN, 0 };
            return poll(&fd, 1, static_cast<int>(std::max<int64_t>(0, deadline - monotonicMs())));
        });
        r = p < 0 ? -lastError() : (p == 0 ? 0 : reap(process, true));
    } else {
        const int64_t deadline = monotonicMs() + milliseconds;
        int pause = 1;
        while ((r = reap(process, false)) == 0 && monotonicMs() < deadline) {
            sleepMs(static_cast<int>(std::min<int64_t>(pause, deadline - monotonicMs())));
            pause = std::min(pause * 2, 20);
        }
    }
    if (r < 0) {
        *state = 3;
        return -r;
    }
    if (r == 0) {
        *state = 1;
        return 0;
    }
    process->token = -1;
    *state = 0;
    return 0;
}

int kv_process_exited(kv_process_t* process, int* done, int* exit_code)
{
    if (!process || !done || !exit_code)
        return EINVAL;
    const int r = reap(process, false);
    if (r < 0)
        return -r;
    if (r == 0) {
        *done = 0;
        *exit_code = KV_ERR_STILL_ACTIVE;
        return 0;
    }
    *done = 1;
    *exit_code = process->exit_code;
    closeHandles(process);
    return 0;
}

int kv_process_kill(kv_process_t* process)
{
    if (!process)
        return EINVAL;
    int rc = 0;
    if (process->exited || process->pid <= 0) {
        rc = ESRCH;
    } else {
        // Our unreaped child keeps its pid, so the signal cannot reach another process.
        process->killed = 1;
        if (kill(process->pid, SIGKILL) != 0)
            rc = lastError();
    }
    if (rc != 0)
        kv_dbg("kv_process_kill(): error terminating process (errno=%d)", rc);
    return rc;
}

int kv_process_waitany(void)
{
    return 0;
}

int kv_process_setenv(const char* name, const char* value)
{
    if (!name || !*name || strchr(name, '='))
        return EINVAL;
    if (strlen(name) >= kMaxEnvName || (value && strlen(value) >= kMaxEnvName))
        return KV_ERR_INSUFFICIENT_BUFFER;
    std::lock_guard<std::mutex> lock(gEnvLock);
    const int r = value ? setenv(name, value, 1) : unsetenv(name);
    return r == 0 ? 0 : lastError();
}

int kv_process_getenv(const char* name, char* out, int size)
{
    if (!name || !out || size <= 0)
        return EINVAL;
    out[0] = '\0';
    std::lock_guard<std::mutex> lock(gEnvLock);
    const char* value = getenv(name);
    if (!value)
        return EINVAL;
    const size_t len = strlen(value);
    if (len >= static_cast<size_t>(size))
        return KV_ERR_INSUFFICIENT_BUFFER;
    memcpy(out, value, len + 1);
    return 0;
}

} // extern "C"
