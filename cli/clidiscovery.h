#pragma once
// Peer discovery for velmora-cli: --discover, --connect NAME and the announcement of a listener.

#include "clioptions.h"
#include "knownpeers.h"

#include <QJsonObject>
#include <QObject>

#include <functional>
#include <memory>

class CliSession;

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

    explicit CliDiscovery(const CliOptions &options);
    ~CliDiscovery() override;

    /// --discover: prints the peers as they come and go. Returns 0 at the time-out, 1 when
    /// discovery is unavailable, 128 + n when ended by signal n.
    int listPeers();
    /// --connect NAME: looks for the peer and puts its address and port into `options`. Returns 0
    /// when found, 1 when not found within LookupMsec or discovery is unavailable (said on stderr),
    /// 128 + n when ended by signal n.
    int lookUp(CliOptions &options);
    /// --listen: announces the session's listener while it listens, unless --no-announce.
    void announce(CliSession &session);

private:
    /// Browses for peers until `setUp`'s handlers (or a signal, or an unavailable daemon, said
    /// with `whyUnavailable` behind the reason) end the loop; returns its status.
    int browse(const QString &whyUnavailable,
               const std::function<void(discovery::ServiceBrowser &, QEventLoop &)> &setUp);
    void print(const QString &text, const QJsonObject &json);
    void sayUnavailable(const QString &why);
    /// Whether this user paired with the peer (by the fingerprint it announces).
    bool isPaired(const discovery::DiscoveredPeer &peer) const;

    CliOptions m_options;
    secure::KnownPeers m_known;
    std::unique_ptr<discovery::DiscoveryClient> m_client;
    std::unique_ptr<discovery::ServiceAnnouncer> m_announcer;
};
