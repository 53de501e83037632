#include "socketcomponent.h"

#include "admission.h"
#include "automation.h"
#include "connection.h"
#include "transport.h"
#include "conversions.h"
#include "socketerrors.h"

#include <QCoreApplication>
#include <QHostInfo>
#include <QPointer>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <limits>
#include <optional>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {

/// A listening server that hands each accepted descriptor to a callback instead of wrapping it.
class RequestServer : public QTcpServer
{
public:
    std::function<void(qintptr)> onIncoming;

protected:
    void incomingConnection(qintptr descriptor) override { onIncoming(descriptor); }
};

namespace {

// The most bytes announced or fetched at once: the rest waits in the kernel, so memory stays
// bounded however fast the peer sends.
constexpr qint64 ReadChunkBytes = 4 * 1024 * 1024;
// How often bytes that an arrival handler left unread are looked at again.
constexpr int RecheckMsec = 20;
// On a framed stream, arrivals a handler takes whole follow each other without a trip through
// the event loop, up to this many, and this many bytes, in one pass: many small units (the
// files of a batch, say) cost no wake-up each, and nothing else waits long.
constexpr int ArrivalsPerPass = 64;
constexpr qint64 BytesPerPass = 1024 * 1024;

// An IPv4 peer of a dual-stack socket comes as ::ffff:a.b.c.d: it is a.b.c.d.
QHostAddress plainAddress(QHostAddress a)
{
    bool isV4 = false;
    const quint32 v4 = a.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4) : a;
}

QString peerText(const QHostAddress &a)
{
    return a.isNull() ? QString() : plainAddress(a).toString();
}

QHostAddress peerOf(int descriptor)
{
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    if (::getpeername(descriptor, reinterpret_cast<sockaddr *>(&storage), &length) != 0)
        return QHostAddress();
    return plainAddress(QHostAddress(reinterpret_cast<sockaddr *>(&storage)));
}

} // namespace

SocketComponent::SocketComponent(QObject *parent)
    : QObject(parent)
    , m_setupLimitMsec(TransportProvider::SetupMsec)
    , m_recheck(new QTimer(this))
    , m_drained(new QTimer(this))
{
    m_recheck->setSingleShot(true);
    connect(m_recheck, &QTimer::timeout, this, &SocketComponent::onRecheck);
    // Every time the connection has sent all it held, one notice from the event loop, however
    // many sends emptied it in one pass.
    m_drained->setSingleShot(true);
    m_drained->setInterval(0);
    connect(m_drained, &QTimer::timeout, this, [this] {
        if (m_connection && m_connection->queued() == 0)
            emit sendComplete();
    });
}

SocketComponent::~SocketComponent()
{
    Close();
}

void SocketComponent::requireClosed() const
{
    if (m_state != Closed)
        raiseError(InvalidOperation, errorDescription(InvalidOperation));
}

void SocketComponent::requireConnected() const
{
    if (m_state != Connected || !m_connection)
        raiseError(WrongProtocolOrState, errorDescription(WrongProtocolOrState));
}

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
    // An address given as digits is connected to at once; the outcome still comes later.
    const QHostAddress literal(m_remoteHost);
    if (!literal.isNull()) {
        onLookedUp({literal}, attempt);
        return;
    }
    m_lookupId = QHostInfo::lookupHost(m_remoteHost, this, [this, attempt](const QHostInfo &info) {
        m_lookupId = -1;
        onLookedUp(info.error() == QHostInfo::NoError ? info.addresses() : QList<QHostAddress>(), attempt);
    });
}

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
    m_candidates = addresses;
    connectNext(attempt);
}

void SocketComponent::connectNext(quint64 attempt)
{
    int lastError = ECONNREFUSED;
    while (!m_candidates.isEmpty()) {
        const QHostAddress address = m_candidates.takeFirst();
        sockaddr_storage storage{};
        socklen_t length = 0;
        if (address.protocol() == QAbstractSocket::IPv4Protocol) {
            auto *in = reinterpret_cast<sockaddr_in *>(&storage);
            in->sin_family = AF_INET;
            in->sin_port = htons(quint16(m_remotePort));
            in->sin_addr.s_addr = htonl(address.toIPv4Address());
            length = sizeof(sockaddr_in);
        } else if (address.protocol() == QAbstractSocket::IPv6Protocol) {
            auto *in6 = reinterpret_cast<sockaddr_in6 *>(&storage);
            in6->sin6_family = AF_INET6;
            in6->sin6_port = htons(quint16(m_remotePort));
            const Q_IPV6ADDR bytes = address.toIPv6Address();
            std::memcpy(&in6->sin6_addr, &bytes, sizeof bytes);
            in6->sin6_scope_id = address.scopeId().toUInt();
            length = sizeof(sockaddr_in6);
        } else {
            continue;
        }
        const int fd = ::socket(storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            lastError = errno;
            continue;
        }
        m_state = Connecting;
        if (::connect(fd, reinterpret_cast<sockaddr *>(&storage), length) == 0 || errno == EINPROGRESS) {
            m_connectingFd = fd;
            m_connectNotifier = new QSocketNotifier(fd, QSocketNotifier::Write, this);
            connect(m_connectNotifier, &QSocketNotifier::activated, this, [this, attempt] { onConnectProgress(attempt); });
            return;
        }
        lastError = errno;
        ::close(fd);
    }
    // Every address failed at once: the outcome is still reported from the event loop.
    QMetaObject::invokeMethod(this, [this, attempt, lastError] {
        if (attempt != m_connectAttempt)
            return;
        m_state = Error;
        raiseNotification(mapSystemError(lastError));
    }, Qt::QueuedConnection);
}

void SocketComponent::onConnectProgress(quint64 attempt)
{
    if (attempt != m_connectAttempt || m_connectingFd < 0)
        return;
    int result = 0;
    socklen_t length = sizeof result;
    if (::getsockopt(m_connectingFd, SOL_SOCKET, SO_ERROR, &result, &length) != 0)
        result = errno;
    const int fd = std::exchange(m_connectingFd, -1);
    m_connectNotifier->setEnabled(false);
    m_connectNotifier->deleteLater();
    m_connectNotifier = nullptr;
    if (result == 0) {
        configure(fd);
        Transport *stream = m_provider ? m_provider->connected(fd) : nullptr;
        attach(stream ? stream : new Connection(fd));
        if (m_connection->isReady()) {
            m_state = Connected;
            emit connected();
        }
        return;
    }
    ::close(fd);
    if (!m_candidates.isEmpty()) {
        connectNext(attempt);
        return;
    }
    m_state = Error;
    raiseNotification(mapSystemError(result));
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
    if (!server->listen(QHostAddress::AnyIPv4, quint16(m_localPort))) {
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
    const QHostAddress peer = peerOf(int(descriptor));
    const bool allowed = m_allowedPeers.isEmpty()
        || std::any_of(m_allowedPeers.cbegin(), m_allowedPeers.cend(), [&](const QPair<QHostAddress, int> &net) {
               return peer.isInSubnet(net.first, net.second); // an IPv6 network never holds an IPv4 peer
           });
    if (!allowed) {
        dropRaisedRequest(descriptor);
        emit requestRefused(peerText(peer));
        return;
    }
    if (m_provider && m_provider->inspectsAccepted() && m_admissions) {
        takeRaisedRequest(descriptor); // the pool's until it is set up
        m_admissions->admit(int(descriptor), peerText(peer), *m_provider);
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
        m_peerIP = peerText(QHostAddress(reinterpret_cast<sockaddr *>(&storage)));
        m_peerPort = ntohs(reinterpret_cast<sockaddr_in *>(&storage)->sin_port);
    }
}

void SocketComponent::attach(Transport *transport)
{
    m_announced = 0;
    m_consumed = false;
    m_lastWaiting = 0;
    m_connection = transport;
    m_connection->setParent(this);
    m_connection->readable = [this] { onReadable(); };
    // Failures of a send are reported from the event loop, never from inside the call that sent.
    const QPointer<Transport> connection(m_connection);
    m_connection->failed = [this, connection](int systemError) {
        QMetaObject::invokeMethod(this, [this, connection, systemError] {
            if (connection && connection == m_connection)
                onConnectionFailed(systemError);
        }, Qt::QueuedConnection);
    };
    m_connection->drained = [this] {
        if (!m_drained->isActive())
            m_drained->start();
    };
    m_connection->rangeFailed = [this, connection](qint32 number, const QString &description) {
        QMetaObject::invokeMethod(this, [this, connection, number, description] {
            if (connection && connection == m_connection)
                emit sendFailed(number, description);
        }, Qt::QueuedConnection);
    };
    m_connection->peerStopped = [this, connection] {
        QMetaObject::invokeMethod(this, [this, connection] {
            if (connection && connection == m_connection)
                emit peerStopped();
        }, Qt::QueuedConnection);
    };
    m_connection->ready = [this, connection] {
        QMetaObject::invokeMethod(this, [this, connection] {
            if (!connection || connection != m_connection || m_state != Connecting)
                return;
            const QPointer<SocketComponent> self(this);
            m_state = Connected;
            emit connected();
            // Bytes that came with it, or the end that followed them, are handled now that
            // the connection is reported.
            if (self && connection == m_connection) {
                m_connection->watchReadable(false);
                m_recheck->start(0);
            }
        }, Qt::QueuedConnection);
    };
    m_connection->refused = [this, connection](const QString &why) {
        QMetaObject::invokeMethod(this, [this, connection, why] {
            if (!connection || connection != m_connection)
                return;
            detachConnection();
            m_state = Error;
            raiseNotification(ConnectionAborted, why);
        }, Qt::QueuedConnection);
    };
}

void SocketComponent::setTransportProvider(TransportProvider *provider)
{
    m_provider = provider;
}

void SocketComponent::sendStop()
{
    if (m_connection && m_state == Connected)
        m_connection->sendStop();
}

void SocketComponent::detachConnection()
{
    Transport *connection = std::exchange(m_connection, nullptr);
    m_recheck->stop();
    m_drained->stop();
    m_announced = 0;
    if (!connection)
        return;
    connection->disconnect(this);
    // It outlives us while it delivers what is queued; the application still owns it, so a
    // program that ends meanwhile frees it rather than leaking it.
    connection->setParent(QCoreApplication::instance());
    // Queued bytes still go out: the connection closes itself once they are sent.
    connection->closeWhenDrained();
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
    m_candidates.clear();
    if (m_connectNotifier) {
        m_connectNotifier->setEnabled(false);
        m_connectNotifier->deleteLater();
        m_connectNotifier = nullptr;
    }
    if (m_connectingFd >= 0)
        ::close(std::exchange(m_connectingFd, -1));
    dropAdmissions();
    detachConnection();
    m_state = Closed;
}

// ---------------------------------------------------------------- sending

void SocketComponent::SendData(const QString &text)
{
    SendData(toWireBytes(text));
}

void SocketComponent::SendData(const QByteArray &bytes)
{
    requireConnected();
    if (bytes.isEmpty())
        return;
    m_connection->send(bytes); // handed to the network now, as far as it takes without waiting
}

qint64 SocketComponent::sendFileRange(int fileDescriptor, qint64 offset, qint64 count)
{
    requireConnected();
    struct stat info {};
    if (fileDescriptor < 0 || ::fstat(fileDescriptor, &info) != 0 || !S_ISREG(info.st_mode))
        raiseError(err::BadFileNameOrNumber);
    if (offset < 0 || count < 0)
        raiseError(err::InvalidCall);
    if (offset > qint64(info.st_size) || count > qint64(info.st_size) - offset)
        raiseError(err::InputPastEndOfFile);
    if (count == 0)
        return 0;
    const int file = ::fcntl(fileDescriptor, F_DUPFD_CLOEXEC, 0);
    if (file < 0)
        raiseError(err::PathFileAccessError, fileErrorText(errno));
    std::optional<AutomationError> failure;
    const qint64 sent = m_connection->sendFile(file, offset, count, failure);
    if (failure)
        throw *failure;
    return sent;
}

// ---------------------------------------------------------------- receiving

void SocketComponent::GetData(QByteArray &data)
{
    if (!m_connection) {
        data.clear();
        if (m_state != Closed)
            return;
        raiseError(WrongProtocolOrState, errorDescription(WrongProtocolOrState));
    }
    // What the arrival in progress announced, read straight into the caller's storage (reused
    // from one arrival to the next); bytes that came since wait for an announcement of their own.
    const qint64 wanted = m_announced > 0 ? m_announced : qMin(m_connection->waiting(), ReadChunkBytes);
    data.resize(wanted);
    const qint64 got = m_connection->read(data.data(), wanted);
    data.resize(got);
    noteConsumed(got);
}

qint64 SocketComponent::receiveToFile(int fileDescriptor, qint64 offset, qint64 maxBytes)
{
    if (!m_connection)
        raiseError(WrongProtocolOrState, errorDescription(WrongProtocolOrState));
    if (offset < 0 || maxBytes < 0)
        raiseError(err::InvalidCall);
    if (maxBytes == 0)
        return 0;
    int failure = 0;
    const qint64 moved = m_connection->receiveToFile(fileDescriptor, offset, maxBytes, failure);
    noteConsumed(moved);
    if (failure != 0)
        raiseError(err::PathFileAccessError, fileErrorText(failure));
    return moved;
}

void SocketComponent::noteConsumed(qint64 count)
{
    if (count <= 0)
        return;
    m_consumed = true;
    m_announced = qMax<qint64>(0, m_announced - count);
}

void SocketComponent::onReadable()
{
    // A stream that got ready and ended at once is reported connected first (its ready notice
    // is on its way from the event loop), and closed or failed after.
    if (!m_connection || m_state == Connecting)
        return;
    // No new notification until this one has been handled: a handler is never re-entered.
    m_connection->watchReadable(false);
    const qint64 waiting = m_connection->waiting();
    if (waiting > 0) {
        announce(waiting);
        return;
    }
    // Readable with nothing to read: the peer closed, the connection broke, or nothing at all.
    const int end = m_connection->closeReason();
    if (end < 0) {
        m_connection->watchReadable(true);
        return;
    }
    if (end == 0 || isPeerGone(end))
        onPeerClosed();
    else
        onConnectionFailed(end);
}

void SocketComponent::announce(qint64 waiting)
{
    const QPointer<SocketComponent> self(this);
    const QPointer<Transport> connection(m_connection);
    qint64 announcedInPass = 0;
    m_passEnded = false;
    for (int round = 0;; ++round) {
        m_announced = qMin(waiting, ReadChunkBytes);
        announcedInPass += m_announced;
        m_consumed = false;
        emit dataArrival(qint32(m_announced));
        if (!self || !connection || connection != m_connection)
            return;
        // A plain stream's arrivals are bytes as the network cut them, which a handler may join
        // by how far apart they come: each keeps a pass of its own there.
        if (!m_consumed || m_passEnded || !m_connection->framed() || round + 1 >= ArrivalsPerPass
            || announcedInPass >= BytesPerPass)
            break;
        waiting = m_connection->waiting();
        if (waiting == 0)
            break;
    }
    afterArrival();
}

void SocketComponent::afterArrival()
{
    m_announced = 0;
    const qint64 left = m_connection->waiting();
    m_lastWaiting = left;
    if (left == 0) {
        m_connection->watchReadable(true);
        return;
    }
    // Bytes that stayed or came meanwhile are announced again from the event loop: at once
    // when the handler took some, else when more arrive or some are taken.
    m_recheck->start(m_consumed ? 0 : RecheckMsec);
}

void SocketComponent::onRecheck()
{
    if (!m_connection)
        return;
    const qint64 waiting = m_connection->waiting();
    if (waiting == 0) {
        m_connection->watchReadable(true);
        return;
    }
    if (!m_consumed && waiting == m_lastWaiting) {
        m_recheck->start(RecheckMsec);
        return;
    }
    announce(waiting);
}

void SocketComponent::onPeerClosed()
{
    if (m_state == Connected) {
        m_state = Closing;
        emit closed();
    }
}

void SocketComponent::onConnectionFailed(int systemError)
{
    if (isPeerGone(systemError) && (m_state == Connected || m_state == Closing)) {
        // A reset after an established connection is a close, not an error; what the peer said
        // before it (a refusal, say) is read first, and the read side reports the close.
        if (!m_connection || m_connection->closeReason() >= 0)
            onPeerClosed();
        return;
    }
    m_state = Error;
    raiseNotification(mapSystemError(systemError));
}

qint64 SocketComponent::BytesReceived() const
{
    return m_connection ? qMin(m_connection->waiting(), ReadChunkBytes) : 0;
}

void SocketComponent::raiseNotification(qint32 number)
{
    raiseNotification(number, errorDescription(number));
}

void SocketComponent::raiseNotification(qint32 number, QString description)
{
    bool cancelDisplay = false;
    const qint32 scode = qint32(0x800A0000u | quint32(number & 0xFFFF));
    const bool fits = number >= std::numeric_limits<qint16>::min() && number <= std::numeric_limits<qint16>::max();
    emit error(qint16(fits ? number : 0), description, scode, QStringLiteral("Winsock"), QString(), 0, cancelDisplay);
    if (!cancelDisplay)
        qWarning("Socket error %d: %s", int(number), qPrintable(description));
}

} // namespace platform
