#pragma once
// Announcing a listening peer on the network.

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

struct AvahiEntryGroup;

namespace discovery {

class DiscoveryClient;

/// Announces one listening port as a `_velmora._tcp` service while asked to. A name already
/// taken on the network is replaced by Avahi's alternative ("NAME #2", ...), and announced()
/// tells the name that stands.
class ServiceAnnouncer : public QObject
{
    Q_OBJECT
public:
    explicit ServiceAnnouncer(DiscoveryClient &client, QObject *parent = nullptr);
    /// Withdraws the announcement.
    ~ServiceAnnouncer() override;

    /// Announces `port` under `name` (the host name when empty), with the TXT record `text`
    /// ("key=value" strings), in place of any earlier announcement; waits for the daemon when
    /// it is still settling.
    void announce(const QString &name, quint16 port, const QList<QByteArray> &text = {});
    /// Withdraws the announcement (nothing happens when there is none).
    void withdraw();
    /// Whether an announcement is asked for (announced or on its way).
    bool isAnnouncing() const { return m_wanted; }

signals:
    /// The service stands under `name`: the name asked for, or its alternative after a clash.
    void announced(const QString &name);
    /// The daemon refused the announcement, with the reason.
    void failed(const QString &why);

private:
    static void groupChanged(AvahiEntryGroup *group, int state, void *self);
    void publish();
    void takeAlternativeName();
    void fail(const QString &why);

    DiscoveryClient &m_client;
    AvahiEntryGroup *m_group = nullptr;
    bool m_wanted = false;
    QByteArray m_name; ///< the name being announced, in UTF-8
    quint16 m_port = 0;
    QList<QByteArray> m_text;
};

} // namespace discovery
