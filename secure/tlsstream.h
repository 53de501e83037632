#pragma once
// One connection to a peer of ours through TLS 1.3, driven by the event loop on the
// connection's own non-blocking descriptor: the handshake, the hellos, the peer's
// authentication (its pin, or a pairing run), then control messages and file bytes as frames.
// Nothing blocks: OpenSSL's wants map to the descriptor's notifiers.

#include "framecodec.h"
#include "pairingsession.h"
#include "recordlayer.h"
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
    bool checksFiles() const override { return (m_agreed & frame::FileChecks) != 0; }
    bool takesBatches() const override { return (m_agreed & frame::Batches) != 0; }
    void sendFileBytes(const QByteArray &bytes) override
    {
        queueFrame(frame::Type::Data, bytes);
        flushSoon();
    }
    QByteArray peerIdentity() const override { return m_phase == Phase::Ready ? m_peerFingerprint : QByteArray(); }
    Note nextNote() const override;
    void sendNote(Note note, const QByteArray &payload) override;

    /// True when the kernel encrypts what this stream sends (kTLS), so file bytes go from the
    /// file to the network without passing through this process.
    bool kernelSends() const;

    /// Takes the traffic secrets OpenSSL logs for `ssl` while the handshake runs (its key log).
    static void keyLogged(const SSL *ssl, const char *line);

    /// The pairing session once the handshake is done (null before), and the peer's fingerprint.
    const PairingSession *session() const { return m_session.get(); }
    QByteArray peerFingerprint() const { return m_peerFingerprint; }

private:
    enum class Phase { Handshake, Setup, Ready, Failed };
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
    /// The handshake is done: the records are taken over (or left to OpenSSL), and the pairing
    /// session begins with our hello.
    void startSession();
    void fill();
    /// After the owner took some: reading resumes here only where a full buffer had stopped it;
    /// otherwise the socket's own notification brings what comes.
    void fillIfStopped()
    {
        if (!m_readNotifier.isEnabled())
            fill();
    }
    void parseFront();
    void flush();
    /// Frames queued in one pass of the event loop go out together once it is over, in as few
    /// writes as they fit (a file range flushes at once, and what was queued before it with it).
    void flushSoon()
    {
        // A zero timer of this thread: unlike a posted call, starting it wakes nothing up.
        if (!m_flushSoon.isActive())
            m_flushSoon.start();
    }
    void queueFrame(frame::Type type, const QByteArray &payload);
    /// A frame before the connection is ready goes to the pairing session.
    void onSetupFrame(frame::Type type, const QByteArray &payload);
    void becomeReady();
    /// The kind of the whole unit the owner may read next (a control message or a note), if any.
    std::optional<frame::Type> nextUnit() const;
    void giveUp(const QString &why);
    qsizetype buffered() const { return m_inEnd - m_inPos; }
    const char *front() const { return m_in.constData() + m_inPos; }
    void consume(qsizetype count);
    void tellOwner();
    /// Drops the front file range and tells the owner why: the file ended before its count
    /// (62), or reading it failed (75, with errno's reason).
    void cutRange(bool fileEnded);
    void finishClosing();
    /// Writes plaintext into the stream: the bytes taken (at most one record's), or 0 when the
    /// socket takes no more for now or writing failed (both handled).
    qsizetype writePlain(const char *data, qsizetype size);
    /// Sends what the record layer holds; false while the socket takes no more (or it failed).
    bool pushRecords();
    qint64 pendingRecords() const;
    void failWriting(int error);
    /// Sends the front file's next bytes where the kernel encrypts; false while the socket takes
    /// no more (or it failed).
    bool sendThroughKernel(Pending &p);
    /// Sends the next data frame of the front file, read here; false while the socket takes no
    /// more (or it failed).
    bool sendFileFrame(Pending &p);
    QString peerAddress() const;

    int m_fd;
    Role m_role;
    SecureConnector &m_connector;
    QPointer<SecureConnector> m_alive; ///< null once the connector is gone
    SSL *m_ssl = nullptr;
    QSocketNotifier m_readNotifier;
    QSocketNotifier m_writeNotifier;
    QTimer m_deadline;
    QTimer m_flushSoon; ///< flushes what one pass of the event loop queued, in one write
    Phase m_phase = Phase::Handshake;
    quint32 m_agreed = 0; ///< what both hellos offered (frame::agreed)
    QByteArray m_peerFingerprint;
    std::unique_ptr<PairingSession> m_session;
    std::unique_ptr<RecordLayer> m_records; ///< once the handshake is done

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

    // The traffic secrets of the handshake's key log, each side's, until the records are taken.
    QByteArray m_clientSecret;
    QByteArray m_serverSecret;
};

} // namespace secure
