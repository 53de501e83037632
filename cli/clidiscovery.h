#pragma once
// Peer discovery for velmora-cli: --discover, --connect NAME and the announcement of a listener.

#include "clioptions.h"
#include "knownpeers.h"

#include <QJsonObject>
#include <QObject>

#include <functional>
#include <memory>

class QEventLoop;

namespace discovery {
class ServiceBrowser;
class DiscoveryClient;
class ServiceAnnouncer;
struct DiscoveredPeer;
} // namespace discovery

class CliDiscovery : public QObject
{
    Q_OBJECT
public:
    /// How long --connect NAME looks for the peer.
    static constexpr int LookupMsec = 5000;
    /// How long a peer found at IPv4 addresses alone waits for IPv6 ones of its own.
    static constexpr int ResolutionDelayMsec = 50;

    explicit CliDiscovery(const CliOptions &options);
    ~CliDiscovery() override;

    /// --discover: prints the peers as they come and go. Returns 0 at the time-out, 1 when
    /// discovery is unavailable, 128 + n when ended by signal n.
    int listPeers();
    /// --connect NAME: looks for the peer and puts its address and port into `options`. Returns 0
    /// when found, 1 when not found within LookupMsec or discovery is unavailable (said on stderr),
    /// 128 + n when ended by signal n.
    int lookUp(CliOptions &options);
    /// --listen: announces the listener while it listens (see listening()), with the TXT entries
    /// `text` gives, unless --no-announce.
    void announce(std::function<QList<QByteArray>()> text);
    /// The listener listens on `port`, or (0) no more.
    void listening(quint16 port);

private:
    /// Browses for peers until `setUp`'s handlers (or a signal, or an unavailable daemon, said
    /// with `whyUnavailable` behind the reason) end the loop; returns its status.
    int browse(const QString &whyUnavailable,
               const std::function<void(discovery::ServiceBrowser &, QEventLoop &)> &setUp);
    void print(const QString &text, const QJsonObject &json);
    void sayUnavailable(const QString &why);
    /// What the peer's announcement is to this user, by the known peers as they are now.
    secure::KnownPeers::Standing standingOf(const discovery::DiscoveredPeer &peer);

    CliOptions m_options;
    secure::KnownPeers m_known;
    std::unique_ptr<discovery::DiscoveryClient> m_client;
    std::unique_ptr<discovery::ServiceAnnouncer> m_announcer;
    std::function<QList<QByteArray>()> m_text;
};
