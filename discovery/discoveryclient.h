#pragma once
// A connection to the Avahi daemon, for announcing and browsing peers with DNS-SD.

#include <QObject>
#include <QString>

#include <memory>

struct AvahiClient;

namespace discovery {

class AvahiQtPoll;

/// The DNS-SD service type of a listening peer.
inline constexpr char ServiceType[] = "_velmora._tcp";

/// The instance name a peer announces itself under when the user gives none: the host name.
QString defaultInstanceName();
/// Whether `name` can be announced (not empty, at most 63 bytes in UTF-8).
bool isValidInstanceName(const QString &name);

/// One connection to the Avahi daemon over the system bus, run by this thread's event loop.
/// It connects at once; ServiceAnnouncer and ServiceBrowser work through it. When a daemon it
/// was connected to goes away (a restart, say), it waits for the daemon to come back and
/// connects again.
class DiscoveryClient : public QObject
{
    Q_OBJECT
public:
    explicit DiscoveryClient(QObject *parent = nullptr);
    ~DiscoveryClient() override;

    /// The daemon's connection while discovery can be used, else null.
    AvahiClient *handle() const { return m_client; }
    /// True while the daemon has settled its host name, so services can be announced.
    bool isRunning() const { return m_running; }
    /// Why discovery cannot be used ("" while it can).
    QString unavailableReason() const { return m_reason; }

signals:
    /// Discovery cannot be used (no daemon, or it went away), with the reason. Emitted at most
    /// once, from the event loop, so a host connected right after construction still hears it.
    void unavailable(const QString &why);
    /// The daemon is running: services can be announced (again).
    void running();
    /// The daemon is (re)settling its host name: announcements are withdrawn until running().
    void suspended();
    /// The daemon went away: everything announced or browsed through it is gone, and
    /// running() follows once it is back.
    void reconnecting(const QString &why);

private:
    static void stateChanged(AvahiClient *client, int state, void *self);
    void connectToDaemon(int flags);
    void fail(int error);
    void reconnect();

    std::unique_ptr<AvahiQtPoll> m_poll;
    AvahiClient *m_client = nullptr;
    bool m_running = false;
    bool m_reconnecting = false; ///< the old connection is on its way out
    QString m_reason;
};

} // namespace discovery
