#pragma once
// Finding the peers that announce themselves on the network.

#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>

#include <map>
#include <tuple>

struct AvahiServiceBrowser;
struct AvahiServiceResolver;

namespace discovery {

class DiscoveryClient;

/// A listening peer found on the network.
struct DiscoveredPeer
{
    QString name;    ///< its instance name
    QString address; ///< the address to show: its first IPv4 one, else its first IPv6 one, as text
    QStringList addresses; ///< every address it was found at, IPv6 (link-local with its zone) first
    quint16 port = 0;
    bool secure = false;     ///< it takes secure connections (TXT "sec=1")
    QString fingerprint;     ///< the start of its fingerprint, in hex, as it announces it (TXT "fp=")

    bool operator==(const DiscoveredPeer &) const = default;
};

/// Browses for `_velmora._tcp` services from construction on and resolves each to an address
/// and a port: an IPv4 one where it was seen over IPv4, an IPv6 one where it was seen over IPv6.
/// A peer is known by its instance name: seen on several interfaces or over both families, it
/// is reported with every address found (again as more are found); it is gone when the last of
/// them withdrew it. Services of the same DiscoveryClient (a
/// host's own announcement) are left out.
class ServiceBrowser : public QObject
{
    Q_OBJECT
public:
    explicit ServiceBrowser(DiscoveryClient &client, QObject *parent = nullptr);
    ~ServiceBrowser() override;

    /// The peers found so far, by name.
    QList<DiscoveredPeer> peers() const { return m_peers.values(); }

signals:
    /// A peer appeared, or its address or port changed.
    void peerFound(const discovery::DiscoveredPeer &peer);
    /// The peer of that name left.
    void peerGone(const QString &name);
    /// Browsing stopped: the daemon refused it, with the reason.
    void failed(const QString &why);
    /// The daemon refused to resolve a service it announced, with its reason (the limit of
    /// objects it keeps for one client, say): from now on some peers may go unlisted. Raised
    /// once.
    void limitReached(const QString &why);

private:
    // One sighting of a service: the interface and protocol it was seen on, its name and domain.
    using Key = std::tuple<int, int, QString, QString>;
    struct Sighting
    {
        AvahiServiceResolver *resolver = nullptr;
        bool resolved = false;
        DiscoveredPeer peer;
    };

    static void browsed(AvahiServiceBrowser *, int interface, int protocol, int event, const char *name,
                        const char *type, const char *domain, int flags, void *self);
    static void resolved(AvahiServiceResolver *, int interface, int protocol, int event, const char *name,
                         const char *domain, const char *address, quint16 port, const QList<QByteArray> &text,
                         void *self);
    void settle(const QString &name);
    void start();
    void stop();
    void forget();

    DiscoveryClient &m_client;
    AvahiServiceBrowser *m_browser = nullptr;
    std::map<Key, Sighting> m_sightings;
    QMap<QString, DiscoveredPeer> m_peers; ///< reported peers by name
    bool m_limitSaid = false;
};

} // namespace discovery
