#pragma once
// One connected stream as the socket component uses it: what waits to be sent, the bytes that
// arrived, and their notifications. The plain stream is the socket component's own; a host may
// hand it another kind (an encrypted one, say) through a TransportProvider.

#include "automation.h"
#include "velmora_platform_export.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>
#include <optional>

namespace platform {

class FileDigest;

class VELMORA_PLATFORM_EXPORT Transport : public QObject
{
public:
    /// What a stream whose peer checks files carries beside control messages, in their order
    /// (see checksFiles()).
    enum class Note : quint8 {
        None,
        Held,   ///< receiver to sender, before "SendDat:": the bytes it holds of the file from a
                ///< try that broke, and their digest (8 bytes big-endian, then 16)
        From,   ///< sender to receiver, after "SendDat:": where its bytes start (8 bytes)
        Digest, ///< each way, after the last byte: the whole file's digest as read or written (16)
        Batch,  ///< sender to receiver: several files are announced at once (see takesBatches())
        BatchAnswer, ///< receiver to sender: the batch announced is accepted (1) or declined (0)
    };

    /// There may be bytes to read, or the stream ended (while readability is watched).
    std::function<void()> readable;
    /// A send failed: the system error.
    std::function<void(int)> failed;
    /// Everything queued was handed to the network.
    std::function<void()> drained;
    /// A file range was cut short (62 or 75, with the description).
    std::function<void(qint32, const QString &)> rangeFailed;
    /// The peer says it stopped the send it was making (streams that carry such a notice).
    std::function<void()> peerStopped;
    /// A stream that was not ready at first (a handshake) is ready now.
    std::function<void()> ready;
    /// A stream that was not ready at first gave up, with why (the peer is not who it should
    /// be, say); it is of no further use.
    std::function<void(const QString &)> refused;
    /// While set, every file byte this stream reads to send is added to it, and every byte it
    /// writes into a file to receivedDigest: the owner's, dropped with the owner.
    FileDigest *sentDigest = nullptr;
    FileDigest *receivedDigest = nullptr;

    /// Bytes queued and not yet handed to the network.
    virtual qint64 queued() const = 0;
    /// Bytes that can be read now: for a framed stream, those of the next unit only.
    virtual qint64 waiting() const = 0;
    /// Bytes handed to the network that the peer has not acknowledged.
    virtual qint64 unacknowledged() const = 0;
    /// Reads up to `count` of the bytes waiting into `into`; returns how many came.
    virtual qint64 read(char *into, qint64 count) = 0;
    /// Why nothing waits: -1 while the stream stays open, 0 when the peer closed, else the
    /// system error that broke it.
    virtual int closeReason() const = 0;
    /// Moves up to `maxBytes` of the bytes waiting into `file` at `offset`; returns the count
    /// taken from the stream. When the file cannot take them it sets `systemError`, and the
    /// count includes the bytes lost.
    virtual qint64 receiveToFile(int file, qint64 offset, qint64 maxBytes, int &systemError) = 0;
    /// Queues bytes; for a framed stream, one control message.
    virtual void send(const QByteArray &bytes) = 0;
    /// Queues a file range (taking over `file`); returns how much of it left at once, or the
    /// error that ended it at once.
    virtual qint64 sendFile(int file, qint64 offset, qint64 count, std::optional<AutomationError> &failure) = 0;
    /// The owner lets go: what is queued still goes out, then the stream closes and frees itself.
    virtual void closeWhenDrained() = 0;
    /// Starts or stops telling readable().
    virtual void watchReadable(bool on) = 0;

    /// False while the stream still gets ready (a handshake): nothing is sent or read before.
    virtual bool isReady() const { return true; }
    /// True for a stream that marks where each control message ends.
    virtual bool framed() const { return false; }
    /// On a framed stream: the bytes waiting are one whole control message (else file bytes).
    virtual bool nextIsControl() const { return false; }
    /// Tells the peer that this side stopped the send it was making (when the stream can).
    virtual void sendStop() {}
    /// True when both ends offered whole-file checks and resume: each file then carries notes
    /// (Note) and its digest, and sentDigest and receivedDigest are followed.
    virtual bool checksFiles() const { return false; }
    /// The fingerprint of the key the peer proved it holds (empty for a stream that proves none).
    virtual QByteArray peerIdentity() const { return QByteArray(); }
    /// On a stream that checks files: the note the next unit is (read whole by read(), in place
    /// of a control message), or None.
    virtual Note nextNote() const { return Note::None; }
    /// Queues a note behind everything queued before (streams that check files only).
    virtual void sendNote(Note, const QByteArray &) {}
    /// True when both ends take batches: files announced together (Note::Batch) and sent back to
    /// back without waiting for each answer. Only on a stream that checks files.
    virtual bool takesBatches() const { return false; }
    /// Queues file bytes already read, as one unit of file data behind everything queued before
    /// (streams that take batches only).
    virtual void sendFileBytes(const QByteArray &) {}

protected:
    /// Drops every notification: the owner let go and must hear nothing more.
    void forgetOwner()
    {
        readable = nullptr;
        failed = nullptr;
        drained = nullptr;
        rangeFailed = nullptr;
        peerStopped = nullptr;
        ready = nullptr;
        refused = nullptr;
        sentDigest = nullptr;
        receivedDigest = nullptr;
    }
};

/// What a host hands a socket component to choose the stream of each connection (an encrypted
/// one, say). Not owned by the component; it must outlive the connections it made.
class VELMORA_PLATFORM_EXPORT TransportProvider
{
public:
    virtual ~TransportProvider() = default;
    /// Whether an accepted connection is looked at before it is used: the listener waits for the
    /// peer's first bytes (at most InspectMsec), sends nothing meanwhile, asks accepted() for its
    /// stream and raises the connection request only once that stream is ready (within
    /// SetupMsec), setting many connections up at the same time.
    virtual bool inspectsAccepted() const = 0;
    /// The stream for a connection this endpoint made to its peer; null for the plain one.
    virtual Transport *connected(int descriptor) = 0;
    /// The stream for an accepted connection whose peer sent `first` first (empty when it sent
    /// nothing within the wait); null for the plain one. A stream that is not ready yet reports
    /// `ready` or `refused` later. Setting `refusal` refuses the peer: the connection (with a
    /// stream returned all the same) is closed and the reason reported, by a listener's
    /// admissionFailed.
    virtual Transport *accepted(int descriptor, const QByteArray &first, QString *refusal) = 0;

    /// How long an accepted connection waits for its peer's first bytes.
    static constexpr int InspectMsec = 200;
    /// How long an accepted connection may take, from its acceptance, until its stream is
    /// ready: past that the listener closes it, whatever its stream's own deadline.
    static constexpr int SetupMsec = 10000;
};

} // namespace platform
