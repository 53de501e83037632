#pragma once
// FileSender: the embeddable control that moves files and text messages to a peer control
// over one TCP connection.

#include "automation.h"
#include "batch.h"
#include "control.h"
#include "filesenderinterface.h"
#include "filesystemobject.h"
#include "keptparts.h"
#include "messageassembler.h"
#include "numberedfiles.h"
#include "partfile.h"
#include "receivefolder.h"
#include "sender_export.h"
#include "socketcomponent.h"
#include "timer.h"
#include "transfercheck.h"
#include "wireprotocol.h"
#include "writebehind.h"

#include <QByteArray>
#include <QLabel>
#include <QList>
#include <QTimer>
#include <QWidget>

#include <memory>

namespace platform {
class ControlSite;
class PropertyBag;
} // namespace platform

namespace sender {

/// The control's state fields.
struct FileSenderFields
{
    qint16 FileNumber = 0;        ///< file of the current transfer (sent, or target written)
    double TotalBytes = 0;        ///< size of the file being transferred
    double DoneBytes = 0;         ///< bytes sent or received so far
    qint16 TransferMode = 0;      ///< 1 while this side sends, 0 otherwise
    QByteArray ChunkBuffer;       ///< the arriving batch; for a chunk sent, its length (the bytes go file to network)
    qint16 IdleTicks = 0;         ///< TimeCount ticks since bytes last arrived
    qint32 TimeCounter = 0;       ///< seconds counted by TimeCount
    qint32 BufferSize = 100000;   ///< chunk size for sending
    qint16 ProgressValue = 0;     ///< percent of the current transfer done
    platform::VariantBool Busy = platform::VariantFalse; ///< a transfer is in progress here
    QString ReciveFilePath;       ///< where a received file is stored; announced when sending
    std::unique_ptr<platform::FileSystemObject> FileSystemHelper; ///< drive, folder and file tests
};

/// A file a peer offers while the control holds offers for its host to answer.
struct FileOffer
{
    QString peer;      ///< the peer's address
    QString announced; ///< the path the peer announced, as it sent it
    QString target;    ///< where the file would be kept on this side
    double size = 0;   ///< its length in bytes
};

/// Readable view of the transfer state, derived from (Busy, TransferMode).
enum class TransferState { Idle, Sending, Receiving };

/// The FileSender control. Every member runs on the GUI thread; events are raised both as
/// Qt signals and to every advised event sink.
class SENDER_EXPORT FileSender : public QWidget, public platform::Control
{
    Q_OBJECT
    // Qt properties, for Designer's property editor and forms made with uic. Writes through the
    // meta-object system (Designer, setProperty) never throw: a refused value is logged and the
    // old one kept. ProgressValue, Busy and TimeCounter refuse every write, as their puts do.
    Q_PROPERTY(int LocalPort READ LocalPort WRITE putLocalPort)
    Q_PROPERTY(QString RemoteHost READ RemoteHost WRITE putRemoteHost)
    Q_PROPERTY(int RemotePort READ RemotePort WRITE putRemotePort)
    Q_PROPERTY(QString ReciveFilePath READ ReciveFilePath WRITE putReciveFilePath)
    Q_PROPERTY(int BufferSize READ BufferSize WRITE putBufferSize)
    Q_PROPERTY(int Interval READ Interval WRITE putInterval)
    Q_PROPERTY(int ProgressValue READ ProgressValue WRITE putProgressValue STORED false)
    Q_PROPERTY(bool Busy READ Busy WRITE putBusy STORED false)
    Q_PROPERTY(int TimeCounter READ TimeCounter WRITE putTimeCounter STORED false)
    Q_PROPERTY(QString LocalIP READ LocalIP STORED false)
    Q_PROPERTY(QString LocalHostName READ LocalHostName STORED false)
    Q_PROPERTY(QString RemoteHostIP READ RemoteHostIP STORED false)
    Q_PROPERTY(int State READ State STORED false)
    template<typename Arg, typename T>
    void putProperty(void (FileSender::*put)(Arg), const T &value, const char *name)
    {
        try {
            (this->*put)(value);
        } catch (const platform::AutomationError &e) {
            qWarning("FileSender: %s refused: %s", name, qUtf8Printable(e.description));
        }
    }
    void putLocalPort(int v) { putProperty(&FileSender::setLocalPort, v, "LocalPort"); }
    void putRemoteHost(const QString &v) { putProperty(&FileSender::setRemoteHost, v, "RemoteHost"); }
    void putRemotePort(int v) { putProperty(&FileSender::setRemotePort, v, "RemotePort"); }
    void putReciveFilePath(const QString &v) { putProperty(&FileSender::setReciveFilePath, v, "ReciveFilePath"); }
    void putBufferSize(int v) { putProperty(&FileSender::setBufferSize, v, "BufferSize"); }
    void putInterval(int v) { putProperty(&FileSender::setInterval, v, "Interval"); }
    void putProgressValue(int v) { putProperty(&FileSender::setProgressValue, qint16(v), "ProgressValue"); }
    void putBusy(bool v) { putProperty(&FileSender::setBusy, platform::toVariantBool(v), "Busy"); }
    void putTimeCounter(int v) { putProperty(&FileSender::setTimeCounter, v, "TimeCounter"); }

public:
    explicit FileSender(QWidget *parent = nullptr);
    ~FileSender() override;

    // --- _FileSender, in interface order. Failures throw platform::AutomationError.

    /// Starts connecting; every error of the socket's Connect is ignored.
    void Connect(const QVariant &RemoteHost = QVariant(), const QVariant &RemotePort = QVariant());
    QString LocalIP() const;
    qint32 LocalPort() const;
    void setLocalPort(qint32 New_LocalPort);
    QString LocalHostName() const;
    /// Waits for a peer on LocalPort; the first request is accepted automatically.
    void Listen();
    QString RemoteHost() const;
    void setRemoteHost(const QString &New_RemoteHost);
    qint32 RemotePort() const;
    void setRemotePort(qint32 New_RemotePort);
    /// Announces the file at FilePath to the peer; the peer's answer decides what follows.
    /// ReciveFilePath, the path announced, may not hold "|" (52). Always returns false.
    bool SendFile(const QString &FilePath, bool OverWrite = false);
    /// Sends a text of at most 8192 characters. Always returns false.
    bool SendMessage(const QString &Message);
    QString ReciveFilePath() const;
    void setReciveFilePath(const QString &New_ReciveFilePath);
    QString RemoteHostIP() const;
    /// Closes the connection (or listening) and ends any transfer.
    void CloseAll();
    qint16 ProgressValue() const;
    /// Always fails: 387 in the host's design mode, 382 at run time.
    void setProgressValue(qint16 New_ProgressValue);
    platform::VariantBool Busy() const;
    /// Always fails: 387 in the host's design mode, 382 at run time.
    void setBusy(platform::VariantBool New_Busy);
    qint32 BufferSize() const;
    void setBufferSize(qint32 New_BufferSize);
    qint32 Interval() const;
    /// 0 to 2147483647 ms; a negative value fails with 380.
    void setInterval(qint32 New_Interval);
    qint16 State() const;
    /// Adopts a connection request raised by any socket component of this process.
    void Accept(qint32 requestID);
    /// Ends the transfer on this side without telling the peer. Always returns false.
    bool StopSend();
    qint32 TimeCounter() const;
    /// Always fails: 387 in the host's design mode, 382 at run time.
    void setTimeCounter(qint32 New_TimeCounter);

    // --- platform::Control
    platform::Dispatch &dispatch() override { return m_dispatch; }
    QWidget *widget() override { return this; }
    void setSite(platform::ControlSite *site) override;
    void initNew() override;
    void load(const platform::PropertyBag &bag) override;
    void save(platform::PropertyBag &bag) override;
    void advise(platform::EventSink *sink) override;
    void unadvise(platform::EventSink *sink) override;

    // --- for hosts and tests
    const FileSenderFields &fields() const { return m_state; }
    TransferState transferState() const;
    platform::SocketComponent &socket() { return MySock; }
    const platform::Timer &sendTimer() const { return SendTimer; }
    /// The once-a-second tick: counters and the receive watchdog.
    void timeCountTick();
    /// The pacing tick: sends the next chunk of the file being sent.
    void sendTimerTick();
    /// The arrival handling for bytes already fetched from the socket: exactly what a data
    /// arrival of `bytes` does (answers go out on the connection).
    void handleArrival(const QByteArray &bytes);
    /// Forgets a tag or header start held for the next arrival, and an offer that waits, as a
    /// new connection does; a message still being assembled is delivered first.
    void resetArrivalState();
    /// How long a message is held for more pieces: a piece that arrives within this quiet
    /// period after a message is part of it, whatever it starts with.
    static constexpr int MessageQuietMsec = MessageAssembler::QuietMsec;
    /// True while a message that arrived is held for the rest the network may still bring.
    bool assemblingMessage() const { return m_messages.holding(); }
    /// The hidden file a receive writes into, renamed over the target once every byte is there
    /// (empty when no receive is under way).
    QString partialFilePath() const { return m_part.path(); }
    /// Keeps every received file under `folder` (empty: no folder, as a new control has): each
    /// header's path is mapped into it by ReceiveFolder's rules, whatever ReciveFilePath holds,
    /// and the sub-folders it names are made; a path that cannot be mapped, or that meets a link
    /// anywhere below the folder, is refused with "SendErr:". Nothing outside the folder is
    /// touched, whatever others do in it meanwhile (ReceiveFolder::resolve). ReciveFilePath then
    /// names the file last received. Not persisted.
    void setReceiveFolder(const QString &folder);
    QString receiveFolder() const;
    /// Holds every file a peer offers until the host answers it with answerOffer (off, as a new
    /// control has it: each offer is answered by the rules alone). Only an offer the rules would
    /// take is held, and nothing is written before it is accepted; the peer waits meanwhile,
    /// and a second offer that comes while one waits is refused with "SendErr:". C++ only: the
    /// automation interface is unchanged. Not persisted.
    void setHoldOffers(bool hold);
    bool holdsOffers() const { return m_holdOffers; }
    /// Refuses every file and batch a peer offers from now on ("SendErr:", a declined batch), the
    /// files of a batch accepted before included: a host that is ending takes no more. Not persisted.
    void setRefusingOffers(bool refuse) { m_refusingOffers = refuse; }
    /// How long a held offer waits for the host before it is declined (25 s unless set): less
    /// than our own senders wait for an answer.
    void setOfferTimeLimit(int msec) { m_offerTimeout.setInterval(msec); }
    static constexpr int DefaultOfferTimeLimitMsec = 25000;
    /// Whether an offer waits for the host's answer.
    bool offerPending() const { return m_heldOffer != nullptr || m_heldBatch.has_value(); }
    /// Answers the offer that waits: accepted, the receive goes on as the rules have it;
    /// declined, the peer is answered "SendErr:" and nothing is written. Without one, nothing
    /// happens.
    void answerOffer(bool accept);
    /// Number of live instances in this process.
    static int liveInstances();

    // --- batches (C++ only; peers whose connection takes batches, see Transport::takesBatches)
    /// Whether the connection takes batches: several files announced at once and sent without
    /// waiting for each answer.
    bool takesBatches() const;
    /// Announces a batch (where the connection takes batches); batchAnswered follows. While
    /// offers are held (setHoldOffers) the peer's host answers it once for all its files.
    void offerBatch(const BatchOffer &offer);
    /// Sends a file of the batch the peer accepted at once, without waiting for the answers to
    /// the files before it: its header, its bytes and its digest. True when it went (its outcome
    /// comes by queuedFileSettled); false when it cannot go so: no accepted batch, a file of
    /// OutgoingFiles::MaxFileBytes or more, no room in the window (try again once a file
    /// settled) or a send of the other kind under way. Send such a file with SendFile once
    /// queuedFiles() is 0. A file that cannot be read throws, as SendFile does.
    bool queueFile(const QString &path, const QString &announced, bool overwrite);
    /// Files sent by queueFile and not yet answered.
    int queuedFiles() const { return m_outgoing.count(); }
    /// The same for hosts that reach the control's face through its meta-object (a window that
    /// created it from the registry): nothing is thrown across it.
    Q_INVOKABLE bool takesBatchesNow() const { return takesBatches(); }
    /// Announces a batch of `files` files of `bytes` bytes under `names`; false (and nothing
    /// sent) where the connection takes no batches.
    Q_INVOKABLE bool offerBatchOf(qint64 files, qint64 bytes, const QStringList &names);
    /// queueFile: 1 the file went, 0 it cannot go so now, -1 it failed (why: queueFailure()).
    Q_INVOKABLE int tryQueueFile(const QString &path, const QString &announced, bool overwrite);
    Q_INVOKABLE QString queueFailure() const { return m_queueFailure; }
    Q_INVOKABLE int queuedFileCount() const { return queuedFiles(); }

signals:
    /// The peer closed the connection.
    void OnClose();
    /// A socket error, or a transfer that failed or was cut short. Number is the error's number
    /// when it fits 16 bits and 0 otherwise; Scode always carries the whole number (0 for the
    /// control's own texts). Description and CancelDisplay may be changed.
    void Error(qint16 Number, QString &Description, qint32 Scode, const QString &Source, const QString &HelpFile,
               qint32 HelpContext, platform::VariantBool &CancelDisplay);
    /// A text message arrived.
    void ReciveMessage(const QString &Message);
    /// A file was received (or was already present, or created empty); its name is ReciveFilePath.
    void ReciveFile(double &FileSize);
    /// A peer offers a file, held for the host to answer (setHoldOffers).
    void fileOffered(const sender::FileOffer &offer);
    /// The offer that waited is no longer waiting: accepted, declined (by the host or its time
    /// limit), or gone with the connection or a send of our own.
    void offerSettled(bool accepted);
    /// A control message of the peer was taken whole (a message, a file's header, an answer),
    /// whatever came of it: the peer speaks the protocol, unlike a stray probe.
    void controlMessageTaken();
    /// A transfer continues one that broke, on either side: its first `fromBytes` bytes were
    /// already at the receiver and do not cross again (a peer that checks files only).
    void transferResumed(double fromBytes);
    /// A peer announces a batch, held for the host to answer with answerOffer (setHoldOffers).
    void batchOffered(const sender::BatchOffer &offer);
    /// A batch a peer announced is taken (by the rules, or by the host's answer): its files follow.
    void batchTaken(const sender::BatchOffer &offer);
    /// The peer accepted or declined the batch offerBatch announced (declined also when it did
    /// not answer in time, or the connection ended).
    void batchAnswered(bool accepted);
    /// A file sent by queueFile is settled: `received` whole and checked by the peer, else why not.
    void queuedFileSettled(const QString &announced, double size, bool received, const QString &why);

private:
    void fireEvent(FileSenderEvent id, QVariantList &args);
    void raiseErrorEvent(qint32 number, const QString &description);
    void showMessage(const QString &text);
    void notifyChanged(const char *name);
    void refuseReadOnlyPut();
    void EndTransfer();
    void openTransferFile(const QString &path, platform::FileAccess access);
    /// Opens the file behind `descriptor` (taken over) as the transfer file.
    void adoptTransferFile(int descriptor);
    void closeTransferFile();

    void onConnectionRequest(qint32 requestID);
    void onDataArrival(qint32 bytesTotal);
    void onFramedArrival();
    void onFileNote(platform::Transport::Note note, const QByteArray &payload);
    /// A file note out of turn or malformed: the transfer fails, nothing received is kept.
    void refuseFileNote();
    /// The checked send handed on its last byte: its digest goes once the stream read it all.
    void finishCheckedSend();
    void resumeReceiveFrom(qint64 from);
    /// Every byte is there (and checked, where the peer checks files): the target is replaced
    /// and the peer told.
    void completeReceive();
    void handleControlMessage(const QByteArray &message);
    void deliverMessage(const QByteArray &text);
    void onPeerStopped();
    void onSocketClose();
    void onSocketError(qint16 number, QString &description, qint32 scode, const QString &source,
                       const QString &helpFile, qint32 helpContext, bool &cancelDisplay);

    void processArrival(QByteArray data);
    bool continuePendingHeader(QByteArray &data);
    void receiveHeader(const QByteArray &arrival);
    void refusePendingHeader();
    void answer(const char *tag);
    void handleAnswer(wire::Tag tag);
    void handleHeader(const QString &payload);
    struct HeldOffer;
    void takeOffer(HeldOffer &offer);
    void dropOffer();
    /// Opens the hidden file an accepted offer is received into: one kept from a try of the
    /// same peer that broke, continued, or a new one. Returns its descriptor and the bytes held.
    /// The hidden file a receive writes into, and what it holds from a try that broke.
    struct OpenedPart
    {
        int file = -1;
        qint64 held = 0;
        std::optional<platform::FileDigest> heldDigest; ///< when kept with it
    };
    OpenedPart openPartFile(HeldOffer &offer);
    void beginArrival();
    void receiveFileData();
    QByteArray handleFileData(const QByteArray &data);
    void takeFileData(qint64 take);
    void failReceive(const platform::AutomationError &e);
    bool EnsureFolder(const QString &path);
    void commitPartFile();
    void discardPartFile();
    /// A receive that ends without its file: what a peer that checks files sent is kept for it
    /// to continue, anything else discarded.
    void setAsidePartFile();
    void finishReceive();
    bool sourceChanged() const;
    void sendSlice();
    void continueChunkLater();
    void checkAnswerWait();
    void failTransfer(const platform::AutomationError &e);
    /// A note of a batch: the peer's announcement, or its answer to ours.
    void onBatchNote(platform::Transport::Note note, const QByteArray &payload);
    /// Takes the batch offer that waits, or declines it.
    void answerBatch(bool accept);
    /// Whether a header announcing `path` of `size` bytes may be taken without asking the host:
    /// it belongs to the batch accepted. False (the header refused) when a batch runs and it
    /// does not belong to it.
    bool admitToBatch(const QString &path, double size, bool &inBatch);
    bool takeBatchRoom(qint64 size);
    /// The peer's answer to the oldest file sent by queueFile.
    void takeQueuedAnswer(wire::Tag tag);
    /// Every file sent by queueFile and not answered fails with `why`; with `closing`, the
    /// connection ends too (its answers can no longer be told apart).
    void dropQueued(const QString &why, bool closing);
    void settleQueued(const OutgoingFiles::Settled &settled);
    /// Time kept for the batch answer and the queued files' answers, once a second.
    void checkBatchWait();

    FileSenderFields m_state;
    platform::SocketComponent MySock;
    platform::Timer SendTimer;
    platform::Timer TimeCount;
    QLabel *Label1 = nullptr;

    FileSenderDispatch m_dispatch{*this};
    platform::ControlSite *m_site = nullptr;
    QList<platform::EventSink *> m_sinks;
    bool m_ownsFile = false; ///< FileNumber names a file this control opened and has not closed
    bool m_pathFromHeader = false; ///< ReciveFilePath was taken from a header, not set by the host
    QByteArray m_partialTag; ///< the start of a tag that arrived alone, kept for the next arrival
    QByteArray m_pendingHeader; ///< a header the network split, held until its rest arrives
    QTimer m_headerTimeout;     ///< refuses a held header whose rest never comes, counted from its first piece
    MessageAssembler m_messages{[this] { return MySock.BytesReceived() > 0; }}; ///< a message the network may have split
    std::unique_ptr<ReceiveFolder> m_receiveFolder; ///< where received files are kept, when set
    PartFile m_part;             ///< the hidden file being received into
    WriteBehind m_writeBehind;   ///< keeps little of the hidden file in the page cache
    bool m_holdOffers = false;   ///< offers wait for the host's answer
    bool m_refusingOffers = false; ///< every offer is refused at once
    std::unique_ptr<HeldOffer> m_heldOffer; ///< the offer that waits, with what accepting it needs
    QTimer m_offerTimeout;       ///< declines an offer the host leaves unanswered
    qint64 m_chunkOwed = 0;     ///< bytes of the current chunk still to go out, slice by slice
    bool m_sliceQueued = false; ///< the next slice is already on its way
    qint16 m_answerWaitTicks = 0; ///< TimeCount ticks a sender with nothing left to send has waited
    qint64 m_sourceSize = -1;     ///< the file being sent, as it was when the send started ...
    qint64 m_sourceModifiedNsec = 0; ///< ... so that a change during the send is found
    TransferCheck m_check;        ///< the whole-file check and resume of the transfer, when the peer checks files
    std::optional<KeptPart> m_kept; ///< the entry that keeps the receive's hidden file for its peer
    bool m_digestWhenDrained = false; ///< the checked send's digest goes once everything is handed on
    OutgoingFiles m_outgoing;         ///< files sent by queueFile, not answered yet
    QString m_queueFailure;           ///< why tryQueueFile failed last
    bool m_batchAccepted = false;     ///< the peer accepted the batch we announced
    qint64 m_batchFilesLeft = 0;      ///< what of our announced batch is not sent yet
    double m_batchBytesLeft = 0;
    qint16 m_batchWaitTicks = -1;     ///< seconds our announcement waited for its answer (-1: none awaited)
    std::optional<IncomingBatch> m_incoming; ///< the batch a peer announced and we accepted
    bool m_receivingInBatch = false;         ///< the file being received came in an accepted batch
    std::optional<BatchOffer> m_heldBatch;   ///< a peer's batch announcement that waits for our host
};

} // namespace sender
