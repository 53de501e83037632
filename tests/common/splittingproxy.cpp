#include "splittingproxy.h"

#include <QByteArray>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace testing {

namespace {

sockaddr_in loopback(quint16 port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

// Writes all of `bytes` in pieces, `delayMsec` apart; false once the other side is gone.
bool forward(int to, const QByteArray &bytes, int pieceBytes, int delayMsec)
{
    for (qsizetype at = 0; at < bytes.size(); at += pieceBytes) {
        if (at > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMsec));
        const qsizetype piece = qMin<qsizetype>(pieceBytes, bytes.size() - at);
        for (qsizetype sent = 0; sent < piece;) {
            const ssize_t n = ::send(to, bytes.constData() + at + sent, size_t(piece - sent), MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            sent += n;
        }
    }
    return true;
}

} // namespace

SplittingProxy::SplittingProxy(quint16 targetPort, int pieceBytes, int delayMsec)
    : m_listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
{
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (::bind(m_listener, reinterpret_cast<sockaddr *>(&address), length) != 0 || ::listen(m_listener, 1) != 0
        || ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        qFatal("the proxy cannot listen on 127.0.0.1");
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([=, this] { run(targetPort, pieceBytes, delayMsec); });
}

SplittingProxy::~SplittingProxy()
{
    m_stop = true;
    m_thread.join();
    ::close(m_listener);
}

void SplittingProxy::run(quint16 targetPort, int pieceBytes, int delayMsec)
{
    pollfd waiting{m_listener, POLLIN, 0};
    while (!m_stop && ::poll(&waiting, 1, 50) <= 0) {
    }
    if (m_stop)
        return;
    const int client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in target = loopback(targetPort);
    if (client >= 0 && ::connect(server, reinterpret_cast<const sockaddr *>(&target), sizeof target) == 0) {
        pollfd ends[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
        QByteArray buffer(1 << 16, Qt::Uninitialized);
        while (!m_stop) {
            if (::poll(ends, 2, 50) <= 0)
                continue;
            bool open = true;
            for (int i = 0; i < 2 && open; ++i) {
                if (!ends[i].revents)
                    continue;
                const ssize_t n = ::recv(ends[i].fd, buffer.data(), size_t(buffer.size()), 0);
                open = n > 0 && forward(ends[1 - i].fd, buffer.left(n), pieceBytes, delayMsec);
            }
            if (!open)
                break;
        }
    }
    // One side closed: so does the other, once it has everything.
    for (const int fd : {client, server})
        if (fd >= 0)
            ::close(fd);
}

} // namespace testing
