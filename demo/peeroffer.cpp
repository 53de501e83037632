#include "peeroffer.h"

#include "knownpeers.h"

#include <QAction>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QStyle>
#include <QTextStream>

PeerOffer::PeerOffer(QLineEdit *address, QLineEdit *port)
    : QObject(address)
    , m_address(address)
    , m_port(port)
    , m_menu(new QMenu(address))
    , m_open(address->addAction(address->style()->standardIcon(QStyle::SP_ArrowDown), QLineEdit::TrailingPosition))
{
    m_menu->setObjectName(QStringLiteral("peerMenu"));
    m_open->setToolTip(QStringLiteral("Peers found on the network (Down key)"));
    m_open->setVisible(false);
    connect(m_open, &QAction::triggered, this, &PeerOffer::showPeers);
    address->installEventFilter(this);
    connect(&m_browser, &discovery::ServiceBrowser::peerFound, this, &PeerOffer::refill);
    connect(&m_browser, &discovery::ServiceBrowser::peerGone, this, &PeerOffer::refill);
    // Said once on stderr, and where a user of the window looks: on the address box.
    auto unavailable = [this](const QString &why) {
        QTextStream(stderr) << "velmora: discovery unavailable: " << why << "\n";
        m_address->setToolTip(QStringLiteral("Discovery unavailable: ") + why);
    };
    connect(&m_client, &discovery::DiscoveryClient::unavailable, this, unavailable);
    connect(&m_browser, &discovery::ServiceBrowser::failed, this, unavailable);
    connect(&m_announcer, &discovery::ServiceAnnouncer::failed, this,
            [](const QString &why) { QTextStream(stderr) << "velmora: not announced: " << why << "\n"; });
}

PeerOffer::~PeerOffer()
{
    m_address->removeEventFilter(this);
}

void PeerOffer::listening(quint16 port)
{
    m_announcer.announce(m_name, port);
}

void PeerOffer::notListening()
{
    if (m_announcer.isAnnouncing())
        m_announcer.withdraw();
}

std::optional<discovery::DiscoveredPeer> PeerOffer::peerAt(const QString &address, quint16 port) const
{
    for (const discovery::DiscoveredPeer &peer : m_browser.peers()) {
        if (peer.address == address.trimmed() && peer.port == port)
            return peer;
    }
    return std::nullopt;
}

void PeerOffer::refill()
{
    m_menu->clear();
    // Read again each time: a peer paired or forgotten meanwhile shows as it is now.
    secure::KnownPeers known;
    QString unreadable;
    known.load(&unreadable); // unreadable: no peer shows as paired
    for (const discovery::DiscoveredPeer &peer : m_browser.peers()) {
        using Standing = secure::KnownPeers::Standing;
        const Standing standing = known.standingOf(peer.name, peer.fingerprint);
        const QString how = standing == Standing::Paired ? QStringLiteral(", 已配对")
            : standing == Standing::Impostor             ? QStringLiteral(", 可能是冒充者")
                                                         : QString();
        QAction *pick = m_menu->addAction(QStringLiteral("%1  (%2:%3%4)")
                                              .arg(QString(peer.name).replace(u'&', QStringLiteral("&&")), peer.address)
                                              .arg(peer.port)
                                              .arg(how));
        connect(pick, &QAction::triggered, this, [this, peer] {
            m_address->setText(peer.address);
            m_port->setText(QString::number(peer.port));
        });
    }
    m_open->setVisible(!m_menu->isEmpty());
}

void PeerOffer::showPeers()
{
    refill(); // as the known peers are now
    if (m_menu->isEmpty())
        return;
    m_menu->popup(m_address->mapToGlobal(QPoint(0, m_address->height())));
    m_menu->setActiveAction(m_menu->actions().constFirst());
}

bool PeerOffer::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_address && event->type() == QEvent::KeyPress
        && static_cast<QKeyEvent *>(event)->key() == Qt::Key_Down && !m_menu->isEmpty()) {
        showPeers();
        return true;
    }
    return QObject::eventFilter(watched, event);
}
