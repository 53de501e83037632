#include "clisession.h"

#include "identity.h"
#include "lineescape.h"
#include "listenerwatch.h"
#include "pairing.h"
#include "shownsize.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QTextStream>

#include <cstdio>
#include <utility>
#include <unistd.h>

namespace {

// How often a run looks at its control: for the progress bar, and for what no notification reports.
constexpr int PollMsec = 100;
// A listener drops a peer that has sent nothing for this long after connecting.
constexpr int SilentPeerMsec = 10000;
// Between a message and what follows it: longer than the peer's quiet period, so that each
// message arrives as one and is not joined to the next.
constexpr int MessageGapMsec = 4 * sender::FileSender::MessageQuietMsec;
// The longest pause between two tries of --retry.
constexpr int MaxRetryPauseMsec = 30000;

QTextStream &out()
{
    static QTextStream s(stdout);
    return s;
}

QTextStream &err()
{
    static QTextStream s(stderr);
    return s;
}

} // namespace

CliSession::CliSession(const CliOptions &options, std::unique_ptr<secure::SecureConnector> secure)
    : m_options(options)
    , m_ownSecure(std::move(secure))
    , m_secure(m_ownSecure.get())
    , m_guard(std::make_unique<ExitGuard>(options.timeoutSeconds, &sender::PartFile::discardAllNow))
{
    connect(m_guard.get(), &ExitGuard::endRequested, this, [this](int status, const QString &why) {
        clearProgress();
        err() << "velmora-cli: " << why << "\n" << Qt::flush;
        endNow(status);
    });
    if (m_options.accepting != CliOptions::Accepting::All && m_options.accepting != CliOptions::Accepting::None) {
        m_ownTerminal = std::make_unique<TerminalAsker>();
        m_terminal = m_ownTerminal.get();
    }
    setUp();
}

CliSession::CliSession(const CliOptions &options, secure::SecureConnector *secure, qint32 requestId,
                       TerminalAsker *terminal)
    : m_options(options)
    , m_secure(secure)
    , m_requestId(requestId)
    , m_terminal(terminal)
{
    setUp();
}

CliSession::~CliSession() = default;

void CliSession::setUp()
{
    m_control.setSite(this);
    m_control.initNew();
    m_progressWanted = m_options.progress || (!m_options.json && !m_options.serve && isatty(STDERR_FILENO));
    connect(&m_control, &sender::FileSender::Error, this, &CliSession::onError);
    connect(&m_control, &sender::FileSender::ReciveMessage, this, &CliSession::onMessage);
    connect(&m_control, &sender::FileSender::ReciveFile, this, &CliSession::onFile);
    connect(&m_control, &sender::FileSender::OnClose, this, &CliSession::onClose);
    connect(&m_control, &sender::FileSender::controlMessageTaken, this, [this] { m_peerSpoke = true; });
    connect(&m_control, &sender::FileSender::transferResumed, this, [this](double from) {
        const QString path = m_sendStarted ? m_current.file : m_control.ReciveFilePath();
        if (m_sendStarted)
            m_resumedFrom = from;
        print(QStringLiteral("resumed: %1 from %2").arg(escapedForLine(path), shownBinarySize(qint64(from))),
              {{"event", "resumed"}, {"path", path}, {"from", from}});
    });
    connect(&m_control, &sender::FileSender::batchAnswered, this, &CliSession::onBatchAnswered);
    connect(&m_control, &sender::FileSender::queuedFileSettled, this, &CliSession::onQueuedSettled);
    connect(&m_control, &sender::FileSender::batchTaken, this, [this](const sender::BatchOffer &offer) {
        // A batch is announced first thing, within the arrival that brings it: the connection
        // is reported before it, so that the lines keep their order and name the paired peer.
        noticeConnection();
        const QString peer = m_securePeer.isEmpty() ? offer.peer : m_securePeer;
        print(QStringLiteral("batch: %1 files (%2 bytes) from %3").arg(offer.files).arg(offer.bytes).arg(escapedForLine(peer)),
              {{"event", "batch"}, {"files", double(offer.files)}, {"bytes", double(offer.bytes)}, {"peer", peer}});
        // One progress for the files of the batch as they arrive.
        m_batchIncoming = true;
        m_batchFiles = offer.files;
        m_batchBytes = offer.bytes;
        m_batchFilesDone = m_batchBytesDone = 0;
    });
    // Runs after the control's own arrival handling: a send that just ended is seen before a close.
    connect(&m_control.socket(), &platform::SocketComponent::dataArrival, this, &CliSession::afterArrival);
    m_silentPeer.setSingleShot(true);
    m_silentPeer.setInterval(SilentPeerMsec);
    connect(&m_silentPeer, &QTimer::timeout, this, [this] {
        if (m_peerSpoke || m_phase != Phase::Waiting)
            return;
        const QString peer = m_control.RemoteHostIP();
        print(QStringLiteral("dropped: %1 (sent no message in %2 s)").arg(peer).arg(SilentPeerMsec / 1000),
              {{"event", "dropped"}, {"peer", peer}});
        nextPeer();
    });
    if (m_options.receiveDir) {
        QDir().mkpath(*m_options.receiveDir);
        m_control.setReceiveFolder(*m_options.receiveDir);
        if (m_requestId < 0)
            warnOfSharedFolder(*m_options.receiveDir); // a receiver says it once, at its start
    }
    m_control.socket().setAllowedPeers(m_options.allowed);
    if (m_requestId < 0)
        watchSecurity();
    if (m_options.serve) {
        m_notifier = std::make_unique<DesktopNotifier>();
        connect(m_notifier.get(), &DesktopNotifier::failed, this, [](const QString &why) {
            static bool said = false; // once for the whole receiver
            if (!std::exchange(said, true))
                err() << "velmora-cli: a desktop notification failed (" << why
                      << "); an offer nobody answers is declined\n" << Qt::flush;
        });
    }
    setUpAsking();
    // Everything that moves a run on is a notification; the poll only shows progress, and
    // catches what no notification reports.
    connect(&m_control.socket(), &platform::SocketComponent::connected, this, &CliSession::noticeConnection);
    connect(&m_control.socket(), &platform::SocketComponent::sendComplete, this, &CliSession::exitWhenFlushed);
    connect(&m_control.socket(), &platform::SocketComponent::closed, this, &CliSession::exitWhenFlushed);
    m_poll.setInterval(PollMsec);
    connect(&m_poll, &QTimer::timeout, this, &CliSession::poll);
}

void CliSession::watchSecurity()
{
    if (m_secure)
        m_control.socket().setTransportProvider(m_secure);
    watchListener(m_control.socket(), m_secure, this, [this](const QString &text, const QJsonObject &json) { print(text, json); });
}

void CliSession::reportSecurity()
{
    // Asked of the connection itself: the connector serves the other peers of a receiver too.
    const platform::Transport *transport = m_control.socket().transport();
    if (const auto peer = secure::SecureConnector::peerOf(transport)) {
        m_securePeer = peer->name; // the name it is pinned under here, whatever it calls itself
        const QString called = peer->calls.isEmpty() || peer->calls == peer->name
            ? QString()
            : QStringLiteral(" (calls itself %1)").arg(escapedForLine(peer->calls));
        print(QStringLiteral("secure: TLS 1.3, peer %1%2 %3 … (%4)")
                  .arg(escapedForLine(peer->name), called, secure::Identity::shown(peer->fingerprint).left(19),
                       peer->pairedNow ? QStringLiteral("paired now") : QStringLiteral("pinned")),
              {{"event", "secure"}, {"protocol", "TLS 1.3"}, {"peer", peer->name}, {"calls", peer->calls},
               {"fingerprint", QString::fromLatin1(peer->fingerprint.toHex())}, {"paired", peer->pairedNow},
               {"kernel_tls", secure::SecureConnector::kernelEncrypts(transport)}});
        return;
    }
    m_securePeer.clear();
    if (m_secure && m_options.listen && m_secure->inspectsAccepted())
        print(QStringLiteral("plaintext: legacy peer"), {{"event", "plaintext"}});
}

QList<QByteArray> CliSession::announcedText() const
{
    return announcedSecurity(m_secure);
}

int CliSession::run()
{
    QTimer::singleShot(0, this, &CliSession::start);
    return QCoreApplication::exec();
}

void CliSession::endNow(int status)
{
    // Whatever was under way is reported, then the connection is closed inside the event loop.
    reportIncomplete();
    if (m_sendStarted)
        reportSendFailed(QStringLiteral("stopped after %1").arg(bytesSoFar()));
    reportSendTotals();
    m_poll.stop();
    m_phase = Phase::Finishing;
    m_control.CloseAll();
    end(status);
}

void CliSession::end(int status)
{
    m_silentPeer.stop();
    if (m_requestId < 0)
        QCoreApplication::exit(status);
    else
        emit ended(status);
}

void CliSession::nextPeer()
{
    if (m_requestId >= 0) {
        finish(0); // a served peer that never spoke ends quietly
        return;
    }
    listenAgain();
}

void CliSession::endFailedReceive()
{
    if (!m_receiveFailed || m_control.transferState() == sender::TransferState::Receiving)
        return;
    m_receiveFailed = false;
    reportIncomplete();
    finish(1);
}

void CliSession::afterArrival()
{
    // Runs after the control's own arrival handling.
    endFailedReceive();
    if (m_control.transferState() == sender::TransferState::Receiving) {
        m_receiving = true;
        m_receivePath = m_control.ReciveFilePath();
    }
    if (m_phase == Phase::Acting && m_sendStarted && m_control.Busy() == platform::VariantFalse)
        afterSend(); // a send that just ended is seen before a close
}

QString CliSession::bytesSoFar() const
{
    const auto &f = m_control.fields();
    return QStringLiteral("%1 of %2 bytes").arg(qint64(f.DoneBytes)).arg(qint64(f.TotalBytes));
}

bool CliSession::reportIncomplete()
{
    if (!m_receiving)
        return false;
    m_receiving = false;
    const auto &f = m_control.fields();
    print(QStringLiteral("incomplete: %1 (%2)").arg(escapedForLine(m_receivePath), bytesSoFar()),
          {{"event", "incomplete"}, {"path", m_receivePath}, {"received", f.DoneBytes}, {"size", f.TotalBytes}});
    return true;
}

void CliSession::reportSendFailed(const QString &reason)
{
    m_sendStarted = false;
    ++m_failedFiles;
    const auto &f = m_control.fields();
    const QString &path = m_current.file;
    print(QStringLiteral("send failed: %1 (%2)").arg(escapedForLine(path), escapedForLine(reason)),
          {{"event", "send-failed"}, {"path", path}, {"reason", reason}, {"sent", f.DoneBytes}, {"size", f.TotalBytes}});
}

void CliSession::reportSendTotals()
{
    if (m_options.sendPaths.isEmpty() || m_totalsReported)
        return;
    m_totalsReported = true;
    const int files = int(m_files.count()) + m_files.failures();
    const double seconds = m_sendClock.isValid() ? m_sendClock.elapsed() / 1000.0 : 0.0;
    print(QStringLiteral("sent: %1 of %2 files (%3 bytes) in %4 s")
              .arg(m_sentFiles)
              .arg(files)
              .arg(m_sentBytes)
              .arg(seconds, 0, 'f', 3),
          {{"event", "sent-all"}, {"sent", m_sentFiles}, {"files", files}, {"bytes", double(m_sentBytes)},
           {"seconds", seconds}});
}

void CliSession::reportReceiveTotals()
{
    const double seconds = m_receiveClock.isValid() ? m_receiveClock.elapsed() / 1000.0 : 0.0;
    print(QStringLiteral("received: %1 files (%2 bytes) in %3 s").arg(m_receivedFiles).arg(m_receivedBytes).arg(seconds, 0, 'f', 3),
          {{"event", "received-all"}, {"files", m_receivedFiles}, {"bytes", double(m_receivedBytes)},
           {"seconds", seconds}});
}

void CliSession::listenAgain()
{
    // A peer that left without a word (a port scan, a health check) is not the peer we wait for.
    m_silentPeer.stop();
    m_control.CloseAll();
    m_securePeer.clear();
    m_phase = Phase::Connecting;
    m_nextSay = 0;
    m_files.rewind();
    forgetBatch();
    m_sentFiles = 0;
    m_failedFiles = 0;
    m_sentBytes = 0;
    m_sendStarted = false;
    m_sendFailed = false;
    try {
        m_control.setLocalPort(m_listenPort);
        m_control.Listen();
    } catch (const platform::AutomationError &e) {
        print(QStringLiteral("error %1: %2").arg(e.number).arg(e.description),
              {{"event", "error"}, {"number", e.number}, {"description", e.description}});
        finish(1);
        return;
    }
    print(QStringLiteral("listening: %1").arg(m_listenPort), {{"event", "listening"}, {"port", m_listenPort}});
    emit listeningChanged(m_listenPort);
}

int CliSession::messageBox(const QString &text, int, const QString &)
{
    clearProgress();
    err() << text << "\n" << Qt::flush;
    m_sendFailed = true;
    QTimer::singleShot(0, this, [this] { finish(1); });
    return 1;
}

void CliSession::print(const QString &text, const QJsonObject &json)
{
    clearProgress();
    if (m_options.json)
        out() << QString::fromUtf8(QJsonDocument(json).toJson(QJsonDocument::Compact)) << "\n";
    else
        out() << text << "\n";
    out().flush();
}

void CliSession::print(const QString &text, std::initializer_list<QPair<QString, QJsonValue>> json)
{
    print(text, m_options.json ? QJsonObject(json) : QJsonObject());
}

void CliSession::start()
{
    m_files = SendList(m_options.sendPaths, m_options.receivePath, [this](const SendSkipped &s) {
        print(QStringLiteral("skipped: %1 (%2)").arg(escapedForLine(s.path), escapedForLine(s.reason)),
              {{"event", "skipped"}, {"path", s.path}, {"reason", s.reason}});
    });
    try {
        m_control.setBufferSize(m_options.chunk);
        m_control.setInterval(m_options.intervalMsec);
        if (m_options.receivePath)
            m_control.setReciveFilePath(QFileInfo(*m_options.receivePath).absoluteFilePath());
        if (m_requestId >= 0) {
            m_control.socket().Accept(m_requestId); // connected() comes from the event loop
        } else if (m_options.listen) {
            m_control.setLocalPort(m_options.port);
            m_control.socket().setLocalAddress(m_options.listenAddress);
            m_control.Listen();
            m_listenPort = quint16(m_control.LocalPort());
            print(QStringLiteral("listening: %1").arg(m_control.LocalPort()),
                  {{"event", "listening"}, {"port", m_control.LocalPort()}});
            if (m_secure)
                m_secure->setPairing(!m_options.noPair);
            emit listeningChanged(m_listenPort);
        } else {
            connectToPeer();
        }
    } catch (const platform::AutomationError &e) {
        print(QStringLiteral("error %1: %2").arg(e.number).arg(e.description),
              {{"event", "error"}, {"number", e.number}, {"description", e.description}});
        finish(1);
        return;
    }
    m_poll.start();
}

void CliSession::poll()
{
    switch (m_phase) {
    case Phase::Connecting:
        if (m_control.State() == platform::SocketComponent::Connected)
            connected();
        break;
    case Phase::Acting:
        if (m_sendStarted && m_control.Busy() == platform::VariantFalse)
            afterSend();
        break;
    case Phase::Waiting:
        break;
    case Phase::Finishing:
        exitWhenFlushed();
        return;
    }
    if (m_control.Busy() != platform::VariantFalse)
        showProgress();
}

void CliSession::noticeConnection()
{
    // An arrival can come before the next poll: the connection is reported first.
    if (m_phase == Phase::Connecting && m_control.State() == platform::SocketComponent::Connected)
        connected();
}

void CliSession::connected()
{
    reportSecurity();
    const QString peer = m_control.RemoteHostIP();
    print(QStringLiteral("connected: %1").arg(peer), {{"event", "connected"}, {"peer", peer}});
    m_receiveClock.start();
    if (m_requestId < 0)
        emit listeningChanged(0);
    if (m_options.hasActions()) {
        m_phase = Phase::Acting;
        nextAction();
    } else {
        m_phase = Phase::Waiting;
        if (m_options.listen && !m_peerSpoke)
            m_silentPeer.start();
    }
}

void CliSession::nextAction()
{
    if (m_phase != Phase::Acting)
        return;
    if (m_nextSay < m_options.say.size()) {
        const QString text = m_options.say[m_nextSay++];
        try {
            m_control.SendMessage(text);
        } catch (const platform::AutomationError &e) {
            print(QStringLiteral("error %1: %2").arg(e.number).arg(e.description),
                  {{"event", "error"}, {"number", e.number}, {"description", e.description}});
            finish(1);
            return;
        }
        // Each message reaches the peer alone: wait until it is written, then pause.
        auto *waiter = new QTimer(this);
        waiter->setInterval(5);
        connect(waiter, &QTimer::timeout, this, [this, waiter] {
            if (m_control.socket().bytesToWrite() > 0)
                return;
            waiter->deleteLater();
            // The gap keeps this message apart from what follows; the last one needs none.
            const bool more = m_nextSay < m_options.say.size() || m_files.count() > 0;
            QTimer::singleShot(more ? MessageGapMsec : 0, this, &CliSession::nextAction);
        });
        waiter->start();
        return;
    }
    if (m_sendStarted || sendBatched())
        return;
    if (const std::optional<SendItem> item = m_files.next()) {
        startSend(*item);
        return;
    }
    reportSendTotals();
    finish(m_failedFiles + m_files.failures() > 0 ? 1 : 0);
}

void CliSession::connectToPeer()
{
    // A peer found on the network is tried at every address it was found at.
    if (m_options.addresses.size() > 1)
        m_control.socket().connectToAny(m_options.addresses, int(m_options.port));
    else
        m_control.Connect(m_options.host, int(m_options.port));
}

void CliSession::startSend(const SendItem &item)
{
    if (!m_sendClock.isValid())
        m_sendClock.start();
    m_current = item;
    m_resumedFrom = 0;
    m_sendStarted = true;
    m_sendFailed = false;
    m_lastError.clear();
    try {
        m_transferClock.start();
        // Our chunk size, whatever block size a peer's header left in the control.
        m_control.setBufferSize(m_options.chunk);
        m_control.setReciveFilePath(item.announced);
        m_control.SendFile(item.file, m_options.overwrite);
    } catch (const platform::AutomationError &e) {
        QString description = e.description;
        if (e.number == platform::err::BadFileNameOrNumber && item.announced.contains(u'|'))
            description += QStringLiteral(": the path announced to the peer may not hold \"|\"");
        print(QStringLiteral("error %1: %2").arg(e.number).arg(description),
              {{"event", "error"}, {"number", e.number}, {"description", description}});
        reportSendFailed(description);
        settleBatchFile(item.size);
        QTimer::singleShot(0, this, &CliSession::nextAction); // the run goes on with the next file
    }
}

bool CliSession::retryLater(const QString &why)
{
    const bool filesLeft = m_sendStarted || m_files.left() > 0;
    if (m_options.listen || m_requestId >= 0 || m_phase == Phase::Finishing || !filesLeft
        || m_retriesMade >= m_options.retries)
        return false;
    const int pauseMsec = qMin(1000 << qMin(m_retriesMade, 5), MaxRetryPauseMsec);
    ++m_retriesMade;
    // Files of a batch not answered go again, and so does the file that broke, from where the
    // peer holds it.
    std::vector<SendItem> again(m_queued.begin(), m_queued.end());
    if (std::exchange(m_sendStarted, false))
        again.push_back(m_current);
    m_files.giveBack(again);
    forgetBatch();
    clearProgress();
    print(QStringLiteral("retrying: in %1 s, try %2 of %3 (%4)")
              .arg(pauseMsec / 1000)
              .arg(m_retriesMade)
              .arg(m_options.retries)
              .arg(escapedForLine(why)),
          {{"event", "retrying"}, {"seconds", pauseMsec / 1000}, {"try", m_retriesMade}, {"tries", m_options.retries},
           {"reason", why}});
    m_phase = Phase::Connecting;
    m_control.CloseAll();
    QTimer::singleShot(pauseMsec, this, [this] {
        if (m_phase != Phase::Connecting)
            return;
        try {
            connectToPeer();
        } catch (const platform::AutomationError &e) {
            print(QStringLiteral("error %1: %2").arg(e.number).arg(e.description),
                  {{"event", "error"}, {"number", e.number}, {"description", e.description}});
            giveUp();
        }
    });
    return true;
}

void CliSession::afterSend()
{
    if (m_sendFailed) {
        reportSendFailed(m_lastError); // refused or failed: the next file still goes
    } else {
        m_sendStarted = false;
        m_retriesMade = 0; // a file got through: the next break has every try again
        const double size = m_control.fields().TotalBytes;
        ++m_sentFiles;
        m_sentBytes += qint64(size);
        print(QStringLiteral("sent: %1 (%2 bytes)").arg(escapedForLine(m_current.file)).arg(qint64(size)),
              {{"event", "sent"}, {"path", m_current.file}, {"size", size}, {"resumed", m_resumedFrom}});
    }
    settleBatchFile(qint64(m_control.fields().TotalBytes));
    nextAction();
}

void CliSession::settleBatchFile(qint64 size)
{
    // Sent or failed, a file of the batch we send is done with; the progress goes to the
    // batch's end, as a batch received does.
    if (m_batchFiles <= 0 || m_batchIncoming)
        return;
    ++m_batchFilesDone;
    m_batchBytesDone += size;
    if (m_batchFilesDone >= m_batchFiles)
        showProgress(true);
}

void CliSession::finish(int status)
{
    if (m_phase == Phase::Finishing)
        return;
    clearProgress();
    m_status = status;
    m_phase = Phase::Finishing;
    // A run that ends takes no more files, whatever still arrives while its last answers go out.
    m_control.setRefusingOffers(true);
    m_waitingForFlush = m_control.State() == platform::SocketComponent::Connected;
    if (!m_poll.isActive())
        m_poll.start();
    exitWhenFlushed();
}

void CliSession::exitWhenFlushed()
{
    // What is still queued (a last message, an answer) goes out before the connection closes.
    if (m_phase != Phase::Finishing || (m_waitingForFlush && m_control.State() == platform::SocketComponent::Connected
                                        && m_control.socket().bytesToWrite() > 0))
        return;
    m_poll.stop();
    m_control.CloseAll();
    end(m_status);
}

void CliSession::showProgress(bool now)
{
    if (!m_progressWanted)
        return;
    if (!now && m_progressClock.isValid() && m_progressClock.elapsed() < 200)
        return;
    if (!m_transferClock.isValid())
        m_transferClock.start();
    m_progressClock.start();
    const auto &f = m_control.fields();
    if (m_batchFiles > 0) {
        // One progress for the whole batch: files and bytes done of its totals.
        const bool inFile = m_batchIncoming ? m_receiving : m_sendStarted;
        const double done = double(m_batchBytesDone) + (inFile ? f.DoneBytes : 0.0);
        if (m_options.json) {
            print(QString(), {{"event", "progress"}, {"files", double(m_batchFilesDone)}, {"of", double(m_batchFiles)},
                              {"done", done}, {"size", double(m_batchBytes)}, {"sending", !m_batchIncoming}});
            return;
        }
        const int percent = m_batchBytes > 0 ? int(done * 100 / double(m_batchBytes)) : 0;
        const int filled = qBound(0, percent * 30 / 100, 30);
        err() << "\r[" << QString(filled, u'#') << QString(30 - filled, u' ') << "] " << m_batchFilesDone << "/"
              << m_batchFiles << " files  " << qint64(done) << "/" << m_batchBytes << " bytes" << Qt::flush;
        m_progressShown = true;
        return;
    }
    const int percent = m_control.ProgressValue();
    if (m_options.json) {
        const QString path = m_sendStarted ? m_current.file : m_control.ReciveFilePath();
        print(QString(), {{"event", "progress"}, {"path", path}, {"done", f.DoneBytes}, {"size", f.TotalBytes},
                          {"sending", m_sendStarted}});
        return;
    }
    const int filled = qBound(0, percent * 30 / 100, 30);
    const double seconds = qMax(0.001, m_transferClock.elapsed() / 1000.0);
    const double rate = f.DoneBytes / seconds / 1e6;
    err() << "\r[" << QString(filled, u'#') << QString(30 - filled, u' ') << "] " << qSetFieldWidth(3) << percent
          << qSetFieldWidth(0) << "%  " << QString::number(rate, 'f', 1) << " MB/s  " << qint64(f.DoneBytes) << "/"
          << qint64(f.TotalBytes) << " bytes" << Qt::flush;
    m_progressShown = true;
}

void CliSession::clearProgress()
{
    if (!m_progressShown)
        return;
    err() << "\r\033[K" << Qt::flush;
    m_progressShown = false;
}

void CliSession::onError(qint16 number, QString &description, qint32, const QString &, const QString &, qint32,
                         platform::VariantBool &cancelDisplay)
{
    cancelDisplay = platform::VariantTrue; // shown here already
    m_lastError = description;
    print(QStringLiteral("error %1: %2").arg(number).arg(escapedForLine(description)),
          {{"event", "error"}, {"number", number}, {"description", description}});
    if (m_control.transferState() == sender::TransferState::Receiving) {
        // The receive's own error (a write that failed): the control ends the receive once this
        // handler returns, and the run with it, before anything else arrives.
        m_receiving = true;
        m_receivePath = m_control.ReciveFilePath();
        m_receiveFailed = true;
        QTimer::singleShot(0, this, &CliSession::endFailedReceive);
    } else if (m_receiving) {
        // A receive released (the peer went silent) ends the run.
        m_receiveFailed = true;
        endFailedReceive();
    } else if (m_control.State() != platform::SocketComponent::Connected && m_phase == Phase::Acting
               && retryLater(description)) {
        return; // the connection broke under the send: it goes again on the next
    } else if (m_sendStarted) {
        m_sendFailed = true;
        // A send that failed without an arrival (in a tick, say) is seen once the handler is done.
        QTimer::singleShot(0, this, [this] {
            if (m_phase == Phase::Acting && m_sendStarted && m_control.Busy() == platform::VariantFalse)
                afterSend();
        });
    } else if (m_options.listen && m_phase == Phase::Connecting) {
        nextPeer(); // a peer that could not be taken: the next may
    } else if (m_control.State() != platform::SocketComponent::Connected && !retryLater(description)) {
        giveUp();
    }
}

void CliSession::giveUp()
{
    // A run with files to send ends with its totals, also when it cannot connect (again).
    reportSendTotals();
    finish(1);
}

void CliSession::onMessage(const QString &text)
{
    noticeConnection();
    print(QStringLiteral("message: ") + escapedForLine(text), {{"event", "message"}, {"text", text}});
}

void CliSession::onFile(double &size)
{
    noticeConnection();
    m_receiving = false;
    m_receiveFailed = false;
    ++m_receivedFiles;
    m_receivedBytes += qint64(size);
    const QString path = m_control.ReciveFilePath();
    print(QStringLiteral("file: %1 (%2 bytes)").arg(escapedForLine(path)).arg(qint64(size)),
          {{"event", "file"}, {"path", path}, {"size", size}});
    if (m_batchIncoming) {
        ++m_batchFilesDone;
        m_batchBytesDone += qint64(size);
        const bool last = m_batchFilesDone >= m_batchFiles;
        showProgress(last); // the last file's always
        if (last) {
            m_batchIncoming = false;
            m_batchFiles = 0;
        }
    }
    if (m_notifier && notificationsAvailable()) {
        const QString peer = m_securePeer.isEmpty() ? m_control.RemoteHostIP() : m_securePeer;
        m_notifier->received(QFileInfo(path).fileName(), qint64(size), peer, QFileInfo(path).absolutePath());
    }
    if (m_options.once) {
        // The files of a batch follow each other without a pass of the event loop between
        // them: the next one is refused now, not once the run has ended.
        m_control.setRefusingOffers(true);
        QTimer::singleShot(0, this, [this] { finish(0); });
    }
}

void CliSession::onClose()
{
    if (reportIncomplete()) {
        print(QStringLiteral("closed"), {{"event", "closed"}});
        finish(1);
        return;
    }
    if (m_options.listen && !m_peerSpoke && m_phase != Phase::Finishing) {
        nextPeer();
        return;
    }
    if (m_phase == Phase::Acting && retryLater(QStringLiteral("connection closed after %1").arg(bytesSoFar())))
        return;
    if (m_sendStarted)
        reportSendFailed(QStringLiteral("connection closed after %1").arg(bytesSoFar()));
    if (m_phase == Phase::Acting)
        reportSendTotals();
    if (m_phase == Phase::Waiting && !m_options.once && m_receivedFiles > 0)
        reportReceiveTotals();
    print(QStringLiteral("closed"), {{"event", "closed"}});
    finish(m_phase == Phase::Waiting ? 0 : 1);
}
