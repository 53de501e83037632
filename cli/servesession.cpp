#include "servesession.h"

#include "clisession.h"
#include "desktopnotifier.h"
#include "listenerwatch.h"
#include "partfile.h"
#include "secureconnector.h"

#include <QCoreApplication>
#include <QDir>
#include <QHostAddress>
#include <QJsonDocument>
#include <QTextStream>
#include <QTimer>

#include <sys/socket.h>

namespace {

QString peerAddress(int descriptor)
{
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    if (::getpeername(descriptor, reinterpret_cast<sockaddr *>(&storage), &length) != 0)
        return QStringLiteral("a peer");
    bool mapped = false;
    const QHostAddress address(reinterpret_cast<sockaddr *>(&storage));
    const quint32 v4 = address.toIPv4Address(&mapped);
    return mapped ? QHostAddress(v4).toString() : address.toString();
}

} // namespace

ServeSession::ServeSession(const CliOptions &options, std::unique_ptr<secure::SecureConnector> secure)
    : m_options(options)
    , m_secure(std::move(secure))
    , m_guard(options.timeoutSeconds, &sender::PartFile::discardAllNow)
{
    connect(&m_guard, &ExitGuard::endRequested, this, [this](int status, const QString &why) {
        QTextStream(stderr) << "velmora-cli: " << why << "\n" << Qt::flush;
        m_listener.Close();
        for (const auto &peer : std::exchange(m_peers, {}))
            peer->endNow(status); // what was under way is reported
        QCoreApplication::exit(status);
    });
    if (m_options.accepting == CliOptions::Accepting::Ask || m_options.accepting == CliOptions::Accepting::Paired)
        m_terminal = std::make_unique<TerminalAsker>();
    connect(&m_listener, &platform::SocketComponent::connectionRequest, this, &ServeSession::onRequest);
    watchListener(m_listener, m_secure.get(), this, [this](const QString &text, const QJsonObject &json) { print(text, json); });
}

ServeSession::~ServeSession()
{
    m_peers.clear(); // their connections go before the connector
}

int ServeSession::run()
{
    QTimer::singleShot(0, this, &ServeSession::start);
    return QCoreApplication::exec();
}

QList<QByteArray> ServeSession::announcedText() const
{
    return announcedSecurity(m_secure.get());
}

void ServeSession::print(const QString &text, const QJsonObject &json)
{
    QTextStream out(stdout);
    out << (m_options.json ? QString::fromUtf8(QJsonDocument(json).toJson(QJsonDocument::Compact)) : text) << "\n";
}

void ServeSession::start()
{
    m_sendService = std::make_unique<SendService>(
        QCoreApplication::applicationFilePath(),
        [this](const QString &text, const QString &event, const QString &peer, const QString &detail) {
            print(text, {{"event", event}, {"peer", peer}, {"detail", detail}});
        });
    QString why;
    if (!m_sendService->publish(&why))
        QTextStream(stderr) << "velmora-cli: other programs cannot send through this receiver: " << why << "\n"
                            << Qt::flush;
    if (m_options.receiveDir) {
        QDir().mkpath(*m_options.receiveDir);
        warnOfSharedFolder(*m_options.receiveDir);
    }
    if (m_options.accepting != CliOptions::Accepting::All && m_options.accepting != CliOptions::Accepting::None
        && !DesktopNotifier().available())
        QTextStream(stderr) << "velmora-cli: no desktop notification service: offers are asked about on the terminal\n"
                            << Qt::flush;
    try {
        if (m_secure)
            m_listener.setTransportProvider(m_secure.get());
        m_listener.setAllowedPeers(m_options.allowed);
        m_listener.setLocalPort(m_options.port);
        m_listener.setLocalAddress(m_options.listenAddress);
        m_listener.Listen();
    } catch (const platform::AutomationError &e) {
        print(QStringLiteral("error %1: %2").arg(e.number).arg(e.description),
              {{"event", "error"}, {"number", e.number}, {"description", e.description}});
        QCoreApplication::exit(1);
        return;
    }
    const quint16 port = quint16(m_listener.LocalPort());
    print(QStringLiteral("listening: %1").arg(port), {{"event", "listening"}, {"port", port}});
    if (m_secure)
        m_secure->setPairing(!m_options.noPair);
    emit listeningChanged(port);
}

void ServeSession::onRequest(qint32 requestId)
{
    if (m_peers.size() >= size_t(MaxPeers)) {
        // Every place is taken: the longest-connected peer that has said nothing makes room.
        const auto silent = std::find_if(m_peers.begin(), m_peers.end(), [](const auto &p) { return !p->peerSpoke(); });
        if (silent == m_peers.end()) {
            const QString address = peerAddress(requestId);
            print(QStringLiteral("refused: %1 (%2 peers are connected)").arg(address).arg(MaxPeers),
                  {{"event", "refused"}, {"peer", address}, {"reason", QStringLiteral("busy")}});
            return; // closed once this handler returns
        }
        const QString address = (*silent)->peerAddress();
        print(QStringLiteral("dropped: %1 (made room for another peer)").arg(address),
              {{"event", "dropped"}, {"peer", address}});
        (*silent)->endNow(0);
    }
    auto peer = std::make_unique<CliSession>(m_options, m_secure.get(), requestId, m_terminal.get());
    CliSession *session = peer.get();
    connect(session, &CliSession::ended, this, [this, session] {
        const auto it = std::find_if(m_peers.begin(), m_peers.end(), [&](const auto &p) { return p.get() == session; });
        if (it == m_peers.end())
            return;
        it->release()->deleteLater(); // from inside its own signal
        m_peers.erase(it);
    });
    m_peers.push_back(std::move(peer));
    session->start(); // takes the connection now: a request not taken in this handler is closed
}
