// FileSender's handling of what the peer sends: arrivals split into messages, headers,
// answers and file data, and the receive of a file from its header to "HereisIt".
#include "filesender.h"

#include "conversions.h"
#include "filesenderdetail.h"
#include "numberedfiles.h"


#include <algorithm>
#include <cstring>
#include <utility>

#include <sys/stat.h>
#include <unistd.h>

namespace sender {

using namespace detail::texts;
using detail::fileError;
using detail::resizeBuffer;
using platform::AutomationError;
using platform::NumberedFiles;
using platform::VariantFalse;
using platform::VariantTrue;

namespace {

// A broken receive of a smaller file keeps nothing: sending it again costs less than keeping a
// record of it for every file of a folder.
constexpr double KeptFromBytes = 1024 * 1024;

} // namespace

void FileSender::onDataArrival(qint32 bytesTotal)
{
    if (bytesTotal < 1)
        return;
    if (MySock.isFramed()) {
        onFramedArrival();
        return;
    }
    if (transferState() == TransferState::Receiving && m_partialTag.isEmpty() && m_pendingHeader.isEmpty()) {
        // File data goes from the socket into the target, never through ChunkBuffer.
        beginArrival();
        try {
            receiveFileData();
        } catch (const AutomationError &e) {
            raiseErrorEvent(e.number, e.description);
        }
        return;
    }
    try {
        resizeBuffer(m_state.ChunkBuffer, bytesTotal);
        MySock.GetData(m_state.ChunkBuffer);
    } catch (const AutomationError &e) {
        raiseErrorEvent(e.number, e.description);
        return;
    }
    handleArrival(m_state.ChunkBuffer);
}

void FileSender::onFramedArrival()
{
    // A framed connection says what each arrival is: one whole control message, or file bytes.
    beginArrival();
    try {
        const bool control = MySock.arrivalIsControl();
        const platform::Transport *stream = MySock.transport();
        const auto note = control && stream ? stream->nextNote() : platform::Transport::Note::None;
        if (!control && transferState() == TransferState::Receiving) {
            // A checked receive takes file bytes only between the sender's From and its last byte.
            if (m_check.active() && m_check.stage() != TransferCheck::Stage::Receiving)
                refuseFileNote();
            else
                receiveFileData();
            return;
        }
        resizeBuffer(m_state.ChunkBuffer, MySock.BytesReceived());
        MySock.GetData(m_state.ChunkBuffer);
        if (note != platform::Transport::Note::None)
            onFileNote(note, m_state.ChunkBuffer);
        else if (control)
            handleControlMessage(m_state.ChunkBuffer);
        // File bytes that no receive waits for (behind a stopped send, say) are dropped.
    } catch (const AutomationError &e) {
        raiseErrorEvent(e.number, e.description);
    }
}

void FileSender::onFileNote(platform::Transport::Note note, const QByteArray &payload)
{
    using Note = platform::Transport::Note;
    const TransferState state = transferState();
    if (note == Note::Batch || note == Note::BatchAnswer) {
        onBatchNote(note, payload);
        return;
    }
    if (note == Note::Digest && !m_outgoing.empty()) {
        if (!m_outgoing.takeDigest(payload))
            dropQueued(BadFileNoteText, true);
        return;
    }
    switch (note) {
    case Note::Held:
        if (state == TransferState::Sending && m_check.takeHeld(payload))
            return;
        break;
    case Note::From:
        if (state == TransferState::Receiving) {
            if (const auto from = m_check.takeFrom(payload)) {
                resumeReceiveFrom(*from);
                return;
            }
        }
        break;
    case Note::Digest:
        if (state != TransferState::Idle && m_check.takeDigest(payload)) {
            if (state == TransferState::Receiving) {
                if (m_check.digestsAgree()) {
                    completeReceive();
                } else {
                    discardPartFile();
                    answer(wire::SendErrorTag);
                    failTransfer(AutomationError{0, DigestMismatchText});
                }
            }
            return;
        }
        break;
    case Note::None:
    case Note::Batch:
    case Note::BatchAnswer:
        return;
    }
    // A note that comes when no transfer runs is one the transfer's end overtook: nothing to do.
    if (state != TransferState::Idle)
        refuseFileNote();
}

void FileSender::refuseFileNote()
{
    if (transferState() == TransferState::Sending) {
        MySock.sendStop();
    } else {
        discardPartFile();
        answer(wire::SendErrorTag);
    }
    failTransfer(AutomationError{0, BadFileNoteText});
}

void FileSender::resumeReceiveFrom(qint64 from)
{
    const int file = NumberedFiles::Handle(m_state.FileNumber);
    if (from == 0 && m_check.held() > 0 && ::ftruncate(file, 0) != 0) {
        failReceive(fileError(QString::fromLocal8Bit(std::strerror(errno))));
        return;
    }
    NumberedFiles::Seek(m_state.FileNumber, from);
    m_writeBehind.startAt(from);
    m_state.DoneBytes = double(from);
    m_state.ProgressValue = wire::progressPercent(m_state.DoneBytes, m_state.TotalBytes);
    if (from > 0)
        emit transferResumed(double(from));
    if (double(from) >= m_state.TotalBytes)
        m_check.awaitDigest();
}

void FileSender::handleControlMessage(const QByteArray &message)
{
    const wire::Tag tag = wire::tagOf(message);
    if (tag != wire::Tag::None)
        emit controlMessageTaken();
    switch (tag) {
    case wire::Tag::Message:
        deliverMessage(message.mid(wire::TagLength)); // whole, and at once, during a transfer too
        break;
    case wire::Tag::SendData:
    case wire::Tag::HereIsIt:
    case wire::Tag::SendError:
        if (!m_outgoing.empty())
            takeQueuedAnswer(tag); // the files sent back to back are answered in their order
        else if (transferState() == TransferState::Sending)
            handleAnswer(tag);
        break;
    case wire::Tag::FileData:
        if (!m_outgoing.empty()) {
            answer(wire::SendErrorTag); // one transfer at a time: ours are under way
        } else if (transferState() == TransferState::Idle) {
            const platform::WireText payload = platform::fromWireBytes(message.mid(wire::TagLength));
            if (payload.faithful)
                handleHeader(payload.text); // whole: a frame is never split
            else
                answer(wire::SendErrorTag);
        } else if (transferState() == TransferState::Sending) {
            failTransfer(AutomationError{0, CrossingSendText});
        } else {
            answer(wire::SendErrorTag); // one transfer at a time
        }
        break;
    case wire::Tag::None:
        break;
    }
}

void FileSender::handleArrival(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return;
    beginArrival();
    try {
        processArrival(bytes);
    } catch (const AutomationError &e) {
        // Nothing escapes a notification: a failing send of an answer, say, reaches the host.
        raiseErrorEvent(e.number, e.description);
    }
}

void FileSender::beginArrival()
{
    m_state.FileSystemHelper = std::make_unique<platform::FileSystemObject>();
    m_state.IdleTicks = 0;
}

void FileSender::answer(const char *tag)
{
    MySock.SendData(QByteArray::fromRawData(tag, wire::TagLength));
}

void FileSender::processArrival(QByteArray data)
{
    if (m_messages.holding()) {
        m_messages.take(data);
        if (data.isEmpty())
            return;
    }
    if (!m_pendingHeader.isEmpty() && continuePendingHeader(data))
        return;
    if (!m_partialTag.isEmpty()) {
        // A kept start joins the next arrival only when together they begin a tag; a stray
        // one (leftover file data, say) must not swallow a real control message.
        QByteArray joined = m_partialTag + data;
        m_partialTag.clear();
        if (wire::tagOf(joined) != wire::Tag::None || wire::isTagPrefix(joined))
            data = std::move(joined);
    }
    while (!data.isEmpty()) {
        if (transferState() == TransferState::Receiving) {
            // The data phase takes bytes up to the announced size; what follows is a new arrival.
            data = handleFileData(data);
            continue;
        }
        if (wire::isTagPrefix(data)) {
            m_partialTag = data; // a tag split across arrivals: wait for the rest
            return;
        }
        const wire::Tag tag = wire::tagOf(data);
        if (wire::isAnswer(tag)) {
            if (transferState() == TransferState::Sending)
                handleAnswer(tag);
            data.remove(0, wire::TagLength); // whatever follows an answer is an arrival of its own
            continue;
        }
        if (transferState() == TransferState::Idle) {
            switch (tag) {
            case wire::Tag::Message: {
                // The network may have split it: it is held until a quiet period without more.
                m_messages.take(data);
                if (data.isEmpty())
                    return;
                continue;
            }
            case wire::Tag::FileData: {
                receiveHeader(data);
                break;
            }
            case wire::Tag::None:
            case wire::Tag::SendData:
            case wire::Tag::HereIsIt:
            case wire::Tag::SendError:
                break; // dropped
            }
        } else if (tag == wire::Tag::FileData) {
            // Both sides started a send at once: each ends its own and tells its host.
            failTransfer(AutomationError{0, CrossingSendText});
        }
        return;
    }
}

bool FileSender::continuePendingHeader(QByteArray &data)
{
    // A tag's start that came alone beside the header: with this arrival it is either the front
    // of a new control message or more of the header.
    if (!m_partialTag.isEmpty())
        data.prepend(std::exchange(m_partialTag, QByteArray()));
    // A new control message means the held header will never be completed.
    if (wire::tagOf(data) != wire::Tag::None) {
        refusePendingHeader();
        return false;
    }
    if (wire::isTagPrefix(data)) {
        // A sender writes "True" or "False" last, so the only start of a tag that continues a
        // header is "F", which leaves it incomplete; one that would complete it starts a new
        // message. Otherwise the next arrival tells which of the two it is.
        if (wire::isHeaderComplete(platform::fromWireBytes(m_pendingHeader.mid(wire::TagLength) + data).text)) {
            refusePendingHeader();
            return false;
        }
        m_partialTag = data;
        return true;
    }
    const QByteArray header = m_pendingHeader + data;
    m_pendingHeader.clear();
    receiveHeader(header); // the time limit still runs from the first piece
    return true;
}

void FileSender::receiveHeader(const QByteArray &arrival)
{
    const platform::WireText payload = platform::fromWireBytes(arrival.mid(wire::TagLength));
    if (wire::isHeaderComplete(payload.text)) {
        m_headerTimeout.stop();
        emit controlMessageTaken();
        if (payload.faithful) {
            handleHeader(payload.text);
        } else {
            answer(wire::SendErrorTag); // a path that does not decode faithfully is never used
        }
        return;
    }
    m_pendingHeader = arrival;
    if (m_pendingHeader.size() > wire::MaxHeaderBytes)
        refusePendingHeader();
    else if (!m_headerTimeout.isActive())
        m_headerTimeout.start();
}

void FileSender::refusePendingHeader()
{
    if (m_pendingHeader.isEmpty())
        return;
    m_pendingHeader.clear();
    m_headerTimeout.stop();
    answer(wire::SendErrorTag);
}

void FileSender::handleAnswer(wire::Tag tag)
{
    emit controlMessageTaken();
    switch (tag) {
    case wire::Tag::SendData:
        m_answerWaitTicks = 0;
        if (m_state.TotalBytes <= 0) {
            EndTransfer(); // nothing is owed for an empty file
            break;
        }
        if (m_check.stage() == TransferCheck::Stage::Offered) {
            // The peer checks files: the bytes start where the prefix it holds agrees with ours.
            const qint64 from = m_check.startSending(NumberedFiles::Handle(m_state.FileNumber), qint64(m_state.TotalBytes));
            NumberedFiles::Seek(m_state.FileNumber, from);
            m_state.DoneBytes = double(from);
            m_state.ProgressValue = wire::progressPercent(m_state.DoneBytes, m_state.TotalBytes);
            if (from > 0)
                emit transferResumed(double(from));
            if (double(from) >= m_state.TotalBytes) {
                finishCheckedSend(); // it holds every byte: only the digest goes
                break;
            }
        }
        // The first chunk goes at once, the next ones one per tick, Interval apart: never more
        // than BufferSize per Interval. With Interval 0 the timer never ticks, and nothing goes.
        SendTimer.setEnabled(true);
        if (SendTimer.Interval() > 0)
            sendTimerTick();
        break;
    case wire::Tag::HereIsIt:
        // After "SendDat:" the peer confirms only what it has all of: an earlier one is wrong.
        if (SendTimer.Enabled() && (m_state.DoneBytes < m_state.TotalBytes || m_chunkOwed > 0))
            failTransfer(AutomationError{0, EarlyConfirmationText});
        else if (m_check.active() && m_check.stage() != TransferCheck::Stage::Offered && !m_check.digestsAgree())
            failTransfer(AutomationError{0, m_check.peerDigestCame() ? DigestMismatchText : EarlyConfirmationText});
        else if (sourceChanged())
            failTransfer(fileError(QStringLiteral("the source changed during the send")));
        else
            EndTransfer();
        break;
    case wire::Tag::SendError:
        raiseErrorEvent(0, m_check.peerDigestCame() && !m_check.digestsAgree() ? DigestMismatchText : WrongPathText);
        EndTransfer();
        break;
    case wire::Tag::None:
    case wire::Tag::Message:
    case wire::Tag::FileData:
        break;
    }
}

bool FileSender::EnsureFolder(const QString &path)
{
    m_state.FileSystemHelper = std::make_unique<platform::FileSystemObject>();
    const platform::FileSystemObject &fso = *m_state.FileSystemHelper;
    const QString drive = fso.GetDriveName(path);
    const QString parent = fso.GetParentFolderName(path);
    if (!fso.DriveExists(drive))
        return false;
    if (fso.FolderExists(parent))
        return true;
    try {
        fso.CreateFolder(parent);
    } catch (const AutomationError &) {
        return false;
    }
    return true;
}

void FileSender::setHoldOffers(bool hold)
{
    m_holdOffers = hold;
    if (!hold)
        answerOffer(true); // one that waits is answered as the rules would have it
}

void FileSender::answerOffer(bool accept)
{
    if (m_heldBatch) {
        answerBatch(accept);
        return;
    }
    if (!m_heldOffer)
        return;
    std::unique_ptr<HeldOffer> offer = std::move(m_heldOffer);
    m_offerTimeout.stop();
    try {
        if (accept) {
            m_state.IdleTicks = 0; // the peer waited for us: its silence meanwhile is no stall
            takeOffer(*offer);
        }
        else
            answer(wire::SendErrorTag); // nothing is written
    } catch (const AutomationError &e) {
        raiseErrorEvent(e.number, e.description);
    }
    emit offerSettled(accept);
}

void FileSender::dropOffer()
{
    // The peer is gone, or we send ourselves: nobody waits for an answer to this offer any more.
    m_incoming.reset();
    if (!m_heldOffer && !m_heldBatch)
        return;
    m_heldOffer.reset();
    m_heldBatch.reset();
    m_offerTimeout.stop();
    emit offerSettled(false);
}

void FileSender::handleHeader(const QString &payload)
{
    if (offerPending() || m_refusingOffers) {
        answer(wire::SendErrorTag); // one offer waits for the host (a second one is refused), or none is taken
        return;
    }
    const auto header = wire::parseHeader(payload);
    bool inBatch = false;
    const bool admitted = header && admitToBatch(header->path, header->size, inBatch);
    m_receivingInBatch = inBatch;
    if (!admitted) {
        answer(wire::SendErrorTag); // malformed, or not of the batch that runs: nothing changes
        return;
    }
    // A well-formed header's size and block size are taken whatever the answer (and the count of
    // an earlier transfer goes with them); its path only when the target is accepted.
    m_state.TotalBytes = header->size;
    m_state.DoneBytes = 0;
    m_state.BufferSize = header->blockSize;
    // The header's path is taken when the host set none, and replaces one taken before; with a
    // receive folder, it is mapped into that folder (or refused) whatever the host set.
    QString wanted = m_state.ReciveFilePath;
    bool fromHeader = m_pathFromHeader;
    if (!m_receiveFolder && (wanted.isEmpty() || fromHeader) && !header->path.isEmpty()) {
        wanted = header->path;
        fromHeader = true;
    }
    std::optional<ReceiveTarget> target;
    if (m_receiveFolder) {
        // Sub-folders are made at any depth, each beneath the one above and never through a link.
        target = m_receiveFolder->resolve(header->path);
        fromHeader = true;
    } else if (!wanted.contains(QChar(0)) && EnsureFolder(wanted)) {
        target = ReceiveTarget::atPath(wanted);
    }
    // Only a regular file this side may write, or none yet, is a target (a FIFO or device could
    // block us for good), and only under a name its file system takes: refused now, before the
    // data, rather than when the file is kept.
    const ReceiveTarget::Present present = target ? target->look() : ReceiveTarget::Present{};
    if (!target || !present.usable || !target->nameFits()) {
        answer(wire::SendErrorTag); // refused: the path is not taken
        return;
    }
    HeldOffer offer{FileOffer{MySock.RemoteHostIP(), header->path, target->path(), header->size},
                    std::move(*target), fromHeader,
                    present.exists && double(present.size) == header->size && !header->overwrite};
    if (m_holdOffers && !inBatch) { // a batch was asked about once, for all its files
        m_heldOffer = std::make_unique<HeldOffer>(std::move(offer));
        m_offerTimeout.start();
        emit fileOffered(m_heldOffer->shown);
        return;
    }
    takeOffer(offer);
}

void FileSender::takeOffer(HeldOffer &offer)
{
    const QString path = offer.shown.target;
    const auto accept = [&] {
        m_state.ReciveFilePath = path;
        m_pathFromHeader = offer.fromHeader;
    };
    if (offer.present) {
        accept();
        m_state.DoneBytes = m_state.TotalBytes; // all of it is already here
        answer(wire::HereIsItTag);
        finishReceive();
        return;
    }
    OpenedPart part;
    try {
        // The file arrives beside the target; the target itself is not touched before the end.
        part = openPartFile(offer);
        adoptTransferFile(part.file);
    } catch (const AutomationError &) {
        // A folder we cannot write to, say: refused, and we stay idle.
        m_part.discard();
        answer(wire::SendErrorTag);
        return;
    }
    accept();
    if (m_state.TotalBytes == 0) {
        // Nothing to receive: the target is now an empty file, whether it was missing or not.
        try {
            commitPartFile();
        } catch (const AutomationError &e) {
            answer(wire::SendErrorTag);
            raiseErrorEvent(e.number, e.description);
            return;
        }
        answer(wire::HereIsItTag);
        finishReceive();
        return;
    }
    m_state.Busy = VariantTrue;
    m_state.TransferMode = 0;
    if (!m_check.beginReceive(MySock.transport(), NumberedFiles::Handle(m_state.FileNumber), part.held,
                              part.heldDigest ? &*part.heldDigest : nullptr)
        && ::ftruncate(NumberedFiles::Handle(m_state.FileNumber), 0) != 0)
        m_check.end(); // the kept bytes cannot be read: offered nothing
    answer(wire::SendDataTag);
}

FileSender::OpenedPart FileSender::openPartFile(HeldOffer &offer)
{
    m_kept.reset();
    const platform::Transport *stream = MySock.transport();
    const QByteArray peer = stream && stream->checksFiles() ? stream->peerIdentity() : QByteArray();
    if (peer.isEmpty() || m_state.TotalBytes < KeptFromBytes)
        return {m_part.create(std::move(offer.target)), 0, {}}; // nothing is kept for a peer not known by its key
    const KeptParts parts;
    static qint64 lastSweep = 0;
    if (parts.now() - lastSweep > KeptParts::SweepEveryMsec) {
        lastSweep = parts.now();
        parts.sweep();
    }
    KeptPart entry{peer, offer.shown.announced, qint64(m_state.TotalBytes), offer.target.folderPath(),
                   offer.target.name(), {}, 0, 0, parts.now(), {}, 0, 0};
    OpenedPart opened;
    int &file = opened.file;
    if (const auto kept = parts.find(entry.peer, entry.announced, entry.size, entry.folder, entry.target)) {
        file = m_part.adopt(offer.target, kept->hidden, kept->device, kept->inode);
        struct stat info = {};
        if (file >= 0 && ::fstat(file, &info) == 0) {
            opened.held = qMin<qint64>(info.st_size, entry.size);
            if (opened.held == info.st_size)
                opened.heldDigest = kept->digestOf(file); // else the held bytes are read to check them
        } else if (file < 0) {
            parts.forget(*kept); // gone, changed or taken: a new file is made
        }
    }
    if (file < 0)
        file = m_part.create(std::move(offer.target));
    entry.hidden = m_part.name();
    entry.device = m_part.device();
    entry.inode = m_part.inode();
    if (parts.keep(entry)) {
        m_part.setKeepable();
        m_kept = entry;
    }
    return opened;
}

void FileSender::receiveFileData()
{
    // The owed bytes go from the socket straight into the target; bytes past the announced
    // size stay in the socket and come as an arrival of their own.
    const qint64 owed = qint64(m_state.TotalBytes - m_state.DoneBytes);
    qint64 moved = 0;
    try {
        const qint64 at = NumberedFiles::Loc(m_state.FileNumber);
        const int file = NumberedFiles::Handle(m_state.FileNumber);
        moved = MySock.receiveToFile(file, at, owed);
        NumberedFiles::Seek(m_state.FileNumber, at + moved);
        m_writeBehind.wrote(file, at + moved);
    } catch (const AutomationError &e) {
        failReceive(e);
        return;
    }
    if (moved > 0)
        takeFileData(moved);
}

QByteArray FileSender::handleFileData(const QByteArray &data)
{
    const qint64 owed = qint64(m_state.TotalBytes - m_state.DoneBytes);
    const qint64 take = qMin<qint64>(data.size(), owed);
    try {
        NumberedFiles::Put(m_state.FileNumber, take == data.size() ? data : data.left(take));
    } catch (const AutomationError &e) {
        failReceive(e);
        return QByteArray();
    }
    takeFileData(take);
    return data.mid(take);
}

void FileSender::failReceive(const AutomationError &e)
{
    // The target cannot take the bytes (disk full, say): the count says what did reach the
    // disk, and the sender is told to stop. Nothing is kept: the room goes back to the disk.
    if (m_ownsFile)
        m_state.DoneBytes = double(NumberedFiles::Lof(m_state.FileNumber));
    discardPartFile();
    answer(wire::SendErrorTag);
    failTransfer(e);
}

void FileSender::takeFileData(qint64 take)
{
    const bool complete = double(take) >= m_state.TotalBytes - m_state.DoneBytes;
    m_state.DoneBytes += double(take);
    m_state.ProgressValue = wire::progressPercent(m_state.DoneBytes, m_state.TotalBytes);
    if (!complete)
        return;
    if (m_check.active())
        m_check.awaitDigest(); // kept only once the sender's digest agrees
    else
        completeReceive();
}

void FileSender::completeReceive()
{
    try {
        commitPartFile(); // every byte is there: the target is replaced before it is confirmed
    } catch (const AutomationError &e) {
        answer(wire::SendErrorTag);
        failTransfer(e);
        return;
    }
    m_check.end();
    answer(wire::HereIsItTag);
    m_state.Busy = VariantFalse;
    finishReceive();
}

void FileSender::commitPartFile()
{
    closeTransferFile();
    // The folder the file went into must still be inside the receive folder: someone who may
    // write there could have moved it out meanwhile.
    if (m_receiveFolder && m_part.target() && !m_receiveFolder->stillHolds(*m_part.target())) {
        m_part.discard();
        throw fileError(QStringLiteral("the folder of the file being received was moved"));
    }
    m_part.commit();
    if (const auto kept = std::exchange(m_kept, std::nullopt))
        KeptParts().forget(*kept);
}

void FileSender::discardPartFile()
{
    if (const auto kept = std::exchange(m_kept, std::nullopt))
        KeptParts().forget(*kept);
    if (!m_part.active())
        return;
    closeTransferFile();
    m_part.discard();
}

void FileSender::setAsidePartFile()
{
    if (!m_kept || !m_part.active() || transferState() == TransferState::Sending) {
        discardPartFile();
        return;
    }
    // Its entry stays, so that the same peer may continue it; with the digest of what it holds,
    // where this receive knows it, so that those bytes need not be read again to check them.
    if (m_ownsFile) {
        const int file = NumberedFiles::Handle(m_state.FileNumber);
        if (const auto digest = m_check.receivedDigest(NumberedFiles::Lof(m_state.FileNumber))) {
            m_kept->setDigest(file, *digest);
            KeptParts().keep(*m_kept);
        }
    }
    closeTransferFile();
    m_part.keep();
    m_kept.reset();
}

bool FileSender::sourceChanged() const
{
    struct stat now = {};
    if (!m_ownsFile || ::fstat(NumberedFiles::Handle(m_state.FileNumber), &now) != 0)
        return false;
    return now.st_size != m_sourceSize
        || qint64(now.st_mtim.tv_sec) * 1000000000 + now.st_mtim.tv_nsec != m_sourceModifiedNsec;
}

void FileSender::finishReceive()
{
    QVariantList args{m_state.TotalBytes};
    fireEvent(FileSenderEvent::ReciveFile, args);
}

} // namespace sender
