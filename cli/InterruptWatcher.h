// Turns SIGINT and SIGTERM into something the batch can act on.
//
// Until a watcher exists, a signal ends the process at once with status
// 128 + signal number: nothing has been written yet, so there is nothing to
// clean up, except a terminal whose echo a passphrase prompt switched off
// (setTerminalToRestore). While a watcher exists, the handler only writes the
// signal number into a pipe and the watcher emits interrupted() on its thread,
// so that the batch cancels as the Decrypt button does and removes partial output.
#pragma once

#include <QObject>

#include <memory>

class QSocketNotifier;
struct termios;

class InterruptWatcher : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(InterruptWatcher)

public:
    // Installs the handlers (once per process) in the immediate mode.
    static void install();
    // The terminal state to put back when a signal ends the process during a
    // prompt; a negative fd forgets it.
    static void setTerminalToRestore(int fd, const termios* state);

    explicit InterruptWatcher(QObject* parent = nullptr);
    // Back to the immediate mode.
    ~InterruptWatcher() override;

signals:
    void interrupted(int signalNumber);

private:
    void onReadable();

    std::unique_ptr<QSocketNotifier> m_notifier;
};
