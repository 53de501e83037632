#pragma once
// The whole-file check and resume of one transfer, on a connection whose peer checks files
// (Transport::checksFiles): the notes each side sends, the digests the stream keeps of the
// bytes it moves, and the checks on what the peer says. Sender: the receiver may say it holds
// the file's first bytes (Held); the sender starts where that prefix's digest matches its own
// file, else at 0 (From), and sends the digest of the whole file after its last byte. Receiver:
// it compares that digest with the one of what it wrote, and answers with its own (Digest).

#include "filedigest.h"
#include "sentcheckpoints.h"
#include "sender_export.h"
#include "transport.h"

#include <QByteArray>
#include <QPointer>

#include <optional>

namespace sender {

class SENDER_EXPORT TransferCheck
{
public:
    enum class Stage {
        Off,           ///< no check: the connection's peer does not check files
        Offered,       ///< sender: the header is out, a Held note may come before "SendDat:"
        Sending,       ///< sender: From is out, the file's bytes go
        Sent,          ///< sender: its Digest is out, the peer's and its answer are awaited
        AwaitingFrom,  ///< receiver: "SendDat:" is out, the sender's From is awaited
        Receiving,     ///< receiver: the file's bytes come
        AwaitingDigest ///< receiver: every byte is there, the sender's Digest is awaited
    };

    Stage stage() const { return m_stage; }
    bool active() const { return m_stage != Stage::Off; }
    /// Ends the check: the stream follows no digest of ours any more.
    void end();

    // --- sending
    /// A send begins on `transport`: checked when its peer checks files.
    void beginSend(platform::Transport *transport);
    /// The receiver's Held note; false when it comes out of turn or malformed.
    bool takeHeld(const QByteArray &payload);
    /// "SendDat:" came: where the bytes start. The prefix the receiver holds counts when it lies
    /// within the file's `size` bytes and its digest matches what `file` holds there (read from
    /// the last checkpoint of an earlier send at or before it); else the whole file goes. Tells
    /// the receiver (From) and starts the digest of what is sent, with checkpoints along it when
    /// the peer is known by its key.
    qint64 startSending(int file, qint64 size);
    /// Every byte was read and handed on: the digest of the whole file goes to the receiver.
    void sendDigest();

    // --- receiving
    /// A receive begins on `transport`, checked when its peer checks files. `held` bytes of
    /// `file` are there from a try that broke: their digest (`known`, when it was kept with
    /// them, else read here) is offered to the sender (Held). False when they cannot be read
    /// (offer nothing, and start afresh).
    bool beginReceive(platform::Transport *transport, int file, qint64 held, const platform::FileDigest *known);
    bool beginReceive(platform::Transport *transport, int file, qint64 held);
    /// The sender's From note: where its bytes start (0, or all that was held), or nothing when
    /// it comes out of turn or names another offset. Starts the digest of what is written.
    std::optional<qint64> takeFrom(const QByteArray &payload);
    /// Every byte was written: the sender's Digest is awaited.
    void awaitDigest() { m_stage = Stage::AwaitingDigest; }

    // --- both
    /// The peer's Digest note. Receiver: answers with the digest of what it wrote. False when
    /// it comes out of turn or malformed.
    bool takeDigest(const QByteArray &payload);
    /// Whether the peer's digest, once it came, is the one of the bytes this side moved.
    bool digestsAgree() const { return m_peerDigest && *m_peerDigest == m_own.value(); }
    /// Whether the peer's digest came.
    bool peerDigestCame() const { return m_peerDigest.has_value(); }
    /// The bytes held from a try that broke, when they count.
    qint64 held() const { return m_held; }
    /// Receiver: the digest of the first `bytes` bytes of the file, when this receive knows it
    /// (what it held, or that and what it wrote since).
    std::optional<platform::FileDigest> receivedDigest(qint64 bytes) const;

    /// The payload of a note that says where bytes start, or how many are held.
    static QByteArray fromPayload(qint64 offset);
    static QByteArray heldPayload(qint64 offset, const QByteArray &digest);

private:
    void attach(platform::Transport *transport);

    Stage m_stage = Stage::Off;
    QPointer<platform::Transport> m_transport;
    platform::FileDigest m_own;      ///< of the bytes this side reads or writes, prefix included
    platform::FileDigest m_prefix;   ///< receiver: of the bytes held
    qint64 m_held = 0;
    QByteArray m_heldDigest;         ///< sender: the digest the receiver gave for them
    std::optional<QByteArray> m_peerDigest;
    bool m_receiving = false;
    SentCheckpoints m_checkpoints;   ///< sender: of the file being sent
};

} // namespace sender
