#include "filesender.h"

#include "controlsite.h"
#include "conversions.h"
#include "numberedfiles.h"
#include "propertybag.h"

#include <QFont>

#include <algorithm>
#include <limits>

namespace sender {

using platform::AutomationError;
using platform::NumberedFiles;
using platform::VariantBool;
using platform::VariantFalse;
using platform::VariantTrue;

namespace {

constexpr int TwipsPerPixel = 15;
constexpr int twips(int t) { return t / TwipsPerPixel; }

const QString WrongPathText = QStringLiteral("错误的文件路径。");
const QString CrossingSendText = QStringLiteral("对方同时在发送文件，本次发送已取消。");
const QString ZeroBlockText = QStringLiteral("发送块大小不能为0。");
const QString ConnectionClosedText = QStringLiteral("连接已关闭。");
const QString BusyText = QStringLiteral("忙");
const QString MessageTooLongText = QStringLiteral("字符串大于8K，不能发送。");

int instanceCount = 0;

} // namespace

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
    SendTimer.setObjectName(QStringLiteral("SendTimer"));
    TimeCount.setObjectName(QStringLiteral("TimeCount"));
    // Design-time settings: SendTimer off with interval 0; TimeCount on, once a second, for good.
    TimeCount.setInterval(1000);
    TimeCount.setEnabled(true);

    connect(&MySock, &platform::SocketComponent::connectionRequest, this, &FileSender::onConnectionRequest);
    connect(&MySock, &platform::SocketComponent::dataArrival, this, &FileSender::onDataArrival);
    connect(&MySock, &platform::SocketComponent::closed, this, &FileSender::onSocketClose);
    connect(&MySock, &platform::SocketComponent::error, this, &FileSender::onSocketError);
    connect(&SendTimer, &platform::Timer::tick, this, &FileSender::sendTimerTick);
    connect(&TimeCount, &platform::Timer::tick, this, &FileSender::timeCountTick);
}

FileSender::~FileSender()
{
    // A transfer file still open (a send, or a target the watchdog left) is closed with us.
    closeTransferFile();
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

void FileSender::raiseErrorEvent(qint16 number, const QString &description)
{
    // Description and CancelDisplay go by reference to values of our own; what comes back is not used.
    QVariantList args{QVariant::fromValue(number), description, 0, QString(), QString(), 0, false};
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
    m_partialTag.clear();
}

void FileSender::CloseAll()
{
    MySock.Close();
    m_partialTag.clear(); // the start of a tag never carries over to another connection
    EndTransfer();
}

void FileSender::onConnectionRequest(qint32 requestID)
{
    try {
        MySock.Close();
        MySock.Accept(requestID);
        m_state.TimeCounter = 0;
        m_partialTag.clear();
    } catch (const AutomationError &e) {
        raiseErrorEvent(qint16(e.number), e.description);
    }
}

void FileSender::onSocketClose()
{
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

void FileSender::setReciveFilePath(const QString &New_ReciveFilePath)
{
    m_state.ReciveFilePath = New_ReciveFilePath;
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
    m_state.FileNumber = NumberedFiles::FreeFile();
    NumberedFiles::Open(m_state.FileNumber, path, access);
    m_ownsFile = true;
}

void FileSender::closeTransferFile()
{
    // The file table is shared by the process: a number we closed may since name another's file.
    if (m_ownsFile)
        NumberedFiles::Close(m_state.FileNumber);
    m_ownsFile = false;
}

void FileSender::EndTransfer()
{
    SendTimer.setEnabled(false);
    closeTransferFile();
    m_state.Busy = VariantFalse;
    m_state.TransferMode = 0;
}

bool FileSender::StopSend()
{
    EndTransfer();
    return false;
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
    m_state.TransferMode = 1;
    // Read-only: a send never creates or changes a file on this side.
    openTransferFile(FilePath, platform::FileAccess::Read);
    m_state.TotalBytes = double(NumberedFiles::Lof(m_state.FileNumber));
    m_state.DoneBytes = 0;
    m_state.Busy = VariantTrue;
    MySock.SendData(wire::encodeHeader({m_state.ReciveFilePath, m_state.TotalBytes, m_state.BufferSize, OverWrite}));
    return false;
}

void FileSender::sendTimerTick()
{
    if (m_state.DoneBytes >= m_state.TotalBytes)
        return;
    // Memory stays bounded: nothing new is queued while a chunk still waits for the network.
    if (MySock.bytesToWrite() >= qMax<qint64>(m_state.BufferSize, 1))
        return;
    try {
        const qint64 owed = qint64(m_state.TotalBytes - m_state.DoneBytes);
        const qint64 unread = NumberedFiles::Lof(m_state.FileNumber) - NumberedFiles::Loc(m_state.FileNumber);
        if (unread <= 0)
            platform::raiseError(platform::err::InputPastEndOfFile); // the file shrank
        const qint64 chunk = std::min({qint64(m_state.BufferSize), owed, unread});
        m_state.ChunkBuffer.resize(chunk);
        NumberedFiles::Get(m_state.FileNumber, m_state.ChunkBuffer);
        MySock.SendData(m_state.ChunkBuffer);
        m_state.DoneBytes += double(chunk);
        m_state.ProgressValue = wire::progressPercent(m_state.DoneBytes, m_state.TotalBytes);
    } catch (const AutomationError &e) {
        failTransfer(e);
    }
}

void FileSender::failTransfer(const AutomationError &e)
{
    raiseErrorEvent(qint16(e.number), e.description);
    EndTransfer();
}

void FileSender::timeCountTick()
{
    if (m_state.TimeCounter < std::numeric_limits<qint32>::max())
        ++m_state.TimeCounter;
    if (m_state.IdleTicks < std::numeric_limits<qint16>::max())
        ++m_state.IdleTicks;
    const bool busy = Busy() != VariantFalse;
    if (busy && m_state.IdleTicks > 5 && m_state.TransferMode == 0) {
        // A stalled receive is released; its target stays open until a later header or EndTransfer.
        m_state.IdleTicks = 0;
        m_state.Busy = VariantFalse;
    }
}

// ---------------------------------------------------------------- arrivals

void FileSender::onDataArrival(qint32 bytesTotal)
{
    if (bytesTotal < 1)
        return;
    m_state.FileSystemHelper = std::make_unique<platform::FileSystemObject>();
    m_state.IdleTicks = 0;
    try {
        m_state.ChunkBuffer.resize(bytesTotal);
        MySock.GetData(m_state.ChunkBuffer);
        processArrival(m_state.ChunkBuffer);
    } catch (const AutomationError &e) {
        // Nothing escapes a notification: a failing send of an answer, say, reaches the host.
        raiseErrorEvent(qint16(e.number), e.description);
    }
}

void FileSender::processArrival(QByteArray data)
{
    if (!m_partialTag.isEmpty()) {
        data.prepend(m_partialTag);
        m_partialTag.clear();
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
                QVariantList args{platform::fromWireBytes(data.mid(wire::TagLength)).text};
                fireEvent(FileSenderEvent::ReciveMessage, args);
                break;
            }
            case wire::Tag::FileData: {
                // A path that does not decode faithfully is never used.
                const platform::WireText header = platform::fromWireBytes(data.mid(wire::TagLength));
                if (header.faithful)
                    handleHeader(header.text);
                else
                    MySock.SendData(QLatin1String(wire::SendErrorTag));
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

void FileSender::handleAnswer(wire::Tag tag)
{
    switch (tag) {
    case wire::Tag::SendData:
        if (m_state.TotalBytes <= 0)
            EndTransfer(); // nothing is owed for an empty file
        else
            SendTimer.setEnabled(true);
        break;
    case wire::Tag::HereIsIt:
        EndTransfer();
        break;
    case wire::Tag::SendError:
        raiseErrorEvent(0, WrongPathText);
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

void FileSender::handleHeader(const QString &payload)
{
    const auto header = wire::parseHeader(payload);
    if (!header) {
        MySock.SendData(QLatin1String(wire::SendErrorTag)); // malformed: nothing changes
        return;
    }
    if (m_state.ReciveFilePath.isEmpty() && !header->path.isEmpty())
        m_state.ReciveFilePath = header->path;
    m_state.TotalBytes = header->size;
    m_state.BufferSize = header->blockSize;
    const QString &target = m_state.ReciveFilePath;
    if (!EnsureFolder(target)) {
        MySock.SendData(QLatin1String(wire::SendErrorTag));
        return;
    }
    const bool exists = m_state.FileSystemHelper->FileExists(target);
    if (exists && double(NumberedFiles::FileLen(target)) == m_state.TotalBytes && !header->overwrite) {
        MySock.SendData(QLatin1String(wire::HereIsItTag));
        finishReceive();
        return;
    }
    // A target the watchdog left open is closed before a new one is opened.
    closeTransferFile();
    if (m_state.TotalBytes == 0) {
        // Nothing to receive: the target becomes an empty file, whether it was missing or not.
        try {
            openTransferFile(target, platform::FileAccess::ReadWrite);
            NumberedFiles::SetLength(m_state.FileNumber, 0);
            closeTransferFile();
        } catch (const AutomationError &) {
            closeTransferFile();
            MySock.SendData(QLatin1String(wire::SendErrorTag));
            return;
        }
        MySock.SendData(QLatin1String(wire::HereIsItTag));
        finishReceive();
        return;
    }
    startDataPhase();
}

void FileSender::startDataPhase()
{
    m_state.Busy = VariantTrue;
    m_state.TransferMode = 0;
    try {
        openTransferFile(m_state.ReciveFilePath, platform::FileAccess::ReadWrite);
    } catch (const AutomationError &) {
        // A target that cannot be opened (a folder, no permission) is refused; we stay idle.
        m_state.Busy = VariantFalse;
        MySock.SendData(QLatin1String(wire::SendErrorTag));
        return;
    }
    m_state.DoneBytes = 0;
    MySock.SendData(QLatin1String(wire::SendDataTag));
}

QByteArray FileSender::handleFileData(const QByteArray &data)
{
    const qint64 owed = qint64(m_state.TotalBytes - m_state.DoneBytes);
    const qint64 take = qMin<qint64>(data.size(), owed);
    const bool complete = double(take) >= m_state.TotalBytes - m_state.DoneBytes;
    try {
        NumberedFiles::Put(m_state.FileNumber, take == data.size() ? data : data.left(take));
        // A longer file that was there before ends at exactly the announced length.
        if (complete)
            NumberedFiles::SetLength(m_state.FileNumber, qint64(m_state.TotalBytes));
    } catch (const AutomationError &e) {
        // The target cannot take the bytes (disk full, say): the sender is told to stop.
        MySock.SendData(QLatin1String(wire::SendErrorTag));
        failTransfer(e);
        return QByteArray();
    }
    m_state.DoneBytes += double(take);
    if (complete) {
        MySock.SendData(QLatin1String(wire::HereIsItTag));
        m_state.Busy = VariantFalse;
        closeTransferFile();
    }
    m_state.ProgressValue = wire::progressPercent(m_state.DoneBytes, m_state.TotalBytes);
    if (complete)
        finishReceive();
    return data.mid(take);
}

void FileSender::finishReceive()
{
    QVariantList args{m_state.TotalBytes};
    fireEvent(FileSenderEvent::ReciveFile, args);
}

// ---------------------------------------------------------------- persistence

void FileSender::initNew()
{
    m_state.ReciveFilePath.clear();
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
