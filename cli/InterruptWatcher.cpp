#include "cli/InterruptWatcher.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Everything the handler touches: plain values written before the mode switches.
volatile sig_atomic_t g_watching = 0;
int g_pipe[2] = { -1, -1 };
volatile sig_atomic_t g_ttyFd = -1;
termios g_ttyState {};

extern "C" void onSignal(int signalNumber)
{
    const int savedErrno = errno;
    if (g_watching) {
        const unsigned char byte = static_cast<unsigned char>(signalNumber);
        // A full pipe means enough signals are already waiting to be seen.
        [[maybe_unused]] const ssize_t n = write(g_pipe[1], &byte, 1);
    } else {
        const int tty = g_ttyFd;
        if (tty >= 0) {
            tcsetattr(tty, TCSANOW, &g_ttyState);
            [[maybe_unused]] const ssize_t n = write(tty, "\n", 1);
        }
        _exit(128 + signalNumber);
    }
    errno = savedErrno;
}

} // namespace

void InterruptWatcher::install()
{
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    if (pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        g_pipe[0] = g_pipe[1] = -1;
    struct sigaction action { };
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

void InterruptWatcher::setTerminalToRestore(int fd, const termios* state)
{
    if (fd >= 0 && state) {
        g_ttyState = *state;
        g_ttyFd = fd;
    } else {
        g_ttyFd = -1;
    }
}

InterruptWatcher::InterruptWatcher(QObject* parent)
    : QObject(parent)
{
    install();
    if (g_pipe[0] < 0)
        return; // no pipe: signals keep ending the process at once
    m_notifier = std::make_unique<QSocketNotifier>(g_pipe[0], QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &InterruptWatcher::onReadable);
    g_watching = 1;
}

InterruptWatcher::~InterruptWatcher()
{
    g_watching = 0;
}

void InterruptWatcher::onReadable()
{
    unsigned char bytes[16];
    for (;;) {
        const ssize_t n = read(g_pipe[0], bytes, sizeof bytes);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        for (ssize_t i = 0; i < n; ++i)
            emit interrupted(bytes[i]);
    }
}
