// FileSender's batches: several files announced at once, asked about once, and small ones sent
// back to back without waiting for each answer.

#include "filesender.h"

#include "filedigest.h"
#include "filesenderdetail.h"

#include <QFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sender {

using namespace detail::texts;
using detail::fileError;
using platform::AutomationError;
using platform::Transport;
using platform::VariantFalse;
using platform::VariantTrue;

namespace {

const QString NotInBatchText = QStringLiteral("对方发来的文件不在它声明的这批文件之内，已拒收。");
const QString BadBatchText = QStringLiteral("对方的批量发送声明不合规程，已拒收。");

// Seconds an announcement waits for its answer: as long as a file's header does.
constexpr qint16 BatchAnswerTicks = 30;

const QByteArray Accepted(1, '\1');
const QByteArray Declined(1, '\0');

// The file at `path`, read whole when it is a regular file shorter than `limit`: its bytes, or
// nothing (too large, or no regular file) for the caller to send another way. Throws when it
// cannot be opened or read.
std::optional<QByteArray> readSmallFile(const QString &path, qint64 limit)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw fileError(QString::fromLocal8Bit(std::strerror(errno)));
    struct stat info = {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size >= limit || info.st_size == 0) {
        ::close(fd);
        return std::nullopt; // a file of no length may have content (those of /proc): SendFile looks
    }
    QByteArray bytes(qsizetype(info.st_size), Qt::Uninitialized);
    qint64 got = 0;
    int error = 0;
    while (got < bytes.size() && error == 0) {
        const ssize_t n = ::pread(fd, bytes.data() + got, size_t(bytes.size() - got), got);
        if (n > 0)
            got += n;
        else if (n == 0)
            break; // it shrank
        else if (errno != EINTR)
            error = errno;
    }
    ::close(fd);
    if (error != 0)
        throw fileError(QString::fromLocal8Bit(std::strerror(error)));
    if (got != bytes.size())
        throw fileError(QStringLiteral("the source changed during the send"));
    return bytes;
}

} // namespace

bool FileSender::takesBatches() const
{
    const Transport *stream = MySock.transport();
    return stream && stream->takesBatches() && MySock.State() == platform::SocketComponent::Connected;
}

void FileSender::offerBatch(const BatchOffer &offer)
{
    Transport *stream = MySock.transport();
    if (!takesBatches() || !stream) {
        emit batchAnswered(false);
        return;
    }
    m_batchAccepted = false;
    m_batchWaitTicks = 0;
    m_batchFilesLeft = offer.files;
    m_batchBytesLeft = double(offer.bytes);
    stream->sendNote(Transport::Note::Batch, offer.payload());
}

bool FileSender::takeBatchRoom(qint64 size)
{
    // A file of our accepted batch must fit in what was announced: the peer refuses one that
    // grew since, and ends the batch with it.
    if (!m_batchAccepted)
        return true;
    if (m_batchFilesLeft < 1 || double(size) > m_batchBytesLeft)
        return false;
    --m_batchFilesLeft;
    m_batchBytesLeft -= double(size);
    if (m_batchFilesLeft == 0)
        m_batchAccepted = false; // every file announced is on its way
    return true;
}

bool FileSender::offerBatchOf(qint64 files, qint64 bytes, const QStringList &names)
{
    if (!takesBatches())
        return false;
    offerBatch(BatchOffer::of(files, bytes, names));
    return true;
}

int FileSender::tryQueueFile(const QString &path, const QString &announced, bool overwrite)
{
    try {
        return queueFile(path, announced, overwrite) ? 1 : 0;
    } catch (const AutomationError &e) {
        m_queueFailure = e.description;
        return -1;
    }
}

bool FileSender::queueFile(const QString &path, const QString &announced, bool overwrite)
{
    Transport *stream = MySock.transport();
    if (!m_batchAccepted || !takesBatches() || !stream || (m_state.Busy != VariantFalse && m_outgoing.empty()))
        return false;
    if (!m_outgoing.hasRoomFor(0))
        return false;
    if (announced.contains(u'|'))
        platform::raiseError(platform::err::BadFileNameOrNumber);
    const std::optional<QByteArray> bytes = readSmallFile(path, OutgoingFiles::MaxFileBytes);
    if (!bytes || !m_outgoing.hasRoomFor(bytes->size()))
        return false;
    if (!takeBatchRoom(bytes->size()))
        throw fileError(GrewSinceAnnouncedText);
    platform::FileDigest digest;
    digest.add(bytes->constData(), bytes->size());
    MySock.SendData(wire::encodeHeader({announced, double(bytes->size()), m_state.BufferSize, overwrite}));
    stream->sendNote(Transport::Note::From, TransferCheck::fromPayload(0));
    stream->sendFileBytes(*bytes);
    stream->sendNote(Transport::Note::Digest, digest.value());
    m_outgoing.sent(announced, bytes->size(), digest.value());
    m_state.Busy = VariantTrue;
    m_state.TransferMode = 1;
    m_answerWaitTicks = 0;
    return true;
}

void FileSender::onBatchNote(Transport::Note note, const QByteArray &payload)
{
    Transport *stream = MySock.transport();
    emit controlMessageTaken();
    if (note == Transport::Note::BatchAnswer) {
        if (m_batchWaitTicks < 0)
            return; // none awaited: one our wait gave up on
        m_batchWaitTicks = -1;
        m_batchAccepted = payload == Accepted;
        emit batchAnswered(m_batchAccepted);
        return;
    }
    // One announcement at a time, between transfers: any other is declined.
    const bool inTurn = transferState() == TransferState::Idle && !offerPending() && !m_incoming && !m_refusingOffers;
    const std::optional<BatchOffer> offer = inTurn ? BatchOffer::fromPayload(payload) : std::nullopt;
    if (!offer) {
        if (stream)
            stream->sendNote(Transport::Note::BatchAnswer, Declined);
        raiseErrorEvent(0, BadBatchText);
        return;
    }
    m_heldBatch = *offer;
    m_heldBatch->peer = MySock.RemoteHostIP();
    if (!m_holdOffers) {
        answerBatch(true);
        return;
    }
    m_offerTimeout.start();
    emit batchOffered(*m_heldBatch);
}

void FileSender::answerBatch(bool accept)
{
    std::optional<BatchOffer> offer = std::exchange(m_heldBatch, std::nullopt);
    m_offerTimeout.stop();
    if (Transport *stream = MySock.transport(); stream && offer) {
        if (accept)
            m_incoming.emplace(*offer);
        stream->sendNote(Transport::Note::BatchAnswer, accept ? Accepted : Declined);
    }
    emit offerSettled(accept);
    if (accept && offer)
        emit batchTaken(*offer);
}

bool FileSender::admitToBatch(const QString &path, double size, bool &inBatch)
{
    inBatch = false;
    if (!m_incoming)
        return true;
    inBatch = m_incoming->admit(path, size);
    if (m_incoming->done() || !inBatch)
        m_incoming.reset(); // every file came, or one that lied about the batch ended it
    if (!inBatch)
        raiseErrorEvent(0, NotInBatchText);
    return inBatch;
}

void FileSender::takeQueuedAnswer(wire::Tag tag)
{
    emit controlMessageTaken();
    m_answerWaitTicks = 0;
    bool inTurn = true;
    const std::optional<OutgoingFiles::Settled> settled = m_outgoing.takeAnswer(tag, inTurn);
    if (!inTurn) {
        dropQueued(BadFileNoteText, true);
        return;
    }
    if (settled)
        settleQueued(*settled);
}

void FileSender::settleQueued(const OutgoingFiles::Settled &settled)
{
    if (m_outgoing.empty()) {
        m_state.Busy = VariantFalse;
        m_state.TransferMode = 0;
    }
    QString why;
    switch (settled.outcome) {
    case OutgoingFiles::Outcome::Received:
        break;
    case OutgoingFiles::Outcome::Refused:
        why = WrongPathText;
        break;
    case OutgoingFiles::Outcome::Mismatch:
        why = DigestMismatchText;
        break;
    case OutgoingFiles::Outcome::EarlyConfirmation:
        why = EarlyConfirmationText;
        break;
    }
    emit queuedFileSettled(settled.announced, settled.size, why.isEmpty(), why);
}

void FileSender::dropQueued(const QString &why, bool closing)
{
    m_batchAccepted = false;
    if (std::exchange(m_batchWaitTicks, qint16(-1)) >= 0)
        emit batchAnswered(false);
    if (m_outgoing.empty())
        return;
    const std::deque<OutgoingFiles::Settled> dropped = m_outgoing.dropAll();
    m_state.Busy = VariantFalse;
    m_state.TransferMode = 0;
    if (closing)
        MySock.Close();
    for (const OutgoingFiles::Settled &s : dropped)
        emit queuedFileSettled(s.announced, s.size, false, why);
}

void FileSender::checkBatchWait()
{
    if (m_batchWaitTicks >= 0 && ++m_batchWaitTicks > BatchAnswerTicks) {
        m_batchWaitTicks = -1;
        raiseErrorEvent(0, NoAnswerText);
        emit batchAnswered(false);
    }
}

} // namespace sender
