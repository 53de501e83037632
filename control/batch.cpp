#include "batch.h"

#include "filedigest.h"

#include <QSet>
#include <QStringDecoder>
#include <QtEndian>

namespace sender {

namespace {

constexpr qint64 MaxExactBytes = (qint64(1) << 53) - 1;
constexpr int CountBytes = 4 + 8;

bool acceptableName(const QString &name, QByteArrayView utf8)
{
    if (name.isEmpty() || name == u"." || name == u".." || utf8.size() > 255)
        return false;
    for (const QChar c : name) {
        if (c == u'/' || c == u'\\' || c.unicode() < 0x20 || c.unicode() == 0x7f)
            return false;
    }
    return true;
}

} // namespace

BatchOffer BatchOffer::of(qint64 files, qint64 bytes, const QStringList &names)
{
    BatchOffer offer{QString(), files, bytes, {}};
    QSet<QString> seen;
    qsizetype size = 0;
    for (const QString &name : names) {
        if (seen.contains(name))
            continue;
        seen.insert(name);
        size += 2 + name.toUtf8().size();
        if (size > MaxNamesBytes) {
            offer.names.clear(); // too many to show: none are
            return offer;
        }
        offer.names.append(name);
    }
    return offer;
}

QByteArray BatchOffer::payload() const
{
    QByteArray out(CountBytes, '\0');
    qToBigEndian(quint32(qBound<qint64>(0, files, 0xffffffff)), out.data());
    qToBigEndian(quint64(bytes), out.data() + 4);
    for (const QString &name : names) {
        const QByteArray utf8 = name.toUtf8();
        char length[2];
        qToBigEndian(quint16(utf8.size()), length);
        out.append(length, 2).append(utf8);
    }
    return out;
}

std::optional<BatchOffer> BatchOffer::fromPayload(QByteArrayView payload)
{
    if (payload.size() < CountBytes)
        return std::nullopt;
    BatchOffer offer;
    offer.files = qFromBigEndian<quint32>(payload.data());
    const quint64 bytes = qFromBigEndian<quint64>(payload.data() + 4);
    if (offer.files < 1 || bytes > quint64(MaxExactBytes))
        return std::nullopt;
    offer.bytes = qint64(bytes);
    qsizetype at = CountBytes;
    while (at < payload.size()) {
        if (payload.size() - at < 2)
            return std::nullopt;
        const quint16 length = qFromBigEndian<quint16>(payload.data() + at);
        at += 2;
        if (payload.size() - at < length)
            return std::nullopt;
        const QByteArrayView utf8 = payload.sliced(at, length);
        at += length;
        QStringDecoder decode(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString name = decode(utf8);
        if (decode.hasError() || !acceptableName(name, utf8))
            return std::nullopt;
        offer.names.append(name);
    }
    return offer;
}

QString BatchOffer::topName(const QString &path)
{
    qsizetype end = 0;
    while (end < path.size() && path[end] != u'/' && path[end] != u'\\')
        ++end;
    return path.left(end);
}

bool IncomingBatch::admit(const QString &path, double size)
{
    if (done() || size < 0 || m_bytesTaken + size > double(m_offer.bytes))
        return false;
    if (!m_offer.names.isEmpty() && !m_offer.names.contains(BatchOffer::topName(path)))
        return false;
    ++m_filesTaken;
    m_bytesTaken += size;
    return true;
}

bool OutgoingFiles::hasRoomFor(qint64 size) const
{
    return m_files.empty() || (count() < WindowFiles && m_bytes + size <= WindowBytes);
}

void OutgoingFiles::sent(const QString &announced, qint64 size, const QByteArray &digest)
{
    m_files.push_back(InFlight{announced, size, digest, false, std::nullopt});
    m_bytes += size;
}

std::optional<OutgoingFiles::Settled> OutgoingFiles::takeAnswer(wire::Tag tag, bool &inTurn)
{
    inTurn = !m_files.empty();
    if (!inTurn)
        return std::nullopt;
    InFlight &front = m_files.front();
    Settled settled{front.announced, double(front.size), Outcome::Received};
    switch (tag) {
    case wire::Tag::SendData:
        inTurn = !front.accepted;
        front.accepted = true;
        return std::nullopt;
    case wire::Tag::HereIsIt:
        // Taken: a file already there (or empty) is confirmed at once; one whose bytes went only
        // once the receiver's digest agreed with ours.
        if (front.accepted && !front.peerDigest)
            settled.outcome = Outcome::EarlyConfirmation;
        else if (front.accepted && *front.peerDigest != front.digest)
            settled.outcome = Outcome::Mismatch;
        break;
    case wire::Tag::SendError:
        settled.outcome = front.peerDigest && *front.peerDigest != front.digest ? Outcome::Mismatch : Outcome::Refused;
        break;
    case wire::Tag::None:
    case wire::Tag::Message:
    case wire::Tag::FileData:
        inTurn = false;
        return std::nullopt;
    }
    m_bytes -= front.size;
    m_files.pop_front();
    return settled;
}

bool OutgoingFiles::takeDigest(const QByteArray &digest)
{
    if (m_files.empty() || !m_files.front().accepted || m_files.front().peerDigest
        || digest.size() != platform::FileDigest::ValueBytes)
        return false;
    m_files.front().peerDigest = digest;
    return true;
}

std::deque<OutgoingFiles::Settled> OutgoingFiles::dropAll()
{
    std::deque<Settled> out;
    for (const InFlight &f : m_files)
        out.push_back({f.announced, double(f.size), Outcome::Refused});
    m_files.clear();
    m_bytes = 0;
    return out;
}

} // namespace sender
