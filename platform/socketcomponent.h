#pragma once
// One TCP endpoint with the operations, properties and notifications of the desktop
// runtime's socket component. Every notification arrives on the GUI thread.

#include "transport.h"
#include "velmora_platform_export.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QObject>
#include <QString>
#include <QVariant>

#include <vector>

class QSocketNotifier;
class QTimer;

namespace platform {

class PendingAdmissions;
class RequestServer;
class TransportProvider;

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
    ///
    /// A host with several addresses is connected to as RFC 8305 says: IPv6 first and the
    /// families in turn, the next address 250 ms after the one before unless that one failed
    /// sooner, and the first connection made is kept (the others are closed).
    void Connect(const QVariant &remoteHost = QVariant(), const QVariant &remotePort = QVariant());
    /// Connect() to the first of `addresses` that answers on `port`, tried the same way (the
    /// addresses a peer announced, say). RemoteHost becomes the first of them.
    void connectToAny(const QList<QHostAddress> &addresses, qint32 port);
    /// Waits for connection requests on LocalPort (0 = an ephemeral port). 40020 unless closed.
    /// With a TransportProvider that inspects accepted connections, each connection is set up
    /// first (its peer's first bytes looked at, its stream made ready), many at the same time,
    /// and raised as connectionRequest only once set up, so that no peer holds the listener.
    /// At most 64 connections are set up at once, 8 from one address: past that the oldest of
    /// the address with the most goes. One that fails, or is not set up within the setup limit,
    /// is closed and reported by admissionFailed.
    void Listen();
    /// Adopts the pending connection `requestID` (from any component's connectionRequest); a
    /// connection whose stream was made ready while listening is connected with that stream.
    void Accept(qint32 requestID);
    /// Who may connect while this endpoint listens: networks, as an address and a prefix length.
    /// A peer's address counts as IPv4 (the endpoint listens on IPv4), so an IPv4 network is
    /// given as one; an IPv6 network holds no peer. Empty, as a new
    /// component has it: anyone. A request from another address is closed at once, never raised
    /// as connectionRequest, and reported by requestRefused; listening goes on.
    void setAllowedPeers(const QList<QPair<QHostAddress, int>> &networks);
    /// Who chooses the stream of each connection from now on (null, as a new component has it:
    /// the plain one always). While listening, it sets connections up before they are raised
    /// (see Listen). A connection this endpoint makes whose stream must get ready first (a
    /// handshake) reads Connecting until it is ready and connected() comes, and a request
    /// raised by a listener that did not inspect it reads ConnectionPending while it is set up
    /// here; a stream that gives up, or a peer the provider refuses, raises error() 10053 with
    /// its reason.
    void setTransportProvider(TransportProvider *provider);
    /// How long a connection may take to be set up before it is closed
    /// (TransportProvider::SetupMsec, as a new component has it); for the next Listen or Accept.
    void setSetupLimitMsec(int msec);
    /// True while the connection's stream marks where each control message ends.
    bool isFramed() const { return m_connection && m_connection->framed(); }
    /// On a framed connection: the arrival being announced is one whole control message (else
    /// file bytes).
    bool arrivalIsControl() const { return m_connection && m_connection->nextIsControl(); }
    /// Tells the peer this side stopped the send it was making, where the stream can.
    void sendStop();
    /// Ends listening or the connection; data already queued is still delivered to the peer.
    void Close();
    /// Queues the text in the wire encoding (conversions.h); 40006 unless connected.
    void SendData(const QString &text);
    /// Queues the bytes unchanged; 40006 unless connected.
    void SendData(const QByteArray &bytes);
    /// Moves every byte waiting into `data` (the count announced by the arrival in progress;
    /// at most 4 MiB at once), read from the network straight into its storage.
    void GetData(QByteArray &data);
    /// Queues `count` bytes of the open file `fileDescriptor`, from `offset`, behind everything
    /// queued before; they go from the file to the network with sendfile(2), never through this
    /// process's memory. Returns the bytes of the range handed to the network at once; the rest
    /// follows as the peer takes it (counted in bytesToWrite(), failures reported by
    /// sendFailed()). The descriptor is duplicated, so the caller may close its file at once.
    /// 40006 unless connected; 52 for a descriptor that is not an open regular file; 62 when the
    /// file holds fewer bytes; 75 (with the system's reason) when it cannot be read.
    qint64 sendFileRange(int fileDescriptor, qint64 offset, qint64 count);
    /// Moves up to `maxBytes` of the bytes waiting straight into the file `fileDescriptor` at
    /// `offset` (splice(2) through a pipe, no copy in this process); the file's own position
    /// is not used. Returns the count moved (0 when none waits). Bytes past `maxBytes` stay
    /// waiting and are announced as an arrival of their own. 40006 when there is no
    /// connection; 75 (with the system's reason) when the file cannot take the bytes, which
    /// are then lost.
    qint64 receiveToFile(int fileDescriptor, qint64 offset, qint64 maxBytes);

    qint16 State() const { return m_state; }
    /// The stream of the connection, or null without one (what kind it is, for hosts that
    /// handed the component a TransportProvider).
    const Transport *transport() const { return m_connection; }
    Transport *transport() { return m_connection; }
    qint32 LocalPort() const;
    void setLocalPort(qint32 port);
    /// The address Listen() binds to: by default any of either family, on one socket (an IPv4
    /// peer is then shown and matched as IPv4). Only while closed.
    QHostAddress localAddress() const { return m_localAddress; }
    void setLocalAddress(const QHostAddress &address);
    QString RemoteHost() const { return m_remoteHost; }
    void setRemoteHost(const QString &host);
    qint32 RemotePort() const;
    void setRemotePort(qint32 port);
    QString LocalIP() const;
    QString LocalHostName() const;
    QString RemoteHostIP() const;
    /// Bytes received and not yet fetched.
    qint64 BytesReceived() const;
    /// Bytes queued by SendData or sendFileRange and not yet handed to the network.
    qint64 bytesToWrite() const;
    /// On a framed stream, arrivals that a handler takes whole follow each other in one pass of
    /// the event loop; a handler that has told its own host something (which may answer from
    /// the event loop) ends the pass, so that the next arrival comes after that answer.
    void endArrivalPass() { m_passEnded = true; }
    /// Bytes sent that the peer has not yet taken: those queued here plus those still in the
    /// system's send queue (sent but not acknowledged). 0 when there is no connection.
    qint64 bytesNotYetDelivered() const;

signals:
    /// A peer asks to connect (with an inspecting TransportProvider, once its connection is set
    /// up); accept it inside the handler or it is closed.
    void connectionRequest(qint32 requestID);
    /// The connection is up: a Connect() got through, or Accept() adopted a request (then
    /// raised from the event loop, once the accepting handler has returned).
    void connected();
    /// A connection request from `address`, which setAllowedPeers does not allow, was closed.
    void requestRefused(const QString &address);
    /// A connection from `address` that this listener was setting up was closed before it was
    /// raised, and why (the provider refused the peer, its stream gave up, too many connections
    /// from one address, or it was not set up in time). Never raised as error(): listening goes on.
    void admissionFailed(const QString &address, const QString &why);
    /// Bytes arrived; `bytesTotal` is the count waiting. Never raised inside its own handler:
    /// bytes that arrive meanwhile, or that the handler leaves after fetching, are announced
    /// again once the handler has returned.
    void dataArrival(qint32 bytesTotal);
    /// The peer closed the connection.
    void closed();
    /// Everything queued has been handed to the network.
    void sendComplete();
    /// The rest of a file range queued by sendFileRange could not be sent (the file shrank or
    /// failed to read) and was dropped; `number` is 62 or 75.
    void sendFailed(qint32 number, const QString &description);
    /// The peer stopped the send it was making (a framed connection's notice).
    void peerStopped();
    /// A failure after the fact (refused, reset, ...). A handler may change `description`
    /// and set `cancelDisplay`; when it stays false the error is logged.
    void error(qint16 number, QString &description, qint32 scode, const QString &source,
               const QString &helpFile, qint32 helpContext, bool &cancelDisplay);

private:
    void requireClosed() const;
    void requireConnected() const;
    void configure(int descriptor);
    void adopt(Transport *stream, bool setUpBefore);
    void attach(Transport *transport);
    void detachConnection();
    void onIncoming(qintptr descriptor);
    void deliverRequest(qintptr descriptor, quint64 generation);
    void offerRequest(qintptr descriptor);
    void setUpHere(int descriptor);
    void dropAdmissions();
    void onLookedUp(const QList<QHostAddress> &addresses, quint64 attempt);
    void dialNext(quint64 attempt);
    void onConnectProgress(quint64 attempt, int descriptor);
    void stopDialing();
    void onReadable();
    void announce(qint64 waiting);
    void afterArrival();
    void onRecheck();
    void noteConsumed(qint64 count);
    void onPeerClosed();
    void onConnectionFailed(int systemError);
    void raiseNotification(qint32 number);
    void raiseNotification(qint32 number, QString description);

    Transport *m_connection = nullptr;
    TransportProvider *m_provider = nullptr;
    // Connections being set up: the listener's, or the one Accept takes.
    PendingAdmissions *m_admissions = nullptr;
    int m_setupLimitMsec;
    RequestServer *m_server = nullptr;
    qint16 m_state = Closed;
    qint32 m_localPort = 0;
    QHostAddress m_localAddress = QHostAddress::Any;
    qint32 m_remotePort = 0;
    QString m_remoteHost;
    quint64 m_listenGeneration = 0;
    QList<QPair<QHostAddress, int>> m_allowedPeers;
    // Connecting: the addresses still to try and the descriptor being connected.
    quint64 m_connectAttempt = 0;
    int m_lookupId = -1;
    QList<QHostAddress> m_candidates;
    struct Dialing
    {
        int descriptor;
        QSocketNotifier *notifier;
    };
    std::vector<Dialing> m_dialing; ///< connections being made: the first to complete is kept
    QTimer *m_nextDial = nullptr;   ///< starts the next address while the earlier ones still try
    int m_lastDialError = 0;
    // The connected endpoint's addresses, kept from when it connected.
    qint32 m_boundPort = 0;
    qint32 m_peerPort = 0;
    QString m_peerIP;
    // Arrivals: bytes announced and not yet fetched, and whether the owner took any since.
    qint64 m_announced = 0;
    bool m_consumed = false;
    bool m_passEnded = false;
    qint64 m_lastWaiting = 0;
    QTimer *m_recheck = nullptr;
    QTimer *m_drained = nullptr;
};

} // namespace platform
