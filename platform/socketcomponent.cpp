#include "socketcomponent.h"

#include "automation.h"
#include "conversions.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkInterface>
#include <QPointer>
#include <QSet>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <functional>
#include <limits>

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <unistd.h>

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

constexpr qint64 ReadBufferBytes = 4 * 1024 * 1024;

// Accepted connections not yet adopted, shared by every component of the process so that
// one component can accept a request raised by another.
QSet<qintptr> &pendingRequests()
{
    static QSet<qintptr> requests;
    return requests;
}

void dropRequest(qintptr descriptor)
{
    if (pendingRequests().remove(descriptor))
        ::close(int(descriptor));
}

qint32 mapSocketError(QAbstractSocket::SocketError e)
{
    switch (e) {
    case QAbstractSocket::ConnectionRefusedError:
        return SocketComponent::ConnectionRefused;
    case QAbstractSocket::HostNotFoundError:
        return SocketComponent::HostNotFound;
    case QAbstractSocket::SocketTimeoutError:
        return SocketComponent::TimedOut;
    case QAbstractSocket::RemoteHostClosedError:
        return SocketComponent::ConnectionReset;
    case QAbstractSocket::AddressInUseError:
        return SocketComponent::AddressInUse;
    case QAbstractSocket::SocketAddressNotAvailableError:
        return SocketComponent::AddressNotAvailable;
    case QAbstractSocket::SocketAccessError:
        return SocketComponent::PermissionDenied;
    default:
        return SocketComponent::ConnectionAborted;
    }
}

void checkPort(qint32 port)
{
    if (port < 0 || port > 65535)
        raiseError(SocketComponent::InvalidPropertyValue, SocketComponent::errorDescription(SocketComponent::InvalidPropertyValue));
}

} // namespace

SocketComponent::SocketComponent(QObject *parent)
    : QObject(parent)
{
}

SocketComponent::~SocketComponent()
{
    Close();
}

QString SocketComponent::errorDescription(qint32 number)
{
    switch (number) {
    case InvalidPropertyValue:
        return QStringLiteral("Invalid property value");
    case WrongProtocolOrState:
        return QStringLiteral("Wrong protocol or connection state for the requested transaction or request");
    case InvalidOperation:
        return QStringLiteral("Invalid operation at current state");
    case PermissionDenied:
        return QStringLiteral("Permission denied");
    case NotSocket:
        return QStringLiteral("Descriptor is not a socket");
    case AddressInUse:
        return QStringLiteral("Address in use");
    case AddressNotAvailable:
        return QStringLiteral("Address not available from the local machine");
    case ConnectionAborted:
        return QStringLiteral("Connection is aborted due to timeout or other failure");
    case ConnectionReset:
        return QStringLiteral("Connection is reset by remote side");
    case TimedOut:
        return QStringLiteral("Connection timed out");
    case ConnectionRefused:
        return QStringLiteral("Connection is forcefully rejected");
    case HostNotFound:
        return QStringLiteral("Host not found");
    default:
        return standardErrorDescription(number);
    }
}

void SocketComponent::requireClosed() const
{
    if (m_state != Closed)
        raiseError(InvalidOperation, errorDescription(InvalidOperation));
}

void SocketComponent::Connect(const QVariant &remoteHost, const QVariant &remotePort)
{
    requireClosed();
    if (!isOmitted(remoteHost))
        setRemoteHost(toString(remoteHost));
    if (!isOmitted(remotePort))
        setRemotePort(toInt32(remotePort));
    auto *socket = new QTcpSocket(this);
    adopt(socket);
    m_state = ResolvingHost;
    socket->connectToHost(m_remoteHost, quint16(m_remotePort));
}

void SocketComponent::Listen()
{
    requireClosed();
    auto *server = new RequestServer;
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
    m_state = Listening;
}

void SocketComponent::onIncoming(qintptr descriptor)
{
    pendingRequests().insert(descriptor);
    // Delivered from the event loop, so a handler may close the server that raised it.
    const quint64 generation = m_listenGeneration;
    QMetaObject::invokeMethod(this, [this, descriptor, generation] { deliverRequest(descriptor, generation); },
                              Qt::QueuedConnection);
}

void SocketComponent::deliverRequest(qintptr descriptor, quint64 generation)
{
    // A request that arrives after listening ended is never seen.
    if (m_state == Listening && generation == m_listenGeneration && descriptor <= std::numeric_limits<qint32>::max())
        emit connectionRequest(qint32(descriptor));
    dropRequest(descriptor); // Closed unless a handler accepted it.
}

void SocketComponent::Accept(qint32 requestID)
{
    requireClosed();
    if (!pendingRequests().contains(requestID))
        raiseError(NotSocket, errorDescription(NotSocket));
    auto *socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(requestID)) {
        delete socket;
        dropRequest(requestID);
        raiseError(NotSocket, errorDescription(NotSocket));
    }
    pendingRequests().remove(requestID);
    adopt(socket);
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_state = Connected;
    // Bytes that came with the connection are announced like any later ones.
    if (socket->bytesAvailable() > 0)
        QMetaObject::invokeMethod(this, [this, s = QPointer<QTcpSocket>(socket)] {
            if (s && s == m_socket)
                onReadyRead();
        }, Qt::QueuedConnection);
}

void SocketComponent::adopt(QTcpSocket *socket)
{
    m_socket = socket;
    // Bytes wait in the kernel, not here, when the owner falls behind: memory stays bounded.
    socket->setReadBufferSize(ReadBufferBytes);
    connect(socket, &QTcpSocket::readyRead, this, &SocketComponent::onReadyRead);
    connect(socket, &QTcpSocket::disconnected, this, &SocketComponent::onDisconnected);
    connect(socket, &QTcpSocket::bytesWritten, this, &SocketComponent::onBytesWritten);
    connect(socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError e) { onSocketError(e); });
    connect(socket, &QTcpSocket::stateChanged, this, [this](QAbstractSocket::SocketState s) {
        switch (s) {
        case QAbstractSocket::HostLookupState:
            m_state = ResolvingHost;
            break;
        case QAbstractSocket::ConnectingState:
            m_state = Connecting;
            break;
        case QAbstractSocket::ConnectedState:
            m_state = Connected;
            m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            break;
        case QAbstractSocket::UnconnectedState:
        case QAbstractSocket::BoundState:
        case QAbstractSocket::ListeningState:
        case QAbstractSocket::ClosingState:
            break;
        }
    });
}

void SocketComponent::detachSocket()
{
    QTcpSocket *socket = m_socket;
    m_socket = nullptr;
    if (!socket)
        return;
    socket->disconnect(this);
    // It outlives us while it delivers what is queued; the application still owns it, so a
    // program that ends meanwhile frees it rather than leaking it.
    socket->setParent(QCoreApplication::instance());
    // Queued bytes still go out: the socket closes itself once they are written.
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QTcpSocket::errorOccurred, socket, &QObject::deleteLater);
    socket->disconnectFromHost();
    if (socket->state() == QAbstractSocket::UnconnectedState)
        socket->deleteLater();
    else
        QTimer::singleShot(60000, socket, [socket] { socket->abort(); socket->deleteLater(); });
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
    detachSocket();
    m_state = Closed;
}

void SocketComponent::SendData(const QString &text)
{
    SendData(toWireBytes(text));
}

void SocketComponent::SendData(const QByteArray &bytes)
{
    if (m_state != Connected || !m_socket)
        raiseError(WrongProtocolOrState, errorDescription(WrongProtocolOrState));
    if (bytes.isEmpty())
        return;
    if (m_socket->write(bytes) != bytes.size())
        raiseError(ConnectionAborted, errorDescription(ConnectionAborted));
    m_socket->flush(); // hand to the network now, as far as it takes without waiting
}

void SocketComponent::GetData(QByteArray &data)
{
    if (!m_socket) {
        data.clear();
        if (m_state != Closed)
            return;
        raiseError(WrongProtocolOrState, errorDescription(WrongProtocolOrState));
    }
    // Read into the caller's array so that its storage is reused from one arrival to the next.
    const qint64 waiting = m_socket->bytesAvailable();
    data.resize(waiting);
    const qint64 got = waiting > 0 ? m_socket->read(data.data(), waiting) : 0;
    data.resize(qMax<qint64>(got, 0));
    m_fetched += data.size();
}

qint32 SocketComponent::LocalPort() const
{
    if (m_socket && (m_state == Connected || m_state == Closing))
        return m_socket->localPort();
    return m_localPort;
}

void SocketComponent::setLocalPort(qint32 port)
{
    requireClosed();
    checkPort(port);
    m_localPort = port;
}

void SocketComponent::setRemoteHost(const QString &host)
{
    m_remoteHost = host;
}

qint32 SocketComponent::RemotePort() const
{
    if (m_socket && (m_state == Connected || m_state == Closing))
        return m_socket->peerPort();
    return m_remotePort;
}

void SocketComponent::setRemotePort(qint32 port)
{
    requireClosed();
    checkPort(port);
    m_remotePort = port;
}

QString SocketComponent::LocalIP() const
{
    static const QString ip = [] {
        for (const QHostAddress &a : QNetworkInterface::allAddresses())
            if (a.protocol() == QAbstractSocket::IPv4Protocol && !a.isLoopback())
                return a.toString();
        return QStringLiteral("127.0.0.1");
    }();
    return ip;
}

QString SocketComponent::LocalHostName() const
{
    return QHostInfo::localHostName();
}

QString SocketComponent::RemoteHostIP() const
{
    if (!m_socket)
        return QString();
    QHostAddress a = m_socket->peerAddress();
    bool isV4 = false;
    const quint32 v4 = a.toIPv4Address(&isV4);
    if (isV4)
        a = QHostAddress(v4);
    return a.isNull() ? QString() : a.toString();
}

qint64 SocketComponent::BytesReceived() const
{
    return m_socket ? m_socket->bytesAvailable() : 0;
}

qint64 SocketComponent::bytesToWrite() const
{
    return m_socket ? m_socket->bytesToWrite() : 0;
}

qint64 SocketComponent::bytesNotYetDelivered() const
{
    if (!m_socket)
        return 0;
    int queued = 0;
    const qintptr fd = m_socket->socketDescriptor();
    if (fd < 0 || ::ioctl(int(fd), SIOCOUTQ, &queued) != 0)
        queued = 0;
    return m_socket->bytesToWrite() + qMax(queued, 0);
}

void SocketComponent::onReadyRead()
{
    if (!m_socket)
        return;
    if (m_inArrival) {
        // A handler that runs an event loop of its own is not entered again; told afterwards.
        m_arrivedMeanwhile = true;
        return;
    }
    const qint64 waiting = m_socket->bytesAvailable();
    if (waiting <= 0)
        return;
    QPointer<QTcpSocket> socket = m_socket;
    m_inArrival = true;
    m_arrivedMeanwhile = false;
    m_fetched = 0;
    emit dataArrival(qint32(qMin<qint64>(waiting, std::numeric_limits<qint32>::max())));
    m_inArrival = false;
    // Bytes left behind after the handler fetched, or that came while it ran, are announced
    // again; a handler that fetched nothing of an unchanged count is not pestered.
    if (socket && socket == m_socket && m_socket->bytesAvailable() > 0 && (m_fetched > 0 || m_arrivedMeanwhile))
        announceAgainLater();
}

void SocketComponent::announceAgainLater()
{
    if (m_announceQueued)
        return;
    m_announceQueued = true;
    QMetaObject::invokeMethod(this, [this, s = QPointer<QTcpSocket>(m_socket)] {
        m_announceQueued = false;
        if (s && s == m_socket)
            onReadyRead();
    }, Qt::QueuedConnection);
}

void SocketComponent::onDisconnected()
{
    if (m_state == Connected) {
        m_state = Closing;
        emit closed();
    }
}

void SocketComponent::onBytesWritten()
{
    if (m_socket && m_socket->bytesToWrite() == 0)
        emit sendComplete();
}

void SocketComponent::onSocketError(int socketError)
{
    const auto e = QAbstractSocket::SocketError(socketError);
    // A peer that closes an established connection is a close, not an error.
    if (e == QAbstractSocket::RemoteHostClosedError && (m_state == Connected || m_state == Closing)) {
        onDisconnected();
        return;
    }
    m_state = Error;
    raiseNotification(mapSocketError(e));
}

void SocketComponent::raiseNotification(qint32 number)
{
    QString description = errorDescription(number);
    bool cancelDisplay = false;
    const qint32 scode = qint32(0x800A0000u | quint32(number & 0xFFFF));
    const bool fits = number >= std::numeric_limits<qint16>::min() && number <= std::numeric_limits<qint16>::max();
    emit error(qint16(fits ? number : 0), description, scode, QStringLiteral("Winsock"), QString(), 0, cancelDisplay);
    if (!cancelDisplay)
        qWarning("Socket error %d: %s", int(number), qPrintable(description));
}

} // namespace platform
