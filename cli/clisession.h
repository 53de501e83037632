#pragma once
// One run of velmora-cli: connect or listen, perform the actions, print what happens.

#include "clioptions.h"
#include "desktopnotifier.h"
#include "offerasker.h"
#include "controlsite.h"
#include "filesender.h"
#include "exitguard.h"
#include "secureconnector.h"
#include "sendplan.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QTimer>

#include <deque>
#include <memory>

class CliSession : public QObject, public platform::ControlSite
{
    Q_OBJECT
public:
    /// A run of its own: `secure` secures the run's connections (null: plaintext only).
    CliSession(const CliOptions &options, std::unique_ptr<secure::SecureConnector> secure);
    /// One peer of a background receiver (ServeSession): takes the connection `requestId` its
    /// listener raised, secured by `secure` (the receiver's, or null), asking on `terminal` when
    /// no notification service answers. It ends with ended(), never the program.
    CliSession(const CliOptions &options, secure::SecureConnector *secure, qint32 requestId, TerminalAsker *terminal);
    ~CliSession() override;
    /// Runs to the end and returns the exit status: 0 done, 1 failed, 3 timed out,
    /// 130 / 143 ended by SIGINT / SIGTERM.
    int run();
    /// A served peer: starts taking its connection.
    void start();
    /// Whether the peer has sent a whole control message yet (a probe or a stray peer has not).
    bool peerSpoke() const { return m_peerSpoke; }
    /// The peer's address.
    QString peerAddress() const { return m_control.RemoteHostIP(); }
    /// Ends the run at once, reporting what was under way.
    void endNow(int status);

    // platform::ControlSite: the control's message boxes go to stderr and end the run.
    bool ambientUserMode() const override { return true; }
    void propertyChanged(const QString &) override {}
    int messageBox(const QString &text, int style, const QString &title) override;

    /// What a listener announces about itself beside its port (DNS-SD TXT entries): that it
    /// takes secure peers, and the start of its fingerprint.
    QList<QByteArray> announcedText() const;

signals:
    /// The run listens on `port`, or (0) it listens no more.
    void listeningChanged(quint16 port);
    /// A served peer's run ended, with its status.
    void ended(int status);

private:
    enum class Phase { Connecting, Acting, Waiting, Finishing };

    void setUp();
    void poll();
    void noticeConnection();
    void connected();
    void nextAction();
    void afterSend();
    /// The connection broke (or could not be made) with files still to go: with tries left of
    /// --retry, connects again after a pause that grows, and the file that broke goes again.
    bool retryLater(const QString &why);
    void finish(int status);
    void exitWhenFlushed();
    /// The run is over: the program ends, or a served peer's run.
    void end(int status);
    void listenAgain();
    /// A peer that never spoke is gone: a listener waits for the next, a served peer's run ends.
    void nextPeer();
    void afterArrival();
    bool reportIncomplete();
    void endFailedReceive();
    void reportSendFailed(const QString &reason);
    void reportSendTotals();
    void reportReceiveTotals();
    void connectToPeer();
    void startSend(const SendItem &item);
    /// Sends the files left as a batch, where the connection takes batches: announced once, the
    /// small ones back to back. True while the batch moves the run on (an answer or a settled
    /// file calls nextAction again); false when the next file goes on its own (or none is left).
    bool sendBatched();
    /// Whether a connection that broke now is tried again (--retry).
    bool willRetry() const;
    void onBatchAnswered(bool accepted);
    void onQueuedSettled(const QString &announced, double size, bool received, const QString &why);
    void onBatchOffer(const sender::BatchOffer &offer);
    /// Answers the offer that waits by the run's policy where it decides, else asks the user
    /// (a notification, or the terminal when it is free).
    void askAbout(const OfferQuestion &question);
    void forgetBatch();
    QString bytesSoFar() const;
    void print(const QString &text, const QJsonObject &json);
    /// The same, with the JSON object made only when it is printed: for lines printed per file.
    void print(const QString &text, std::initializer_list<QPair<QString, QJsonValue>> json);
    void watchSecurity();
    /// Says how the connection just made is secured, or that the accepted peer is a legacy one.
    void reportSecurity();
    /// Shows how far the transfer (a batch: all its files) is, at most every 200 ms unless `now`.
    void showProgress(bool now = false);
    /// Ends a run whose connection could not be made (again), with the totals of what it sent.
    void giveUp();
    /// Counts a file of the batch this side sends as done with (sent or failed).
    void settleBatchFile(qint64 size);
    void clearProgress();

    void onError(qint16 number, QString &description, qint32, const QString &, const QString &, qint32,
                 platform::VariantBool &);
    void onMessage(const QString &text);
    void onFile(double &size);
    void onClose();
    void setUpServing();
    void setUpAsking();
    void onOffer(const sender::FileOffer &offer);
    void onOfferSettled(bool accepted);
    /// Whether desktop notifications can be shown now; says once when they cannot.
    bool notificationsAvailable();

    CliOptions m_options;
    std::unique_ptr<secure::SecureConnector> m_ownSecure;
    secure::SecureConnector *m_secure = nullptr; ///< outlives the control's connections
    qint32 m_requestId = -1;     ///< a served peer: the connection to take
    sender::FileSender m_control;
    QTimer m_poll;
    Phase m_phase = Phase::Connecting;
    int m_nextSay = 0;
    SendList m_files;            ///< the files --send names, handed out as they go
    SendItem m_current;          ///< the one being sent
    int m_sentFiles = 0;
    int m_failedFiles = 0;
    qint64 m_sentBytes = 0;
    bool m_totalsReported = false;
    QElapsedTimer m_sendClock;   ///< from the first send
    int m_receivedFiles = 0;
    qint64 m_receivedBytes = 0;
    QElapsedTimer m_receiveClock; ///< from the connection
    quint16 m_listenPort = 0;    ///< the port actually listened on
    bool m_peerSpoke = false;    ///< the peer has sent something: a real peer, not a probe
    bool m_receiving = false;    ///< a file is being received
    bool m_receiveFailed = false; ///< it failed: the run ends once the control has let it go
    QString m_receivePath;       ///< where it goes
    QString m_lastError;         ///< the description of the last Error event
    std::unique_ptr<ExitGuard> m_guard; ///< a run of its own
    QTimer m_silentPeer;         ///< drops a peer that says nothing, so that a real one can come
    bool m_sendStarted = false;
    int m_retriesMade = 0;       ///< tries since the last file that got through
    double m_resumedFrom = 0;    ///< where the file being sent continued a broken try
    bool m_sendFailed = false;
    bool m_waitingForFlush = false;
    int m_status = 0;
    bool m_progressShown = false;
    bool m_progressWanted = false;
    QElapsedTimer m_transferClock;
    QElapsedTimer m_progressClock;
    QString m_securePeer;        ///< the paired peer of this connection ("" : none, or not secure)
    std::unique_ptr<DesktopNotifier> m_notifier; ///< --serve: the desktop's notifications
    std::unique_ptr<TerminalAsker> m_ownTerminal;
    TerminalAsker *m_terminal = nullptr;         ///< asks on the terminal where they cannot
    OfferAsker *m_asker = nullptr;               ///< the one asking about the offer that waits
    std::optional<sender::FileOffer> m_offer; ///< the offer that waits
    QString m_declined;          ///< why the offer that waits was declined, when this side did
    qint64 m_offerFiles = 1;     ///< files the offer that waits holds (a batch: more than one)
    enum class Batch { None, Offered, Accepted };
    Batch m_batch = Batch::None; ///< the batch of the files left, once the connection takes batches
    std::deque<SendItem> m_queued; ///< files of the batch sent and not yet answered, oldest first
    qint64 m_batchFiles = 0;     ///< the batch's files and bytes, and how many of them are done
    qint64 m_batchBytes = 0;
    qint64 m_batchFilesDone = 0;
    qint64 m_batchBytesDone = 0;
    bool m_batchIncoming = false; ///< the batch is one a peer sends us
};
