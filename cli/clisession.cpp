#include "clisession.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonDocument>
#include <QTextStream>

#include <cstdio>
#include <unistd.h>

namespace {

// How often a run looks at its control: for the progress bar, and for what no notification reports.
constexpr int PollMsec = 100;
// A listener drops a peer that has sent nothing for this long after connecting.
constexpr int SilentPeerMsec = 10000;
// Between a message and what follows it: longer than the peer's quiet period, so that each
// message arrives as one and is not joined to the next.
constexpr int MessageGapMsec = 4 * sender::FileSender::MessageQuietMsec;

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

// Text from the peer on one line: control characters (and line and paragraph separators) are
// escaped, so that it can neither start a line of its own nor steer the terminal.
QString escapedForLine(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        switch (u) {
        case u'\n':
            out += QStringLiteral("\\n");
            continue;
        case u'\r':
            out += QStringLiteral("\\r");
            continue;
        case u'\t':
            out += QStringLiteral("\\t");
            continue;
        case 0x1b:
            out += QStringLiteral("\\e");
            continue;
        default:
            break;
        }
        if (u < 0x20 || u == 0x7f || (u >= 0x80 && u < 0xa0))
            out += QStringLiteral("\\x%1").arg(int(u), 2, 16, QLatin1Char('0'));
        else if (u == 0x2028 || u == 0x2029)
            out += QStringLiteral("\\u%1").arg(int(u), 4, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

} // namespace

CliSession::CliSession(const CliOptions &options)
    : m_options(options)
    , m_guard(options.timeoutSeconds)
{
    m_control.setSite(this);
    m_control.initNew();
    m_progressWanted = !options.json && isatty(STDERR_FILENO);
    connect(&m_control, &sender::FileSender::Error, this, &CliSession::onError);
    connect(&m_control, &sender::FileSender::ReciveMessage, this, &CliSession::onMessage);
    connect(&m_control, &sender::FileSender::ReciveFile, this, &CliSession::onFile);
    connect(&m_control, &sender::FileSender::OnClose, this, &CliSession::onClose);
    // Runs after the control's own arrival handling: a send that just ended is seen before a close.
    connect(&m_control.socket(), &platform::SocketComponent::dataArrival, this, &CliSession::afterArrival);
    connect(&m_guard, &ExitGuard::endRequested, this, [this](int status, const QString &why) {
        clearProgress();
        err() << "velmora-cli: " << why << "\n" << Qt::flush;
        endNow(status);
    });
    m_silentPeer.setSingleShot(true);
    m_silentPeer.setInterval(SilentPeerMsec);
    connect(&m_silentPeer, &QTimer::timeout, this, [this] {
        if (m_peerSpoke || m_phase != Phase::Waiting)
            return;
        const QString peer = m_control.RemoteHostIP();
        print(QStringLiteral("dropped: %1 (sent nothing in %2 s)").arg(peer).arg(SilentPeerMsec / 1000),
              {{"event", "dropped"}, {"peer", peer}});
        listenAgain();
    });
    m_fileToSend = options.sendFile;
    // Everything that moves a run on is a notification; the poll only shows progress, and
    // catches what no notification reports.
    connect(&m_control.socket(), &platform::SocketComponent::connected, this, &CliSession::noticeConnection);
    connect(&m_control.socket(), &platform::SocketComponent::sendComplete, this, &CliSession::exitWhenFlushed);
    connect(&m_control.socket(), &platform::SocketComponent::closed, this, &CliSession::exitWhenFlushed);
    m_poll.setInterval(PollMsec);
    connect(&m_poll, &QTimer::timeout, this, &CliSession::poll);
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
    m_poll.stop();
    m_phase = Phase::Finishing;
    m_control.CloseAll();
    QCoreApplication::exit(status);
}

void CliSession::afterArrival()
{
    // Runs after the control's own arrival handling.
    m_peerSpoke = true;
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
    const auto &f = m_control.fields();
    print(QStringLiteral("send failed: %1 (%2)").arg(m_fileToSend, reason),
          {{"event", "send-failed"}, {"path", m_fileToSend}, {"reason", reason}, {"sent", f.DoneBytes},
           {"size", f.TotalBytes}});
}

void CliSession::listenAgain()
{
    // A peer that left without a word (a port scan, a health check) is not the peer we wait for.
    m_silentPeer.stop();
    m_control.CloseAll();
    m_phase = Phase::Connecting;
    m_nextSay = 0;
    m_sendStarted = false;
    m_sendFailed = false;
    m_options.sendFile = m_fileToSend;
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

void CliSession::start()
{
    try {
        m_control.setBufferSize(m_options.chunk);
        m_control.setInterval(m_options.intervalMsec);
        if (m_options.receivePath)
            m_control.setReciveFilePath(QFileInfo(*m_options.receivePath).absoluteFilePath());
        if (m_options.listen) {
            m_control.setLocalPort(m_options.port);
            m_control.Listen();
            m_listenPort = quint16(m_control.LocalPort());
            print(QStringLiteral("listening: %1").arg(m_control.LocalPort()),
                  {{"event", "listening"}, {"port", m_control.LocalPort()}});
            emit listeningChanged(m_listenPort);
        } else {
            m_control.Connect(m_options.host, int(m_options.port));
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
    const QString peer = m_control.RemoteHostIP();
    print(QStringLiteral("connected: %1").arg(peer), {{"event", "connected"}, {"peer", peer}});
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
            const bool more = m_nextSay < m_options.say.size() || !m_options.sendFile.isEmpty();
            QTimer::singleShot(more ? MessageGapMsec : 0, this, &CliSession::nextAction);
        });
        waiter->start();
        return;
    }
    if (!m_options.sendFile.isEmpty() && !m_sendStarted) {
        m_sendStarted = true;
        try {
            m_transferClock.start();
            // Our chunk size, whatever block size a peer's header left in the control.
            m_control.setBufferSize(m_options.chunk);
            m_control.SendFile(m_options.sendFile, m_options.overwrite);
        } catch (const platform::AutomationError &e) {
            QString description = e.description;
            if (e.number == platform::err::BadFileNameOrNumber && m_control.ReciveFilePath().contains(u'|'))
                description += QStringLiteral(": the path announced to the peer may not hold \"|\"");
            print(QStringLiteral("error %1: %2").arg(e.number).arg(description),
                  {{"event", "error"}, {"number", e.number}, {"description", description}});
            finish(1);
        }
        return;
    }
    finish(0);
}

void CliSession::afterSend()
{
    const QString path = m_options.sendFile;
    m_options.sendFile.clear();
    if (m_sendFailed) {
        reportSendFailed(m_lastError);
        finish(1);
        return;
    }
    m_sendStarted = false;
    const double size = m_control.fields().TotalBytes;
    print(QStringLiteral("sent: %1 (%2 bytes)").arg(path).arg(qint64(size)),
          {{"event", "sent"}, {"path", path}, {"size", size}});
    nextAction();
}

void CliSession::finish(int status)
{
    if (m_phase == Phase::Finishing)
        return;
    clearProgress();
    m_status = status;
    m_phase = Phase::Finishing;
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
    QCoreApplication::exit(m_status);
}

void CliSession::showProgress()
{
    if (!m_progressWanted)
        return;
    if (m_progressClock.isValid() && m_progressClock.elapsed() < 200)
        return;
    if (!m_transferClock.isValid())
        m_transferClock.start();
    m_progressClock.start();
    const auto &f = m_control.fields();
    const int percent = m_control.ProgressValue();
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
    print(QStringLiteral("error %1: %2").arg(number).arg(description),
          {{"event", "error"}, {"number", number}, {"description", description}});
    // An error that leaves a receive behind (released, or a write that failed) ends the run.
    if (m_receiving && m_control.transferState() != sender::TransferState::Receiving) {
        reportIncomplete();
        finish(1);
    } else if (m_sendStarted) {
        m_sendFailed = true;
        // A send that failed without an arrival (in a tick, say) is seen once the handler is done.
        QTimer::singleShot(0, this, [this] {
            if (m_phase == Phase::Acting && m_sendStarted && m_control.Busy() == platform::VariantFalse)
                afterSend();
        });
    } else if (m_control.State() != platform::SocketComponent::Connected) {
        finish(1);
    }
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
    const QString path = m_control.ReciveFilePath();
    print(QStringLiteral("file: %1 (%2 bytes)").arg(escapedForLine(path)).arg(qint64(size)),
          {{"event", "file"}, {"path", path}, {"size", size}});
    if (m_options.once)
        QTimer::singleShot(0, this, [this] { finish(0); });
}

void CliSession::onClose()
{
    if (reportIncomplete()) {
        print(QStringLiteral("closed"), {{"event", "closed"}});
        finish(1);
        return;
    }
    if (m_options.listen && !m_peerSpoke && m_phase != Phase::Finishing) {
        listenAgain();
        return;
    }
    if (m_sendStarted)
        reportSendFailed(QStringLiteral("connection closed after %1").arg(bytesSoFar()));
    print(QStringLiteral("closed"), {{"event", "closed"}});
    if (m_phase == Phase::Waiting)
        finish(0);
    else
        finish(1);
}
