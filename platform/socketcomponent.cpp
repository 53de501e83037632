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
