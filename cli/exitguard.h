#pragma once
// The end of a run that the event loop may not be free to see: SIGINT, SIGTERM, SIGHUP, SIGQUIT
// and the time limit are watched by a thread of their own. The first cause is passed to the
// event loop; if the loop has not ended the process a short grace period later (a file
// operation that blocks, say), the thread ends it, with the status of that first cause.

#include <QObject>

#include <csignal>
#include <functional>
#include <thread>

class ExitGuard : public QObject
{
    Q_OBJECT
public:
    /// How long the event loop has to end the run itself.
    static constexpr int GraceMsec = 2000;

    /// Keeps the signals that end a run from every thread but the guard's. Call it first thing in
    /// main(), before any thread starts: a signal taken by a thread that is stuck in a system
    /// call would wait there with it.
    static void holdTerminationSignals();

    /// Watches the signals for the life of the object; `timeoutSeconds` above 0 also ends the
    /// run that many seconds from now. `beforeForcedExit` runs on the guard's thread right
    /// before it ends the process itself.
    explicit ExitGuard(int timeoutSeconds, std::function<void()> beforeForcedExit = {}, QObject *parent = nullptr);
    ~ExitGuard() override;

signals:
    /// The run must end with `status` (128 + the signal's number, or 3 at the time limit);
    /// `why` says so in words. Raised once, on the thread the guard belongs to.
    void endRequested(int status, const QString &why);

private:
    void watch(int timeoutSeconds);

    std::function<void()> m_beforeForcedExit;
    int m_signals = -1;         ///< a signalfd for the signals that end a run
    int m_stop[2] = {-1, -1};   ///< written to end the thread
    std::thread m_thread;
};
