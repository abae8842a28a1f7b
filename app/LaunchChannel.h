// One window per user session: a second start of the program hands its files
// to the window already open and ends, as "Open with" from a file manager
// expects (otherwise the second window would decrypt every file once more).
//
// The window listens on a local socket named for the user's session: in
// $XDG_RUNTIME_DIR (private to the user, gone with the session) or, without
// one, in the temporary folder under the user's id, reachable by the user only.
// A later start connects, sends the absolute paths to load (none: it only
// brings the window to the front), waits for the window's answer and ends. No
// window listening, or no answer within a few seconds: the start opens its own
// window. "--new-instance" (or the setting "settings/newInstance") always opens
// a window of its own, which does not listen either.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

class QLocalServer;

class LaunchChannel : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(LaunchChannel)

public:
    explicit LaunchChannel(QObject* parent = nullptr);
    ~LaunchChannel() override;

    // The socket of this user session (see above).
    static QString defaultName();

    // Hands paths to the window listening on name and says whether it took
    // them; waits at most timeoutMs for each step.
    static bool handOver(const QStringList& paths, const QString& name = defaultName(), int timeoutMs = 5000);

    // Starts listening on name (a socket left behind by a program that ended
    // is replaced). False when another window listens there already.
    bool listen(const QString& name = defaultName());
    bool isListening() const;

signals:
    // A later start's paths, absolute; empty when it only asks for the window.
    void filesArrived(const QStringList& paths);

private:
    void onConnection();

    QLocalServer* m_server = nullptr;
};
