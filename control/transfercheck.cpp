#include "transfercheck.h"

#include "keptparts.h"

#include <QDateTime>
#include <QtEndian>

namespace sender {

namespace {

using Note = platform::Transport::Note;

std::optional<qint64> offsetIn(const QByteArray &payload)
{
    if (payload.size() < 8)
        return std::nullopt;
    const quint64 offset = qFromBigEndian<quint64>(payload.constData());
    if (offset > quint64(std::numeric_limits<qint64>::max()))
        return std::nullopt;
    return qint64(offset);
}

} // namespace

QByteArray TransferCheck::fromPayload(qint64 offset)
{
    QByteArray out(8, '\0');
    qToBigEndian(quint64(offset), out.data());
    return out;
}

QByteArray TransferCheck::heldPayload(qint64 offset, const QByteArray &digest)
{
    return fromPayload(offset) + digest;
}

void TransferCheck::attach(platform::Transport *transport)
{
    end();
    m_own.reset();
    m_prefix.reset();
    m_held = 0;
    m_heldDigest.clear();
    m_peerDigest.reset();
    m_receiving = false;
    if (transport && transport->checksFiles())
        m_transport = transport;
}

void TransferCheck::end()
{
    m_own.setCheckpoints(0, {});
    m_checkpoints.close();
    if (m_transport) {
        if (m_transport->sentDigest == &m_own)
            m_transport->sentDigest = nullptr;
        if (m_transport->receivedDigest == &m_own)
            m_transport->receivedDigest = nullptr;
    }
    m_transport = nullptr;
    m_stage = Stage::Off;
}

void TransferCheck::beginSend(platform::Transport *transport)
{
    attach(transport);
    if (m_transport)
        m_stage = Stage::Offered;
}

bool TransferCheck::takeHeld(const QByteArray &payload)
{
    const auto offset = offsetIn(payload);
    if (m_stage != Stage::Offered || m_held > 0 || !offset || payload.size() != 8 + platform::FileDigest::ValueBytes)
        return false;
    m_held = *offset;
    m_heldDigest = payload.mid(8);
    return true;
}

qint64 TransferCheck::startSending(int file, qint64 size)
{
    if (m_stage != Stage::Offered)
        return 0;
    qint64 from = 0;
    // A claim past the end, or a prefix that is not ours, sends the whole file: nothing the
    // receiver says is taken on its word.
    int error = 0;
    if (m_held > 0 && m_held <= size) {
        m_own = m_checkpoints.latest(file, m_held);
        if (m_own.addFile(file, m_own.length(), m_held - m_own.length(), error) && m_own.value() == m_heldDigest)
            from = m_held;
    }
    if (from == 0)
        m_own.reset();
    // Only a peer known by its key keeps what a broken send left, so only then are there checkpoints.
    const qint64 spacing = SentCheckpoints::spacing(size);
    if (!m_transport->peerIdentity().isEmpty() && size > spacing && m_checkpoints.begin(file, from)) {
        static qint64 lastSweep = 0;
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        if (now - lastSweep > KeptParts::SweepEveryMsec) {
            lastSweep = now;
            m_checkpoints.sweep(now, KeptParts::MaxAgeMsec);
        }
        m_own.setCheckpoints(spacing, [this](const platform::FileDigest &at) { m_checkpoints.record(at); });
    }
    m_stage = Stage::Sending;
    m_transport->sendNote(Note::From, fromPayload(from));
    m_transport->sentDigest = &m_own;
    return from;
}

void TransferCheck::sendDigest()
{
    if (m_stage != Stage::Sending || !m_transport)
        return;
    m_transport->sentDigest = nullptr;
    m_stage = Stage::Sent;
    m_transport->sendNote(Note::Digest, m_own.value());
}

bool TransferCheck::beginReceive(platform::Transport *transport, int file, qint64 held)
{
    return beginReceive(transport, file, held, nullptr);
}

bool TransferCheck::beginReceive(platform::Transport *transport, int file, qint64 held,
                                 const platform::FileDigest *known)
{
    attach(transport);
    if (!m_transport)
        return true;
    m_stage = Stage::AwaitingFrom;
    m_receiving = true;
    int error = 0;
    if (known && known->length() == held)
        m_prefix = *known;
    else if (held > 0 && !m_prefix.addFile(file, 0, held, error)) {
        m_prefix.reset();
        return false;
    }
    m_held = held;
    if (held > 0)
        m_transport->sendNote(Note::Held, heldPayload(held, m_prefix.value()));
    return true;
}

std::optional<qint64> TransferCheck::takeFrom(const QByteArray &payload)
{
    const auto offset = offsetIn(payload);
    if (m_stage != Stage::AwaitingFrom || !m_transport || !offset || (*offset != 0 && *offset != m_held))
        return std::nullopt;
    m_own = *offset == 0 ? platform::FileDigest() : m_prefix;
    m_transport->receivedDigest = &m_own;
    m_stage = Stage::Receiving;
    return offset;
}

std::optional<platform::FileDigest> TransferCheck::receivedDigest(qint64 bytes) const
{
    if (!m_receiving || bytes <= 0)
        return std::nullopt;
    // What was written since the held bytes is in the digest of the receive once the sender
    // said where its bytes start; before that, only the held bytes are known.
    if (m_own.length() == bytes)
        return m_own;
    if (m_prefix.length() == bytes)
        return m_prefix;
    return std::nullopt;
}

bool TransferCheck::takeDigest(const QByteArray &payload)
{
    if (payload.size() != platform::FileDigest::ValueBytes || m_peerDigest || !m_transport)
        return false;
    switch (m_stage) {
    case Stage::Sent:
        m_peerDigest = payload;
        if (digestsAgree())
            m_checkpoints.finish(); // it arrived whole: nothing is left to continue
        return true;
    case Stage::AwaitingDigest:
        m_peerDigest = payload;
        m_transport->receivedDigest = nullptr;
        m_transport->sendNote(Note::Digest, m_own.value());
        return true;
    case Stage::Off:
    case Stage::Offered:
    case Stage::Sending:
    case Stage::AwaitingFrom:
    case Stage::Receiving:
        break;
    }
    return false;
}

} // namespace sender
