#pragma once
// Batches: several files a sender announces at once (how many, their total bytes, their
// top-level names) and, once the receiver accepted them, sends back to back without waiting for
// each answer. Only between peers whose streams take batches (Transport::takesBatches).
//   BatchOffer     the announcement, and its bytes on the wire
//   IncomingBatch  receiver: which headers belong to the batch it accepted
//   OutgoingFiles  sender: the files sent and not yet answered, and their answers in order

#include "sender_export.h"
#include "wireprotocol.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>

#include <deque>
#include <optional>

namespace sender {

struct SENDER_EXPORT BatchOffer
{
    QString peer;      ///< receiver: the peer's address
    qint64 files = 0;  ///< how many files the batch holds (at least 1)
    qint64 bytes = 0;  ///< their total length
    QStringList names; ///< the top-level names of their paths; empty when too many to show

    /// The most bytes the names may take in an announcement: more are not shown at all.
    static constexpr qsizetype MaxNamesBytes = 8000;
    /// The announcement of `files` files of `bytes` bytes under `names` (duplicates dropped;
    /// left out entirely when they do not fit).
    static BatchOffer of(qint64 files, qint64 bytes, const QStringList &names);
    /// The payload of a Batch note: files (32-bit big-endian), bytes (64-bit), then each name
    /// as a 16-bit length and its UTF-8.
    QByteArray payload() const;
    /// Reads a Batch note; nothing when it is malformed, announces no file, a total past 2^53 - 1,
    /// or a name that is empty, "." or "..", holds a separator or a control character, or is not
    /// valid UTF-8.
    static std::optional<BatchOffer> fromPayload(QByteArrayView payload);
    /// The top-level name of an announced path: its first component.
    static QString topName(const QString &path);
};

class SENDER_EXPORT IncomingBatch
{
public:
    explicit IncomingBatch(BatchOffer offer)
        : m_offer(std::move(offer))
    {
    }
    /// Whether a header announcing `path` with `size` bytes belongs to the batch: within the
    /// files and bytes still announced, under one of its names (when it showed them). Counts it
    /// when it does.
    bool admit(const QString &path, double size);
    /// Every file announced came.
    bool done() const { return m_filesTaken >= m_offer.files; }

private:
    BatchOffer m_offer;
    qint64 m_filesTaken = 0;
    double m_bytesTaken = 0;
};

class SENDER_EXPORT OutgoingFiles
{
public:
    /// Files shorter than this go without waiting; larger ones keep the exchange of their own
    /// (and may resume).
    static constexpr qint64 MaxFileBytes = 1024 * 1024;
    /// At most this many files, and this many bytes, are sent and not yet answered.
    static constexpr int WindowFiles = 256;
    static constexpr qint64 WindowBytes = 16 * 1024 * 1024;

    enum class Outcome { Received, Refused, Mismatch, EarlyConfirmation };
    struct Settled
    {
        QString announced;
        double size = 0;
        Outcome outcome = Outcome::Received;
    };

    bool empty() const { return m_files.empty(); }
    int count() const { return int(m_files.size()); }
    bool hasRoomFor(qint64 size) const;
    /// A file went: its header, and, when it has bytes, From 0, its bytes and its digest.
    void sent(const QString &announced, qint64 size, const QByteArray &digest);
    /// The peer's answer for the oldest file: that file's outcome once it is settled, else
    /// nothing. False in `inTurn` when the answer cannot come now.
    std::optional<Settled> takeAnswer(wire::Tag tag, bool &inTurn);
    /// The peer's Digest for the oldest file; false when it comes out of turn or malformed.
    bool takeDigest(const QByteArray &digest);
    /// Every file not answered yet, oldest first; none are left.
    std::deque<Settled> dropAll();

private:
    struct InFlight
    {
        QString announced;
        qint64 size = 0;
        QByteArray digest;
        bool accepted = false;             ///< "SendDat:" came
        std::optional<QByteArray> peerDigest;
    };
    std::deque<InFlight> m_files;
    qint64 m_bytes = 0;
};

} // namespace sender
