#pragma once
// The window's peer discovery: found peers offered in the address box, the window announced
// while it listens.

#include "discoveryclient.h"
#include "serviceannouncer.h"
#include "servicebrowser.h"

#include <QObject>

#include <optional>

class QAction;
class QLineEdit;
class QMenu;

class PeerOffer : public QObject
{
    Q_OBJECT
public:
    /// Offers the peers found on the network in `address`: its arrow button, or the Down key,
    /// opens a menu of them, and picking one fills in `address` and `port`.
    PeerOffer(QLineEdit *address, QLineEdit *port);
    ~PeerOffer() override;

    /// The name to announce under ("" = the host name).
    void setName(const QString &name) { m_name = name; }
    /// Announces the window listening on `port` (in place of an earlier port).
    void listening(quint16 port);
    /// Withdraws the announcement.
    void notListening();

    /// The peer found at `address` and `port`, or nothing.
    std::optional<discovery::DiscoveredPeer> peerAt(const QString &address, quint16 port) const;
    /// The menu of found peers (one action per peer, in name order).
    QMenu *menu() const { return m_menu; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void showPeers();
    void refill();

    QLineEdit *m_address;
    QLineEdit *m_port;
    QString m_name;
    discovery::DiscoveryClient m_client;
    discovery::ServiceBrowser m_browser{m_client};
    discovery::ServiceAnnouncer m_announcer{m_client};
    QMenu *m_menu;
    QAction *m_open;
};
