#pragma once
// One run of velmora-cli: connect or listen, perform the actions, print what happens.

#include "clioptions.h"
#include "desktopnotifier.h"
#include "offerasker.h"
#include "sendservice.h"
#include "controlsite.h"
#include "filesender.h"
#include "exitguard.h"
#include "secureconnector.h"
#include "sendplan.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QTimer>

#include <memory>

class CliSession : public QObject, public platform::ControlSite
{
    Q_OBJECT
public:
    /// `secure` secures the run's connections (null: plaintext only).
    CliSession(const CliOptions &options, std::unique_ptr<secure::SecureConnector> secure);
    /// Runs to the end and returns the exit status: 0 done, 1 failed, 3 timed out,
    /// 130 / 143 ended by SIGINT / SIGTERM.
    int run();

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

private:
    enum class Phase { Connecting, Acting, Waiting, Finishing };

    void start();
    void poll();
    void noticeConnection();
    void connected();
    void nextAction();
    void afterSend();
    void finish(int status);
    void exitWhenFlushed();
    void endNow(int status);
    void listenAgain();
    void afterArrival();
    bool reportIncomplete();
    void endFailedReceive();
    void reportSendFailed(const QString &reason);
    void reportSendTotals();
    void reportReceiveTotals();
    void startSend(const SendItem &item);
    QString bytesSoFar() const;
    void print(const QString &text, const QJsonObject &json);
    void watchSecurity();
    void showProgress();
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
    /// After a peer: a run that serves listens for the next; any other ends with `status`.
    void peerDone(int status);

    CliOptions m_options;
    std::unique_ptr<secure::SecureConnector> m_secure; ///< outlives the control's connections
    sender::FileSender m_control;
    QTimer m_poll;
    Phase m_phase = Phase::Connecting;
    int m_nextSay = 0;
    SendPlan m_plan;             ///< the files --send names, planned once
    qsizetype m_nextFile = 0;    ///< the next of them to send
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
    ExitGuard m_guard;
    QTimer m_silentPeer;         ///< drops a peer that says nothing, so that a real one can come
    bool m_sendStarted = false;
    bool m_sendFailed = false;
    bool m_waitingForFlush = false;
    int m_status = 0;
    bool m_progressShown = false;
    bool m_progressWanted = false;
    QElapsedTimer m_transferClock;
    QElapsedTimer m_progressClock;
    QString m_securePeer;        ///< the paired peer of this connection ("" : none, or not secure)
    std::unique_ptr<DesktopNotifier> m_notifier; ///< --serve: the desktop's notifications
    std::unique_ptr<TerminalAsker> m_terminal;   ///< asks on the terminal where they cannot
    OfferAsker *m_asker = nullptr;               ///< the one asking about the offer that waits
    bool m_saidNoNotifications = false;
    std::optional<sender::FileOffer> m_offer; ///< the offer that waits
    std::unique_ptr<SendService> m_sendService; ///< --serve: SendFiles for other programs
    QString m_declined;          ///< why the offer that waits was declined, when this side did
};
