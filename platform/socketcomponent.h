#pragma once
// One TCP endpoint with the operations, properties and notifications of the desktop
// runtime's socket component. Every notification arrives on the GUI thread.

#include "velmora_platform_export.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QVariant>

class QTcpSocket;

namespace platform {

class RequestServer;

/// A TCP endpoint: connect, listen, accept, send and fetch, with notifications.
class VELMORA_PLATFORM_EXPORT SocketComponent : public QObject
{
    Q_OBJECT
public:
    /// Values of State().
    enum StateCode : qint16 {
        Closed = 0,
        Open = 1,
        Listening = 2,
        ConnectionPending = 3,
        ResolvingHost = 4,
        HostResolved = 5,
        Connecting = 6,
        Connected = 7,
        Closing = 8, ///< the peer closed; stays until Close()
        Error = 9,
    };

    /// Error numbers raised by operations and passed with the error notification.
    enum ErrorCode : qint32 {
        InvalidPropertyValue = 380,
        WrongProtocolOrState = 40006,
        InvalidOperation = 40020,
        PermissionDenied = 10013,
        NotSocket = 10038,
        AddressInUse = 10048,
        AddressNotAvailable = 10049,
        ConnectionAborted = 10053,
        ConnectionReset = 10054,
        TimedOut = 10060,
        ConnectionRefused = 10061,
        HostNotFound = 11001,
    };

    explicit SocketComponent(QObject *parent = nullptr);
    ~SocketComponent() override;

    /// The English description of a socket error number.
    static QString errorDescription(qint32 number);

    /// Starts connecting to `remoteHost`:`remotePort`; an omitted (invalid) argument uses the
    /// current property. 40020 unless closed. The outcome arrives as State() or error().
    void Connect(const QVariant &remoteHost = QVariant(), const QVariant &remotePort = QVariant());
    /// Waits for connection requests on LocalPort (0 = an ephemeral port). 40020 unless closed.
    void Listen();
    /// Adopts the pending connection `requestID` (from any component's connectionRequest).
    void Accept(qint32 requestID);
    /// Ends listening or the connection; data already queued is still delivered to the peer.
    void Close();
    /// Queues the text in the wire encoding (conversions.h); 40006 unless connected.
    void SendData(const QString &text);
    /// Queues the bytes unchanged; 40006 unless connected.
    void SendData(const QByteArray &bytes);
    /// Moves every byte waiting into `data`.
    void GetData(QByteArray &data);

    qint16 State() const { return m_state; }
    qint32 LocalPort() const;
    void setLocalPort(qint32 port);
    QString RemoteHost() const { return m_remoteHost; }
    void setRemoteHost(const QString &host);
    qint32 RemotePort() const;
    void setRemotePort(qint32 port);
    QString LocalIP() const;
    QString LocalHostName() const;
    QString RemoteHostIP() const;
    /// Bytes received and not yet fetched.
    qint64 BytesReceived() const;
    /// Bytes queued by SendData and not yet handed to the network.
    qint64 bytesToWrite() const;
    /// Bytes sent that the peer has not yet taken: those queued here plus those still in the
    /// system's send queue (sent but not acknowledged). 0 when there is no connection.
    qint64 bytesNotYetDelivered() const;

signals:
    /// A peer asks to connect; accept it inside the handler or it is closed.
    void connectionRequest(qint32 requestID);
    /// Bytes arrived; `bytesTotal` is the count waiting. Never raised inside its own handler:
    /// bytes that arrive meanwhile, or that the handler leaves after fetching, are announced
    /// again once the handler has returned.
    void dataArrival(qint32 bytesTotal);
    /// The peer closed the connection.
    void closed();
    /// Everything queued has been handed to the network.
    void sendComplete();
    /// A failure after the fact (refused, reset, ...). A handler may change `description`
    /// and set `cancelDisplay`; when it stays false the error is logged.
    void error(qint16 number, QString &description, qint32 scode, const QString &source,
               const QString &helpFile, qint32 helpContext, bool &cancelDisplay);

private:
    void requireClosed() const;
    void adopt(QTcpSocket *socket);
    void detachSocket();
    void onIncoming(qintptr descriptor);
    void deliverRequest(qintptr descriptor, quint64 generation);
    void onReadyRead();
    void announceAgainLater();
    void onDisconnected();
    void onSocketError(int socketError);
    void onBytesWritten();
    void raiseNotification(qint32 number);

    QTcpSocket *m_socket = nullptr;
    RequestServer *m_server = nullptr;
    qint16 m_state = Closed;
    qint32 m_localPort = 0;
    qint32 m_remotePort = 0;
    QString m_remoteHost;
    quint64 m_listenGeneration = 0;
    bool m_inArrival = false;       ///< a dataArrival handler is running
    bool m_arrivedMeanwhile = false; ///< bytes came while it ran
    bool m_announceQueued = false;  ///< a later announcement is already on its way
    qint64 m_fetched = 0;           ///< bytes GetData has moved out, to tell a handler that read
};

} // namespace platform
