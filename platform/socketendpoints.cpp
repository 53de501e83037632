// The socket component's ends: connecting to an address, listening on one and taking what comes.

#include "socketcomponent.h"

#include "admission.h"
#include "automation.h"
#include "connection.h"
#include "netaddress.h"
#include "socketerrors.h"
#include "transport.h"

#include <QHostInfo>
#include <QPointer>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <limits>
#include <optional>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

/// A listening server that hands each accepted descriptor to a callback instead of wrapping it.
class RequestServer : public QTcpServer
{
public:
    std::function<void(qintptr)> onIncoming;

protected:
    void incomingConnection(qintptr descriptor) override { onIncoming(descriptor); }
};

// ---------------------------------------------------------------- connecting

void SocketComponent::Connect(const QVariant &remoteHost, const QVariant &remotePort)
{
    requireClosed();
    if (!isOmitted(remoteHost))
        setRemoteHost(toString(remoteHost));
    if (!isOmitted(remotePort))
        setRemotePort(toInt32(remotePort));
    m_state = ResolvingHost;
    const quint64 attempt = ++m_connectAttempt;
    // An address given as digits (IPv6 in brackets or not, with a zone) is connected to at
    // once; the outcome still comes later.
    const QHostAddress literal = net::literal(m_remoteHost);
    if (!literal.isNull()) {
        onLookedUp({literal}, attempt);
        return;
    }
    m_lookupId = QHostInfo::lookupHost(m_remoteHost, this, [this, attempt](const QHostInfo &info) {
        m_lookupId = -1;
        onLookedUp(info.error() == QHostInfo::NoError ? info.addresses() : QList<QHostAddress>(), attempt);
    });
}

void SocketComponent::connectToAny(const QList<QHostAddress> &addresses, qint32 port)
{
    requireClosed();
    setRemoteHost(addresses.isEmpty() ? QString() : net::text(addresses.first()));
    setRemotePort(port);
    m_state = ResolvingHost;
    onLookedUp(addresses, ++m_connectAttempt);
}

namespace {

// How long an address is given before the next one is tried beside it.
constexpr int NextAddressMsec = 250;

// IPv6 first, then the families in turn, each in the order given.
QList<QHostAddress> inTurn(const QList<QHostAddress> &addresses)
{
    QList<QHostAddress> six, four, out;
    for (const QHostAddress &a : addresses)
        (a.protocol() == QAbstractSocket::IPv6Protocol ? six : four).append(a);
    for (qsizetype i = 0; i < qMax(six.size(), four.size()); ++i) {
        if (i < six.size())
            out.append(six[i]);
        if (i < four.size())
            out.append(four[i]);
    }
    return out;
}

} // namespace

void SocketComponent::onLookedUp(const QList<QHostAddress> &addresses, quint64 attempt)
{
    if (attempt != m_connectAttempt || m_state != ResolvingHost)
        return;
    if (addresses.isEmpty()) {
        m_state = Error;
        raiseNotification(HostNotFound);
        return;
    }
    m_state = HostResolved;
    m_candidates = inTurn(addresses);
    m_lastDialError = ECONNREFUSED;
    if (!m_nextDial) {
        m_nextDial = new QTimer(this);
        m_nextDial->setSingleShot(true);
        connect(m_nextDial, &QTimer::timeout, this, [this] { dialNext(m_connectAttempt); });
    }
    dialNext(attempt);
}

void SocketComponent::dialNext(quint64 attempt)
{
    while (!m_candidates.isEmpty()) {
        const QHostAddress address = m_candidates.takeFirst();
        sockaddr_storage storage{};
        socklen_t length = 0;
        if (!net::toSocketAddress(address, quint16(m_remotePort), storage, length)) {
            m_lastDialError = EADDRNOTAVAIL; // a zone no interface has
            continue;
        }
        const int fd = ::socket(storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            m_lastDialError = errno;
            continue;
        }
        m_state = Connecting;
        if (::connect(fd, reinterpret_cast<sockaddr *>(&storage), length) == 0 || errno == EINPROGRESS) {
            auto *notifier = new QSocketNotifier(fd, QSocketNotifier::Write, this);
            connect(notifier, &QSocketNotifier::activated, this, [this, attempt, fd] { onConnectProgress(attempt, fd); });
            m_dialing.push_back({fd, notifier});
            if (!m_candidates.isEmpty())
                m_nextDial->start(NextAddressMsec);
            return;
        }
        m_lastDialError = errno;
        ::close(fd);
    }
    if (!m_dialing.empty())
        return; // the ones under way decide
    // Every address failed at once: the outcome is still reported from the event loop.
    QMetaObject::invokeMethod(this, [this, attempt, lastError = m_lastDialError] {
        if (attempt != m_connectAttempt)
            return;
        m_state = Error;
        raiseNotification(mapSystemError(lastError));
    }, Qt::QueuedConnection);
}

void SocketComponent::onConnectProgress(quint64 attempt, int descriptor)
{
    const auto it = std::find_if(m_dialing.begin(), m_dialing.end(), [&](const Dialing &d) { return d.descriptor == descriptor; });
    if (attempt != m_connectAttempt || it == m_dialing.end())
        return;
    int result = 0;
    socklen_t length = sizeof result;
    if (::getsockopt(descriptor, SOL_SOCKET, SO_ERROR, &result, &length) != 0)
        result = errno;
    it->notifier->setEnabled(false);
    it->notifier->deleteLater();
    m_dialing.erase(it);
    if (result == 0) {
        stopDialing(); // the first connection made is the one kept
        configure(descriptor);
        Transport *stream = m_provider ? m_provider->connected(descriptor) : nullptr;
        attach(stream ? stream : new Connection(descriptor));
        if (m_connection->isReady()) {
            m_state = Connected;
            emit connected();
        }
        return;
    }
    ::close(descriptor);
    m_lastDialError = result;
    if (!m_candidates.isEmpty()) {
        m_nextDial->stop(); // a failure lets the next address go at once
        dialNext(attempt);
        return;
    }
    if (!m_dialing.empty())
        return;
    m_state = Error;
    raiseNotification(mapSystemError(result));
}

void SocketComponent::stopDialing()
{
    for (const Dialing &d : m_dialing) {
        d.notifier->setEnabled(false);
        d.notifier->deleteLater();
        ::close(d.descriptor);
    }
    m_dialing.clear();
    m_candidates.clear();
    if (m_nextDial)
        m_nextDial->stop();
}

// ---------------------------------------------------------------- listening and accepting

void SocketComponent::Listen()
{
    requireClosed();
    auto *server = new RequestServer;
    // A burst of connections waits in the kernel until it is taken, rather than being turned
    // away and retried a second later (the system caps this at its own limit).
    server->setListenBacklogSize(4096);
    server->setParent(this); // freed with us even when the event loop never runs its deleteLater
    ++m_listenGeneration;
    server->onIncoming = [this](qintptr d) { onIncoming(d); };
    // Both families on one socket unless an address is given; IPv4 alone where the system has
    // no IPv6.
    if (!server->listen(m_localAddress, quint16(m_localPort))) {
        const qint32 number = mapSocketError(server->serverError());
        delete server;
        raiseError(number, errorDescription(number));
    }
    m_server = server;
    m_localPort = server->serverPort();
    m_admissions = new PendingAdmissions(m_setupLimitMsec, this);
    m_admissions->raise = [this](qintptr d) { offerRequest(d); };
    m_admissions->failed = [this](const QString &address, const QString &why) { emit admissionFailed(address, why); };
    m_state = Listening;
}

void SocketComponent::onIncoming(qintptr descriptor)
{
    addRaisedRequest(descriptor);
    // Delivered from the event loop, so a handler may close the server that raised it.
    const quint64 generation = m_listenGeneration;
    QMetaObject::invokeMethod(this, [this, descriptor, generation] { deliverRequest(descriptor, generation); },
                              Qt::QueuedConnection);
}

void SocketComponent::deliverRequest(qintptr descriptor, quint64 generation)
{
    // A request that arrives after listening ended is never seen.
    if (m_state != Listening || generation != m_listenGeneration || descriptor > std::numeric_limits<qint32>::max()) {
        dropRaisedRequest(descriptor);
        return;
    }
    const QHostAddress peer = net::peerOf(int(descriptor));
    const bool allowed = m_allowedPeers.isEmpty()
        || std::any_of(m_allowedPeers.cbegin(), m_allowedPeers.cend(), [&](const QPair<QHostAddress, int> &net) {
               return peer.isInSubnet(net.first, net.second); // IPv4 peers are matched as IPv4
           });
    if (!allowed) {
        dropRaisedRequest(descriptor);
        emit requestRefused(net::text(peer));
        return;
    }
    if (m_provider && m_provider->inspectsAccepted() && m_admissions) {
        takeRaisedRequest(descriptor); // the pool's until it is set up
        m_admissions->admit(int(descriptor), net::text(peer), *m_provider);
        return;
    }
    offerRequest(descriptor);
}

void SocketComponent::offerRequest(qintptr descriptor)
{
    emit connectionRequest(qint32(descriptor));
    dropRaisedRequest(descriptor); // Closed unless a handler accepted it.
}

void SocketComponent::setAllowedPeers(const QList<QPair<QHostAddress, int>> &networks)
{
    m_allowedPeers = networks;
}

void SocketComponent::setSetupLimitMsec(int msec)
{
    m_setupLimitMsec = msec;
}

void SocketComponent::Accept(qint32 requestID)
{
    requireClosed();
    const std::optional<RaisedRequest> request = takeRaisedRequest(requestID);
    if (!request)
        raiseError(NotSocket, errorDescription(NotSocket));
    if (request->stream) {
        configure(requestID);
        adopt(request->stream, true);
        return;
    }
    int type = 0;
    socklen_t length = sizeof type;
    if (::getsockopt(requestID, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_STREAM) {
        ::close(requestID);
        raiseError(NotSocket, errorDescription(NotSocket));
    }
    configure(requestID);
    if (!request->inspected && m_provider && m_provider->inspectsAccepted())
        setUpHere(requestID);
    else
        adopt(new Connection(requestID), false);
}

void SocketComponent::setUpHere(int descriptor)
{
    // Raised by a listener that did not look at it: set up here the same way, on its own.
    m_admissions = new PendingAdmissions(m_setupLimitMsec, this);
    m_admissions->raise = [this](qintptr d) {
        dropAdmissions();
        if (const std::optional<RaisedRequest> request = takeRaisedRequest(d))
            adopt(request->stream ? request->stream : new Connection(int(d)), request->stream != nullptr);
    };
    m_admissions->failed = [this](const QString &, const QString &why) {
        dropAdmissions();
        m_state = Error;
        raiseNotification(ConnectionAborted, why);
    };
    m_state = ConnectionPending;
    m_admissions->admit(descriptor, m_peerIP, *m_provider);
}

void SocketComponent::adopt(Transport *stream, bool setUpBefore)
{
    attach(stream);
    m_state = Connected;
    // Raised from the event loop, once the accepting handler has returned.
    QMetaObject::invokeMethod(this, [this, setUpBefore, connection = QPointer<Transport>(m_connection)] {
        if (!connection || connection != m_connection)
            return;
        const QPointer<SocketComponent> self(this);
        emit connected();
        // Bytes a stream took in while it got ready are announced like any later ones.
        if (self && setUpBefore && m_connection && m_connection == connection && m_connection->waiting() > 0) {
            m_connection->watchReadable(false);
            m_recheck->start(0);
        }
    }, Qt::QueuedConnection);
}

void SocketComponent::dropAdmissions()
{
    if (PendingAdmissions *admissions = std::exchange(m_admissions, nullptr)) {
        admissions->closeAll();
        admissions->deleteLater(); // it may be at work further up the stack
    }
}

void SocketComponent::configure(int descriptor)
{
    configureSocket(descriptor);
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    if (::getsockname(descriptor, reinterpret_cast<sockaddr *>(&storage), &length) == 0)
        m_boundPort = ntohs(reinterpret_cast<sockaddr_in *>(&storage)->sin_port); // same place for IPv6
    length = sizeof storage;
    if (::getpeername(descriptor, reinterpret_cast<sockaddr *>(&storage), &length) == 0) {
        m_peerIP = net::text(net::fromSocketAddress(reinterpret_cast<sockaddr *>(&storage)));
        m_peerPort = ntohs(reinterpret_cast<sockaddr_in *>(&storage)->sin_port);
    }
}

void SocketComponent::Close()
{
    if (m_server) {
        m_server->close();
        m_server->onIncoming = [](qintptr d) { ::close(int(d)); };
        m_server->deleteLater();
        m_server = nullptr;
    }
    ++m_listenGeneration;
    ++m_connectAttempt;
    if (m_lookupId >= 0)
        QHostInfo::abortHostLookup(std::exchange(m_lookupId, -1));
    stopDialing();
    dropAdmissions();
    detachConnection();
    m_state = Closed;
}

} // namespace platform
