#include "exitguard.h"

#include "clioptions.h"

#include <QMetaObject>

#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

sigset_t terminationSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);  // the terminal went away
    sigaddset(&set, SIGQUIT);
    return set;
}

// Written with write(2) alone: the GUI thread may hold any lock stdio takes.
void say(const QByteArray &line)
{
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, line.constData(), size_t(line.size()));
}

} // namespace

void ExitGuard::holdTerminationSignals()
{
    const sigset_t set = terminationSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

ExitGuard::ExitGuard(int timeoutSeconds, std::function<void()> beforeForcedExit, QObject *parent)
    : QObject(parent)
    , m_beforeForcedExit(std::move(beforeForcedExit))
{
    holdTerminationSignals(); // in case main() did not
    const sigset_t set = terminationSignals();
    m_signals = ::signalfd(-1, &set, SFD_CLOEXEC);
    if (m_signals < 0 || ::pipe2(m_stop, O_CLOEXEC) != 0)
        qFatal("velmora-cli: cannot watch for signals");
    m_thread = std::thread([this, timeoutSeconds] { watch(timeoutSeconds); });
}

ExitGuard::~ExitGuard()
{
    [[maybe_unused]] const ssize_t written = ::write(m_stop[1], "", 1);
    m_thread.join();
    for (int fd : {m_signals, m_stop[0], m_stop[1]})
        ::close(fd);
}

void ExitGuard::watch(int timeoutSeconds)
{
    using Clock = std::chrono::steady_clock;
    Clock::time_point deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
    int status = 0; // the first cause, once there is one
    QByteArray why;
    for (;;) {
        int waitMsec = -1;
        if (status != 0 || timeoutSeconds > 0)
            waitMsec = int(qMax<qint64>(
                0, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count()));
        pollfd ends[2] = {{m_signals, POLLIN, 0}, {m_stop[0], POLLIN, 0}};
        const int ready = ::poll(ends, 2, waitMsec);
        if (ready < 0)
            continue; // EINTR
        if (ends[1].revents)
            return;
        int cause = 0;
        if (ready > 0) {
            signalfd_siginfo info = {};
            if (::read(m_signals, &info, sizeof info) != sizeof info)
                continue;
            cause = 128 + int(info.ssi_signo);
            if (status == 0)
                why = "ended by signal " + QByteArray::number(info.ssi_signo);
        } else if (status != 0) {
            // The event loop did not end the run in time: something blocks it.
            say("velmora-cli: " + why + "; a file operation still blocks, so the run ends at once\n");
            if (m_beforeForcedExit)
                m_beforeForcedExit();
            ::_exit(status);
        } else {
            cause = cliexit::TimedOut;
            why = "timed out after " + QByteArray::number(timeoutSeconds) + " s";
        }
        if (status != 0)
            continue; // a later cause changes nothing
        status = cause;
        deadline = Clock::now() + std::chrono::milliseconds(GraceMsec);
        QMetaObject::invokeMethod(this, [this, status, why] { emit endRequested(status, QString::fromUtf8(why)); },
                                  Qt::QueuedConnection);
    }
}
