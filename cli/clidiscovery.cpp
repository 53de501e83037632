#include "clidiscovery.h"

#include "discoveryclient.h"
#include "serviceannouncer.h"
#include "servicebrowser.h"
#include "exitguard.h"
#include "lineescape.h"

#include <QEventLoop>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTextStream>
#include <QTimer>

namespace {

void printError(const QString &text)
{
    QTextStream(stderr) << "velmora-cli: " << text << "\n" << Qt::flush;
}

} // namespace

CliDiscovery::CliDiscovery(const CliOptions &options)
    : m_options(options)
{
}

secure::KnownPeers::Standing CliDiscovery::standingOf(const discovery::DiscoveredPeer &peer)
{
    QString why;
    m_known.load(&why); // unreadable: no peer shows as paired
    return m_known.standingOf(peer.name, peer.fingerprint);
}

CliDiscovery::~CliDiscovery()
{
    m_announcer.reset(); // withdrawn before the client goes
}

void CliDiscovery::print(const QString &text, const QJsonObject &json)
{
    QTextStream out(stdout);
    if (m_options.json)
        out << QString::fromUtf8(QJsonDocument(json).toJson(QJsonDocument::Compact)) << "\n";
    else
        out << text << "\n";
}

void CliDiscovery::sayUnavailable(const QString &why)
{
    printError(QStringLiteral("discovery unavailable: ") + why);
}

int CliDiscovery::browse(const QString &whyUnavailable,
                         const std::function<void(discovery::ServiceBrowser &, QEventLoop &)> &setUp)
{
    discovery::DiscoveryClient client;
    discovery::ServiceBrowser browser(client);
    ExitGuard termination(0);
    QEventLoop loop;
    auto unavailable = [&](const QString &why) {
        sayUnavailable(why + whyUnavailable);
        loop.exit(cliexit::Failed);
    };
    connect(&client, &discovery::DiscoveryClient::unavailable, &loop, unavailable);
    connect(&browser, &discovery::ServiceBrowser::failed, &loop, unavailable);
    connect(&client, &discovery::DiscoveryClient::reconnecting, &loop, [](const QString &why) {
        printError(why + QStringLiteral("; peers are looked for again once it is back"));
    });
    connect(&browser, &discovery::ServiceBrowser::limitReached, &loop, [](const QString &why) {
        printError(QStringLiteral("the Avahi daemon resolves no more peers for this program (%1); some are not "
                                  "listed")
                       .arg(why));
    });
    connect(&termination, &ExitGuard::endRequested, &loop, [&](int status, const QString &why) {
        printError(why);
        loop.exit(status);
    });
    setUp(browser, loop);
    return loop.exec();
}

int CliDiscovery::listPeers()
{
    // What was said of each peer: found again at one more address, it is said again only where
    // that shows (the JSON event lists every address, a line the one it shows).
    QHash<QString, QString> said;
    return browse(QString(), [this, &said](discovery::ServiceBrowser &browser, QEventLoop &loop) {
        connect(&browser, &discovery::ServiceBrowser::peerFound, this, [this, &said](const discovery::DiscoveredPeer &peer) {
            using Standing = secure::KnownPeers::Standing;
            const Standing standing = standingOf(peer);
            const bool paired = standing == Standing::Paired;
            const QString how = standing == Standing::Impostor
                ? QStringLiteral(" (possible impostor: not the key paired under this name)")
                : peer.secure || paired ? (paired ? QStringLiteral(" (secure, paired)") : QStringLiteral(" (secure)"))
                                        : QString();
            const QString line = QStringLiteral("peer: %1 %2:%3%4").arg(escapedForLine(peer.name), peer.address).arg(peer.port).arg(how);
            const QJsonObject event{{"event", "peer"}, {"name", peer.name}, {"host", peer.address}, {"port", peer.port},
                                    {"addresses", QJsonArray::fromStringList(peer.addresses)},
                                    {"secure", peer.secure || paired}, {"paired", paired},
                                    {"impostor", standing == Standing::Impostor}};
            const QString shown = m_options.json ? QString::fromUtf8(QJsonDocument(event).toJson()) : line;
            if (std::exchange(said[peer.name], shown) != shown)
                print(line, event);
        });
        connect(&browser, &discovery::ServiceBrowser::peerGone, this, [this, &said](const QString &name) {
            said.remove(name);
            print(QStringLiteral("gone: ") + escapedForLine(name), {{"event", "gone"}, {"name", name}});
        });
        if (m_options.timeoutSeconds > 0)
            QTimer::singleShot(m_options.timeoutSeconds * 1000, &loop, [&loop] { loop.exit(cliexit::Done); });
    });
}

int CliDiscovery::lookUp(CliOptions &options)
{
    const QString suffix = QStringLiteral("; cannot look for the peer ") + escapedForLine(options.peerName);
    QTimer resolutionDelay;
    return browse(suffix, [this, &options, &resolutionDelay](discovery::ServiceBrowser &browser, QEventLoop &loop) {
        // Instance names compare without regard to case, as DNS names do.
        connect(&browser, &discovery::ServiceBrowser::peerFound, &loop, [&](const discovery::DiscoveredPeer &peer) {
            if (peer.name.compare(options.peerName, Qt::CaseInsensitive) != 0)
                return;
            using Standing = secure::KnownPeers::Standing;
            const Standing standing = standingOf(peer);
            if (standing == Standing::Impostor) {
                // Whoever announces a paired name with another key is not let in by a hunch.
                printError(QStringLiteral("\"%1\" is announced with a key other than the one paired under that name: "
                                          "it may be an impostor. If the peer was reinstalled, forget it "
                                          "(velmora-cli --forget %1) and pair again")
                               .arg(escapedForLine(options.peerName)));
                loop.exit(cliexit::Failed);
                return;
            }
            options.host = peer.address;
            options.port = peer.port;
            options.addresses.clear();
            for (const QString &address : peer.addresses)
                options.addresses.append(QHostAddress(address));
            // A peer that announces secure mode, and a paired one whatever it announces, is
            // spoken to securely.
            if (options.secure == CliOptions::Security::Unset && (peer.secure || standing == Standing::Paired))
                options.secure = CliOptions::Security::Auto;
            options.announcedFingerprint = peer.fingerprint;
            // Found at an IPv6 address, it is connected to at once; found at IPv4 ones alone, its
            // IPv6 ones are given a moment to come too (RFC 8305's resolution delay).
            if (peer.addresses.value(0).contains(u':'))
                loop.exit(cliexit::Done);
            else if (!resolutionDelay.isActive())
                resolutionDelay.start();
        });
        resolutionDelay.setSingleShot(true);
        resolutionDelay.setInterval(ResolutionDelayMsec);
        connect(&resolutionDelay, &QTimer::timeout, &loop, [&loop] { loop.exit(cliexit::Done); });
        QTimer::singleShot(LookupMsec, &loop, [&] {
            printError(QStringLiteral("no peer named \"%1\" found within %2 s")
                           .arg(escapedForLine(options.peerName))
                           .arg(LookupMsec / 1000));
            loop.exit(cliexit::Failed);
        });
    });
}

void CliDiscovery::announce(std::function<QList<QByteArray>()> text)
{
    if (!m_options.listen || !m_options.announce)
        return;
    m_text = std::move(text);
    m_client = std::make_unique<discovery::DiscoveryClient>();
    m_announcer = std::make_unique<discovery::ServiceAnnouncer>(*m_client);
    connect(m_client.get(), &discovery::DiscoveryClient::unavailable, this,
            [this](const QString &why) { sayUnavailable(why + QStringLiteral("; the listener is not announced")); });
    connect(m_client.get(), &discovery::DiscoveryClient::reconnecting, this, [](const QString &why) {
        printError(why + QStringLiteral("; the listener is announced again once it is back"));
    });
    connect(m_announcer.get(), &discovery::ServiceAnnouncer::announced, this, [this](const QString &name) {
        print(QStringLiteral("announced: ") + escapedForLine(name), {{"event", "announced"}, {"name", name}});
    });
    connect(m_announcer.get(), &discovery::ServiceAnnouncer::failed, this,
            [](const QString &why) { printError(QStringLiteral("not announced: ") + why); });
}

void CliDiscovery::listening(quint16 port)
{
    if (!m_announcer)
        return;
    if (port != 0)
        m_announcer->announce(m_options.name, port, m_text());
    else
        m_announcer->withdraw();
}
