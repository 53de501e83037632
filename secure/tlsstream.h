#pragma once
// One connection to a peer of ours through TLS 1.3, driven by the event loop on the
// connection's own non-blocking descriptor: the handshake, the hellos, the peer's
// authentication (its pin, or a pairing run), then control messages and file bytes as frames.
// Nothing blocks: OpenSSL's wants map to the descriptor's notifiers.

#include "framecodec.h"
#include "pairing.h"
#include "recordcipher.h"
#include "transport.h"

#include <QByteArray>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <deque>
#include <memory>

typedef struct ssl_st SSL;

namespace secure {

class SecureConnector;

class TlsStream : public platform::Transport
{
public:
    enum class Role { Connecting, Accepting };

    /// The handshake, hellos and authentication must be done within this.
    static constexpr int SetupMsec = 10000;

    /// Takes over `descriptor`, a connected socket.
    TlsStream(int descriptor, Role role, SecureConnector &connector);
    ~TlsStream() override;

    // platform::Transport
    qint64 queued() const override;
    qint64 waiting() const override;
    qint64 unacknowledged() const override;
    qint64 read(char *into, qint64 count) override;
    int closeReason() const override;
    qint64 receiveToFile(int file, qint64 offset, qint64 maxBytes, int &systemError) override;
    void send(const QByteArray &bytes) override;
    qint64 sendFile(int file, qint64 offset, qint64 count, std::optional<platform::AutomationError> &failure) override;
    void closeWhenDrained() override;
    void watchReadable(bool on) override;
    bool isReady() const override { return m_phase == Phase::Ready; }
    bool framed() const override { return true; }
    bool nextIsControl() const override;
    void sendStop() override;

    /// True when the kernel encrypts what this stream sends (kTLS), so file bytes go from the
    /// file to the network without passing through this process.
    bool kernelSends() const;

    /// Takes the traffic secrets OpenSSL logs for `ssl` while the handshake runs (its key log).
    static void keyLogged(const SSL *ssl, const char *line);

private:
    enum class Phase { Handshake, Hello, Authenticate, Ready, Failed };
    enum PairingStep : quint8 { Resume = 1, Start = 2, Reply = 3, Confirm = 4, Welcome = 5, Refused = 6 };
    struct Pending
    {
        QByteArray bytes;   ///< a whole frame, when no file
        qsizetype sent = 0;
        int file = -1;      ///< our own duplicate of the file's descriptor
        qint64 offset = 0;  ///< next byte of the file to read
        qint64 left = 0;    ///< bytes of the file still to read
    };

    void pump();
    void handshake();
    void fill();
    void parseFront();
    void flush();
    void queueFrame(frame::Type type, const QByteArray &payload);
    void onSetupFrame(frame::Type type, const QByteArray &payload);
    void onPairing(const QByteArray &payload);
    PairingRun::Binding binding() const;
    void sendPairing(PairingStep step, const QList<QByteArray> &fields);
    void becomeReady(bool pairedNow);
    void giveUp(const QString &why);
    qsizetype buffered() const { return m_inEnd - m_inPos; }
    const char *front() const { return m_in.constData() + m_inPos; }
    void consume(qsizetype count);
    void tellOwner();
    /// Drops the front file range and tells the owner why: the file ended before its count
    /// (62), or reading it failed (75, with errno's reason).
    void cutRange(bool fileEnded);
    void finishClosing();
    /// Once the handshake is done: records are sealed and opened here where the suite allows
    /// and the kernel does not (kTLS); otherwise OpenSSL's record layer goes on, batched.
    void takeOverRecords();
    void batchWrites();
    /// Sends what the write batch holds; false while the socket takes no more (or it failed).
    bool pushBatch();
    /// Record bytes written and not yet handed to the socket.
    qint64 pendingRecords() const;
    /// Writes plaintext into the stream: the bytes taken (at most one record's), or 0 when the
    /// socket takes no more for now or writing failed (both handled).
    qsizetype writePlain(const char *data, qsizetype size);
    /// Reads plaintext from the stream into `into` (room for `room`, at least a record's): the
    /// bytes read, or 0 when there are none for now, the peer closed or reading failed (the
    /// last two noted in m_peerClosed and m_error).
    qsizetype readPlain(char *into, qsizetype room);
    qsizetype openRecords(char *into, qsizetype room);
    /// OpenSSL could not go on: waits for what it wants, or fails the writing side.
    void waitForOpenSsl(int result);
    void sendCloseNotify();
    /// Hands the sealed records to the socket: 0 once all went, else errno (EAGAIN for later).
    int sendSealed();
    void failWriting(int error);
    /// Sends the front file's next bytes where the kernel encrypts; false while the socket takes
    /// no more (or it failed).
    bool sendThroughKernel(Pending &p);

    int m_fd;
    Role m_role;
    SecureConnector &m_connector;
    QPointer<SecureConnector> m_alive; ///< null once the connector is gone
    SSL *m_ssl = nullptr;
    QSocketNotifier m_readNotifier;
    QSocketNotifier m_writeNotifier;
    QTimer m_deadline;
    Phase m_phase = Phase::Handshake;
    QByteArray m_peerFingerprint;
    QString m_peerName;
    QByteArray m_exported;
    PairingRun m_pairingRun;
    bool m_pairingNow = false;  ///< connecting side: this connection pairs
    bool m_pairingOpen = false; ///< accepting side: a run started and has not confirmed
    QString m_pairingName;      ///< the name the peer paired under

    QByteArray m_in;        ///< plaintext received: bytes m_inPos to m_inEnd are not yet taken
    qsizetype m_inPos = 0;
    qsizetype m_inEnd = 0;
    qint64 m_dataLeft = 0;  ///< bytes of the current data frame still to take
    bool m_peerClosed = false;
    int m_error = 0;
    bool m_watching = true; ///< the owner wants readable() (as a new plain connection does)

    std::deque<Pending> m_queue;
    qint64 m_queued = 0;
    QByteArray m_chunk;     ///< a data frame being written: header and file bytes
    qsizetype m_chunkSent = 0;
    bool m_closing = false;
    bool m_kernelSends = false; ///< kTLS: file bytes go by sendfile
    qint64 m_kernelLeft = 0;    ///< file bytes of the current data frame still to go
    qint64 m_chunkFileBytes = 0; ///< of m_chunk, bytes read from the file (the rest a header)
    bool m_kernelRefused = false; ///< the front file's file system gives sendfile nothing

    // The traffic secrets of the handshake's key log, each side's, until records are taken over.
    QByteArray m_clientSecret;
    QByteArray m_serverSecret;
    std::unique_ptr<RecordCipher> m_sealer; ///< seals the records written (else OpenSSL does)
    std::unique_ptr<RecordCipher> m_opener; ///< opens the records read (else OpenSSL does)
    QByteArray m_sealed;        ///< records sealed: bytes m_sealedSent to m_sealedEnd are unsent
    qsizetype m_sealedSent = 0;
    qsizetype m_sealedEnd = 0;
    bool m_keyUpdateAsked = false; ///< the peer renewed its keys and asked us to renew ours
    QByteArray m_raw;           ///< record bytes received: m_rawPos to m_rawEnd are unopened
    qsizetype m_rawPos = 0;
    qsizetype m_rawEnd = 0;
};

} // namespace secure
