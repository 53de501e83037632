// FileSender: the host-facing surface (properties, methods, events, persistence), the
// connection, and the sending of files and messages. What the peer sends is handled in
// filesenderarrivals.cpp.
#include "filesender.h"

#include "controlsite.h"
#include "conversions.h"
#include "filesenderdetail.h"
#include "numberedfiles.h"
#include "propertybag.h"

#include <QFont>

#include <algorithm>
#include <limits>

#include <sys/stat.h>
#include <unistd.h>

namespace sender {

using platform::AutomationError;
using platform::NumberedFiles;
using platform::VariantBool;
using platform::VariantFalse;
using platform::VariantTrue;
using namespace detail::texts;
using detail::fileError;
using detail::resizeBuffer;

namespace {

constexpr int TwipsPerPixel = 15;
constexpr int twips(int t) { return t / TwipsPerPixel; }

const QString ZeroBlockText = QStringLiteral("发送块大小不能为0。");
const QString BusyText = QStringLiteral("忙");
const QString MessageTooLongText = QStringLiteral("字符串大于8K，不能发送。");
const QString ReceiveStalledText = QStringLiteral("对方超过5秒没有发送数据，接收已中断（已收到 %1 字节，共 %2 字节）。");
const QString PeerStoppedSendText = QStringLiteral("对方已停止发送，接收已中断（已收到 %1 字节，共 %2 字节）。");
const QString PeerStoppedReceiveText = QStringLiteral("对方已停止接收，本次发送已取消。");

// Ticks of TimeCount without bytes after which a stalled receive is given up.
constexpr qint16 StallTicks = 5;
// Ticks a sender with nothing left in flight waits for the peer's answer.
constexpr qint16 AnswerWaitTicks = 30;
// A chunk larger than this goes out in slices of this size, so memory stays bounded.
constexpr qint64 MaxSliceBytes = 4 * 1024 * 1024;
// A header split by the network must be whole this long after its first piece.
constexpr int HeaderTimeoutMsec = 5000;

int instanceCount = 0;

} // namespace

namespace detail {

AutomationError fileError(const QString &reason)
{
    return AutomationError{platform::err::PathFileAccessError,
                           platform::standardErrorDescription(platform::err::PathFileAccessError) + QStringLiteral(": ") + reason};
}

void resizeBuffer(QByteArray &buffer, qsizetype size)
{
    if (buffer.capacity() < size) {
        buffer.clear();
        buffer.reserve(size);
    }
    buffer.resize(size);
}

} // namespace detail

FileSender::FileSender(QWidget *parent)
    : QWidget(parent)
{
    ++instanceCount;
    setFixedSize(twips(2415), twips(645));

    Label1 = new QLabel(QStringLiteral("FileSender"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(twips(600), twips(240), twips(1260), twips(210));
    QFont font(QStringLiteral("SimSun"));
    font.setPointSizeF(10.5);
    Label1->setFont(font);

    MySock.setObjectName(QStringLiteral("MySock"));
    // A child of the face, so that a host that creates the control late can still hand its
    // socket component what secures its connections (found by name). As a member it goes
    // before the face's own clean-up of its children.
    MySock.setParent(this);
    SendTimer.setObjectName(QStringLiteral("SendTimer"));
    TimeCount.setObjectName(QStringLiteral("TimeCount"));
    // Design-time settings: SendTimer off with interval 0; TimeCount on, once a second, for good.
    TimeCount.setInterval(1000);
    TimeCount.setEnabled(true);

    connect(&MySock, &platform::SocketComponent::connectionRequest, this, &FileSender::onConnectionRequest);
    connect(&MySock, &platform::SocketComponent::dataArrival, this, &FileSender::onDataArrival);
    connect(&MySock, &platform::SocketComponent::closed, this, &FileSender::onSocketClose);
    connect(&MySock, &platform::SocketComponent::error, this, &FileSender::onSocketError);
    connect(&MySock, &platform::SocketComponent::sendComplete, this, [this] {
        if (m_chunkOwed > 0)
            continueChunkLater();
        else if (std::exchange(m_digestWhenDrained, false))
            finishCheckedSend();
    });
    // A chunk the socket could not finish (the file shrank or failed to read) ends the send.
    connect(&MySock, &platform::SocketComponent::sendFailed, this, [this](qint32 number, const QString &description) {
        if (transferState() == TransferState::Sending)
            failTransfer(AutomationError{number, description});
    });
    connect(&SendTimer, &platform::Timer::tick, this, &FileSender::sendTimerTick);
    connect(&TimeCount, &platform::Timer::tick, this, &FileSender::timeCountTick);
    connect(&m_messages, &MessageAssembler::complete, this, &FileSender::deliverMessage);
    connect(&MySock, &platform::SocketComponent::peerStopped, this, &FileSender::onPeerStopped);
    m_offerTimeout.setSingleShot(true);
    m_offerTimeout.setInterval(DefaultOfferTimeLimitMsec);
    connect(&m_offerTimeout, &QTimer::timeout, this, [this] { answerOffer(false); });
    m_headerTimeout.setSingleShot(true);
    m_headerTimeout.setInterval(HeaderTimeoutMsec);
    connect(&m_headerTimeout, &QTimer::timeout, this, [this] {
        try {
            refusePendingHeader();
        } catch (const AutomationError &e) {
            raiseErrorEvent(e.number, e.description);
        }
    });
}

FileSender::~FileSender()
{
    // A transfer file still open is closed with us; a receive left unfinished leaves nothing,
    // unless its peer may continue it.
    setAsidePartFile();
    --instanceCount;
}

int FileSender::liveInstances() { return instanceCount; }

TransferState FileSender::transferState() const
{
    if (m_state.Busy == VariantFalse)
        return TransferState::Idle;
    return m_state.TransferMode == 1 ? TransferState::Sending : TransferState::Receiving;
}

// ---------------------------------------------------------------- events

void FileSender::fireEvent(FileSenderEvent id, QVariantList &args)
{
    // The host may answer this from the event loop before more arrives; a file of a batch it
    // accepted once asks nothing of it, and the files after it follow in the same pass.
    if (id != FileSenderEvent::ReciveFile || !m_receivingInBatch)
        MySock.endArrivalPass();
    switch (id) {
    case FileSenderEvent::OnClose:
        emit OnClose();
        break;
    case FileSenderEvent::Error: {
        QString description = args[1].toString();
        VariantBool cancel = platform::toVariantBool(platform::toBool(args[6]));
        emit Error(platform::toInt16(args[0]), description, platform::toInt32(args[2]), args[3].toString(),
                   args[4].toString(), platform::toInt32(args[5]), cancel);
        args[1] = description;
        args[6] = cancel != VariantFalse;
        break;
    }
    case FileSenderEvent::ReciveMessage:
        emit ReciveMessage(args[0].toString());
        break;
    case FileSenderEvent::ReciveFile: {
        double size = args[0].toDouble();
        emit ReciveFile(size);
        args[0] = size;
        break;
    }
    }
    const auto sinks = m_sinks; // a handler may unadvise
    for (platform::EventSink *sink : sinks)
        sink->invoke(platform::DispId(id), args);
}

void FileSender::raiseErrorEvent(qint32 number, const QString &description)
{
    // Number is 16 bits wide: a larger number is never passed wrapped, only whole in Scode.
    const bool fits = number >= std::numeric_limits<qint16>::min() && number <= std::numeric_limits<qint16>::max();
    // Description and CancelDisplay go by reference to values of our own; what comes back is not used.
    QVariantList args{QVariant::fromValue(qint16(fits ? number : 0)), description, number, QString(), QString(), 0,
                      false};
    fireEvent(FileSenderEvent::Error, args);
}

void FileSender::advise(platform::EventSink *sink)
{
    if (sink && !m_sinks.contains(sink))
        m_sinks.append(sink);
}

void FileSender::unadvise(platform::EventSink *sink)
{
    m_sinks.removeAll(sink);
}

// ---------------------------------------------------------------- host services

void FileSender::setSite(platform::ControlSite *site)
{
    m_site = site;
}

void FileSender::showMessage(const QString &text)
{
    platform::ControlSite &site = m_site ? *m_site : platform::DefaultControlSite::instance();
    site.messageBox(text, platform::mbstyle::Question, QString());
}

void FileSender::notifyChanged(const char *name)
{
    if (m_site)
        m_site->propertyChanged(QLatin1String(name));
}

void FileSender::refuseReadOnlyPut()
{
    const platform::ControlSite &site = m_site ? *m_site : platform::DefaultControlSite::instance();
    if (!site.ambientUserMode())
        platform::raiseError(platform::err::SetNotPermitted);
    platform::raiseError(platform::err::SetNotSupportedAtRuntime);
}

// ---------------------------------------------------------------- connection

void FileSender::Connect(const QVariant &RemoteHost, const QVariant &RemotePort)
{
    try {
        MySock.Connect(RemoteHost, RemotePort);
    } catch (const AutomationError &) {
        // Refusals are not reported; failures found later arrive as the Error event.
    }
}

QString FileSender::LocalIP() const { return MySock.LocalIP(); }
qint32 FileSender::LocalPort() const { return MySock.LocalPort(); }

void FileSender::setLocalPort(qint32 New_LocalPort)
{
    MySock.setLocalPort(New_LocalPort);
    notifyChanged("LocalPort");
}

QString FileSender::LocalHostName() const { return MySock.LocalHostName(); }
void FileSender::Listen() { MySock.Listen(); }
QString FileSender::RemoteHost() const { return MySock.RemoteHost(); }

void FileSender::setRemoteHost(const QString &New_RemoteHost)
{
    MySock.setRemoteHost(New_RemoteHost);
    notifyChanged("RemoteHost");
}

qint32 FileSender::RemotePort() const { return MySock.RemotePort(); }

void FileSender::setRemotePort(qint32 New_RemotePort)
{
    MySock.setRemotePort(New_RemotePort);
    notifyChanged("RemotePort");
}

QString FileSender::RemoteHostIP() const { return MySock.RemoteHostIP(); }
qint16 FileSender::State() const { return MySock.State(); }

void FileSender::Accept(qint32 requestID)
{
    MySock.Accept(requestID);
    m_state.TimeCounter = 0;
    resetArrivalState();
}

void FileSender::CloseAll()
{
    dropQueued(ConnectionClosedText, false);
    MySock.Close();
    resetArrivalState();
    EndTransfer();
}

void FileSender::resetArrivalState()
{
    // Nothing held from one connection carries over to the next; a message that arrived is not lost.
    m_messages.flush();
    m_partialTag.clear();
    m_pendingHeader.clear();
    m_headerTimeout.stop();
    dropOffer();
}

void FileSender::onConnectionRequest(qint32 requestID)
{
    try {
        MySock.Close();
        MySock.Accept(requestID);
        m_state.TimeCounter = 0;
        resetArrivalState();
    } catch (const AutomationError &e) {
        raiseErrorEvent(e.number, e.description);
    }
}

void FileSender::onSocketClose()
{
    dropQueued(ConnectionClosedText, false);
    resetArrivalState();
    EndTransfer();
    QVariantList none;
    fireEvent(FileSenderEvent::OnClose, none);
}

void FileSender::onSocketError(qint16 number, QString &description, qint32 scode, const QString &source,
                               const QString &helpFile, qint32 helpContext, bool &cancelDisplay)
{
    QVariantList args{QVariant::fromValue(number), description, scode, source, helpFile, helpContext, cancelDisplay};
    fireEvent(FileSenderEvent::Error, args);
    description = args[1].toString();
    cancelDisplay = args[6].toBool();
}

// ---------------------------------------------------------------- plain accessors

QString FileSender::ReciveFilePath() const { return m_state.ReciveFilePath; }

void FileSender::setReceiveFolder(const QString &folder)
{
    m_receiveFolder.reset();
    if (!folder.isEmpty())
        m_receiveFolder = std::make_unique<ReceiveFolder>(folder);
}

QString FileSender::receiveFolder() const
{
    return m_receiveFolder ? m_receiveFolder->path() : QString();
}

void FileSender::setReciveFilePath(const QString &New_ReciveFilePath)
{
    m_state.ReciveFilePath = New_ReciveFilePath;
    m_pathFromHeader = false; // the host's path wins over every header
    notifyChanged("ReciveFilePath");
}

qint16 FileSender::ProgressValue() const { return m_state.ProgressValue; }
void FileSender::setProgressValue(qint16) { refuseReadOnlyPut(); }
VariantBool FileSender::Busy() const { return m_state.Busy; }
void FileSender::setBusy(VariantBool) { refuseReadOnlyPut(); }
qint32 FileSender::BufferSize() const { return m_state.BufferSize; }

void FileSender::setBufferSize(qint32 New_BufferSize)
{
    m_state.BufferSize = New_BufferSize; // checked only when a send starts
    notifyChanged("BufferSize");
}

qint32 FileSender::Interval() const { return SendTimer.Interval(); }

void FileSender::setInterval(qint32 New_Interval)
{
    SendTimer.setInterval(New_Interval);
    notifyChanged("Interval");
}

qint32 FileSender::TimeCounter() const { return m_state.TimeCounter; }
void FileSender::setTimeCounter(qint32) { refuseReadOnlyPut(); }

// ---------------------------------------------------------------- transfers

void FileSender::openTransferFile(const QString &path, platform::FileAccess access)
{
    closeTransferFile(); // one transfer file at a time
    const qint16 number = NumberedFiles::FreeFile();
    NumberedFiles::Open(number, path, access);
    // Owned only once it is open: a failed open never makes us close a number someone else holds.
    m_state.FileNumber = number;
    m_ownsFile = true;
}

void FileSender::adoptTransferFile(int descriptor)
{
    closeTransferFile();
    qint16 number = 0;
    try {
        number = NumberedFiles::FreeFile();
    } catch (const AutomationError &) {
        ::close(descriptor);
        throw;
    }
    NumberedFiles::OpenHandle(number, descriptor);
    m_state.FileNumber = number;
    m_ownsFile = true;
}

void FileSender::closeTransferFile()
{
    // The file table is shared by the process: a number we closed may since name another's file.
    if (m_ownsFile)
        NumberedFiles::Close(m_state.FileNumber);
    m_ownsFile = false;
    m_writeBehind.stop();
}

void FileSender::EndTransfer()
{
    SendTimer.setEnabled(false);
    m_chunkOwed = 0;
    m_check.end();
    m_digestWhenDrained = false;
    setAsidePartFile(); // a receive cut short leaves the target as it was
    closeTransferFile();
    m_state.Busy = VariantFalse;
    m_state.TransferMode = 0;
}

bool FileSender::StopSend()
{
    // Where the connection can carry it, the peer hears of it and ends its side at once.
    if (transferState() != TransferState::Idle && m_outgoing.empty())
        MySock.sendStop();
    // Files sent back to back are stopped by ending the connection: their bytes are on their way.
    dropQueued(PeerStoppedReceiveText, true);
    discardPartFile(); // stopped on purpose: nothing is kept to continue
    EndTransfer();
    return false;
}

void FileSender::onPeerStopped()
{
    switch (transferState()) {
    case TransferState::Idle:
        dropOffer(); // the peer gave up on its offer
        break;
    case TransferState::Sending:
        failTransfer(AutomationError{0, PeerStoppedReceiveText});
        break;
    case TransferState::Receiving:
        // Released as the watchdog releases a stalled receive, without the wait.
        m_state.Busy = VariantFalse;
        discardPartFile();
        raiseErrorEvent(0, PeerStoppedSendText.arg(platform::numberToText(m_state.DoneBytes),
                                                   platform::numberToText(m_state.TotalBytes)));
        break;
    }
}

void FileSender::deliverMessage(const QByteArray &text)
{
    emit controlMessageTaken();
    // Decoded whole: a character the network cut in two is put back together. No event carries
    // more than a message may hold: a longer text (two messages that a delay on the way joined,
    // or a peer that is not ours) comes as several, nothing left out.
    const QString whole = platform::fromWireBytes(text).text;
    qsizetype at = 0;
    do {
        qsizetype length = qMin(wire::MaxMessageLength, whole.size() - at);
        if (at + length < whole.size() && whole[at + length].isLowSurrogate())
            --length; // a character of two units stays whole
        QVariantList args{whole.mid(at, length)};
        at += length;
        fireEvent(FileSenderEvent::ReciveMessage, args);
    } while (at < whole.size());
}

bool FileSender::SendMessage(const QString &Message)
{
    if (Message.size() > wire::MaxMessageLength) {
        showMessage(MessageTooLongText);
        return false;
    }
    MySock.SendData(QLatin1String(wire::MessageTag) + Message);
    return false;
}

bool FileSender::SendFile(const QString &FilePath, bool OverWrite)
{
    if (m_state.BufferSize <= 0) {
        showMessage(ZeroBlockText);
        return false;
    }
    if (MySock.State() == platform::SocketComponent::Closed) {
        showMessage(ConnectionClosedText);
        return false;
    }
    if (m_state.Busy != VariantFalse) {
        showMessage(BusyText);
        return false;
    }
    // The peer splits the header at every "|": such a path would be cut, and stored elsewhere.
    if (m_state.ReciveFilePath.contains(u'|'))
        platform::raiseError(platform::err::BadFileNameOrNumber);
    // A peer's header still waiting for its rest is refused first: one transfer at a time. A
    // message being assembled is complete: what the peer sends next answers our header.
    if (!m_pendingHeader.isEmpty())
        refusePendingHeader();
    answerOffer(false); // and so is an offer that waits for our host
    m_messages.flush();
    m_state.TransferMode = 1;
    // Read-only: a send never creates or changes a file on this side.
    openTransferFile(FilePath, platform::FileAccess::Read);
    struct stat source = {};
    const int fd = NumberedFiles::Handle(m_state.FileNumber);
    char probe = 0;
    if (::fstat(fd, &source) == 0 && source.st_size == 0 && ::pread(fd, &probe, 1, 0) > 0) {
        // Some files (those of /proc, say) report no length but have content: it cannot be announced.
        closeTransferFile();
        throw fileError(QStringLiteral("the file reports a length of 0 but is not empty"));
    }
    m_sourceSize = source.st_size;
    m_sourceModifiedNsec = qint64(source.st_mtim.tv_sec) * 1000000000 + source.st_mtim.tv_nsec;
    if (!takeBatchRoom(m_sourceSize)) {
        closeTransferFile();
        throw fileError(GrewSinceAnnouncedText);
    }
    m_state.TotalBytes = double(NumberedFiles::Lof(m_state.FileNumber));
    m_state.DoneBytes = 0;
    m_state.Busy = VariantTrue;
    m_chunkOwed = 0;
    m_answerWaitTicks = 0;
    m_check.beginSend(MySock.transport());
    MySock.SendData(wire::encodeHeader({m_state.ReciveFilePath, m_state.TotalBytes, m_state.BufferSize, OverWrite}));
    return false;
}

void FileSender::sendTimerTick()
{
    if (m_state.DoneBytes >= m_state.TotalBytes)
        return;
    // One chunk per tick: a large chunk still going out in slices holds the next one back.
    if (m_chunkOwed > 0)
        return;
    // Memory stays bounded: nothing new is queued while a chunk still waits for the network.
    if (MySock.bytesToWrite() >= qMax<qint64>(m_state.BufferSize, 1))
        return;
    try {
        if (m_state.BufferSize < 1) // changed by the host during the send: no chunk can be formed
            platform::raiseError(platform::err::InvalidPropertyValue);
        const qint64 owed = qint64(m_state.TotalBytes - m_state.DoneBytes);
        const qint64 unread = NumberedFiles::Lof(m_state.FileNumber) - NumberedFiles::Loc(m_state.FileNumber);
        if (unread <= 0)
            platform::raiseError(platform::err::InputPastEndOfFile); // the file shrank
        const qint64 chunk = std::min({qint64(m_state.BufferSize), owed, unread});
        m_chunkOwed = chunk;
        sendSlice();
        // The chunk counts once, at its tick; slices are how it goes out, not progress.
        m_state.DoneBytes += double(chunk);
        if (m_chunkOwed == 0 && m_state.DoneBytes >= m_state.TotalBytes)
            finishCheckedSend();
        m_state.ProgressValue = wire::progressPercent(m_state.DoneBytes, m_state.TotalBytes);
    } catch (const AutomationError &e) {
        failTransfer(e);
    }
}

void FileSender::sendSlice()
{
    const qint64 slice = std::min(m_chunkOwed, MaxSliceBytes);
    // The bytes go from the file to the network without being copied into this process: the
    // buffer only takes the chunk's length, and the file's position follows what was sent.
    resizeBuffer(m_state.ChunkBuffer, slice);
    const qint64 from = NumberedFiles::Loc(m_state.FileNumber);
    MySock.sendFileRange(NumberedFiles::Handle(m_state.FileNumber), from, slice);
    NumberedFiles::Seek(m_state.FileNumber, from + slice);
    m_chunkOwed -= slice;
    if (m_chunkOwed > 0 && MySock.bytesToWrite() == 0)
        continueChunkLater(); // the network took it all at once: no completion will tell us
    if (m_chunkOwed == 0 && m_state.DoneBytes >= m_state.TotalBytes)
        finishCheckedSend();
}

void FileSender::finishCheckedSend()
{
    if (m_check.stage() != TransferCheck::Stage::Sending)
        return;
    // The digest covers what the stream read: it goes once the stream has read every byte.
    if (MySock.bytesToWrite() > 0) {
        m_digestWhenDrained = true;
        return;
    }
    if (sourceChanged()) {
        // What went is a mix of two versions: the receiver is told to drop it.
        MySock.sendStop();
        discardPartFile();
        failTransfer(fileError(QStringLiteral("the source changed during the send")));
        return;
    }
    m_check.sendDigest();
}

void FileSender::continueChunkLater()
{
    // The next slice goes from the event loop, never from inside the socket's notification.
    if (m_sliceQueued)
        return;
    m_sliceQueued = true;
    QMetaObject::invokeMethod(this, [this] {
        m_sliceQueued = false;
        if (m_chunkOwed <= 0 || transferState() != TransferState::Sending || MySock.bytesToWrite() > 0)
            return;
        try {
            sendSlice();
        } catch (const AutomationError &e) {
            failTransfer(e);
        }
    }, Qt::QueuedConnection);
}

void FileSender::failTransfer(const AutomationError &e)
{
    if (!m_outgoing.empty()) {
        dropQueued(e.description, true);
        return;
    }
    raiseErrorEvent(e.number, e.description);
    EndTransfer();
}

void FileSender::timeCountTick()
{
    if (m_state.TimeCounter < std::numeric_limits<qint32>::max())
        ++m_state.TimeCounter;
    if (m_state.IdleTicks < std::numeric_limits<qint16>::max())
        ++m_state.IdleTicks;
    const bool busy = Busy() != VariantFalse;
    // A sender that checks the prefix a receiver holds reads it first: it may take as long as
    // an answer may.
    const qint16 stallTicks = m_check.stage() == TransferCheck::Stage::AwaitingFrom ? AnswerWaitTicks : StallTicks;
    if (busy && m_state.IdleTicks > stallTicks && m_state.TransferMode == 0) {
        // A stalled receive is released, and the host told; what arrived is dropped (or kept
        // for a peer that may continue it), and the target is left as it was.
        m_state.IdleTicks = 0;
        m_state.Busy = VariantFalse;
        m_check.end();
        setAsidePartFile();
        raiseErrorEvent(0, ReceiveStalledText.arg(platform::numberToText(m_state.DoneBytes),
                                                  platform::numberToText(m_state.TotalBytes)));
        return;
    }
    checkAnswerWait();
    checkBatchWait();
}

void FileSender::checkAnswerWait()
{
    // Without a peer there is nobody to answer: the send waits for StopSend or CloseAll.
    if (transferState() != TransferState::Sending || MySock.State() != platform::SocketComponent::Connected)
        return;
    // Waiting is counted only once nothing is left to send and the peer has taken every byte:
    // a slow link or a paced send keeps bytes queued and so keeps the sender waiting. Only an
    // answer starts the wait again, not other bytes from the peer.
    const bool nothingLeft = !SendTimer.Enabled() || (m_state.DoneBytes >= m_state.TotalBytes && m_chunkOwed == 0);
    if (!nothingLeft || MySock.bytesNotYetDelivered() > 0) {
        m_answerWaitTicks = 0;
        return;
    }
    if (++m_answerWaitTicks > AnswerWaitTicks)
        failTransfer(AutomationError{0, NoAnswerText});
}

// ---------------------------------------------------------------- persistence

void FileSender::initNew()
{
    m_state.ReciveFilePath.clear();
    m_pathFromHeader = false;
    m_state.BufferSize = 100000;
    m_state.ProgressValue = 0;
    m_state.Busy = VariantFalse;
    m_state.TimeCounter = 0;
}

void FileSender::load(const platform::PropertyBag &bag)
{
    using platform::toInt16;
    using platform::toInt32;
    MySock.setLocalPort(toInt32(bag.read("LocalPort", QVariant::fromValue<qint16>(0))));
    MySock.setRemoteHost(platform::toString(bag.read("RemoteHost", QString())));
    MySock.setRemotePort(toInt32(bag.read("RemotePort", QVariant::fromValue<qint16>(0))));
    m_state.ReciveFilePath = platform::toString(bag.read("ReciveFilePath", QString()));
    m_pathFromHeader = false;
    m_state.ProgressValue = toInt16(bag.read("ProgressValue", QVariant::fromValue<qint16>(0)));
    m_state.Busy = platform::toVariantBool(platform::toBool(bag.read("Busy", false)));
    m_state.BufferSize = toInt32(bag.read("BufferSize", 100000));
    SendTimer.setInterval(toInt32(bag.read("Interval", QVariant::fromValue<qint16>(0))));
    m_state.TimeCounter = toInt32(bag.read("TimeCounter", QVariant::fromValue<qint16>(0)));
}

void FileSender::save(platform::PropertyBag &bag)
{
    bag.write("LocalPort", MySock.LocalPort(), QVariant::fromValue<qint16>(0));
    bag.write("RemoteHost", MySock.RemoteHost(), QString());
    bag.write("RemotePort", MySock.RemotePort(), QVariant::fromValue<qint16>(0));
    bag.write("ReciveFilePath", m_state.ReciveFilePath, QString());
    bag.write("ProgressValue", QVariant::fromValue(m_state.ProgressValue), QVariant::fromValue<qint16>(0));
    bag.write("Busy", m_state.Busy != VariantFalse, false);
    bag.write("BufferSize", m_state.BufferSize, 100000);
    bag.write("Interval", SendTimer.Interval(), QVariant::fromValue<qint16>(0));
    bag.write("TimeCounter", m_state.TimeCounter, QVariant::fromValue<qint16>(0));
}

} // namespace sender
