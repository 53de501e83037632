#include "testhelpers.h"

#include <QDeadlineTimer>
#include <QFile>

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testing {

QByteArray pattern(qsizetype size, int seed)
{
    QByteArray b(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        b[i] = char((i * 31 + seed * 7 + i / 251) & 0xff);
    return b;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

int errorNumberOf(const std::function<void()> &fn)
{
    try {
        fn();
    } catch (const platform::AutomationError &e) {
        return e.number;
    }
    return 0;
}

bool waitFor(const std::function<bool()> &condition, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(5);
    }
    return true;
}

int exitStatusOf(QProcess &process, int timeoutMs)
{
    // QProcess::waitForFinished() is false for a process that has already ended: wait on the state.
    if (!waitFor([&] { return process.state() == QProcess::NotRunning; }, timeoutMs)) {
        qWarning("%s %s: still running after %d ms", qPrintable(process.program()),
                 qPrintable(process.arguments().join(u' ')), timeoutMs);
        return -1;
    }
    return process.exitStatus() == QProcess::CrashExit ? -2 : process.exitCode();
}

qint64 unacknowledgedBytes(qintptr descriptor)
{
    int n = 0;
    return ::ioctl(int(descriptor), SIOCOUTQ, &n) == 0 ? n : -1;
}

ClosedPort::ClosedPort()
    : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr *>(&address), length) != 0
        || ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        qFatal("cannot bind a socket on 127.0.0.1");
    m_port = ntohs(address.sin_port);
}

ClosedPort::~ClosedPort()
{
    ::close(m_fd);
}

bool loopbackHasIPv6()
{
    const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 loopback{};
    loopback.sin6_family = AF_INET6;
    loopback.sin6_addr = in6addr_loopback;
    const bool bound = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&loopback), sizeof loopback) == 0;
    if (fd >= 0)
        ::close(fd);
    return bound;
}

bool connectPair(platform::SocketComponent &listener, platform::SocketComponent &client, const QString &host)
{
    QObject::connect(&listener, &platform::SocketComponent::connectionRequest, &listener,
                     [&listener](qint32 id) {
                         listener.Close();
                         listener.Accept(id);
                     });
    listener.setLocalPort(0);
    listener.Listen();
    client.Connect(host, listener.LocalPort());
    return waitFor([&] {
        return listener.State() == platform::SocketComponent::Connected
            && client.State() == platform::SocketComponent::Connected;
    });
}

} // namespace testing
