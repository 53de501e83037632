#include "windowsecurity.h"

#include "discoveryclient.h"
#include "identity.h"
#include "pairing.h"
#include "secureconnector.h"
#include "socketcomponent.h"

#include <QLabel>
#include <QTextStream>

WindowSecurity::WindowSecurity(QLabel *panel, QObject *parent)
    : QObject(parent)
    , m_panel(panel)
{
}

WindowSecurity::~WindowSecurity() = default;

void WindowSecurity::attach(platform::SocketComponent &socket)
{
    QString why;
    auto identity = secure::Identity::loadOrCreate(secure::Identity::defaultFolder(), &why);
    secure::KnownPeers peers;
    if (!identity || !peers.load(&why)) {
        QTextStream(stderr) << "velmora: secure connections are off: " << why << "\n";
        return;
    }
    m_connector = std::make_unique<secure::SecureConnector>(std::move(*identity), std::move(peers),
                                                            discovery::defaultInstanceName());
    socket.setTransportProvider(m_connector.get());
    connect(m_connector.get(), &secure::SecureConnector::secured, this,
            [this](const QString &peer, const QByteArray &fingerprint, bool) {
                m_securedText = QStringLiteral("\U0001F512 %1 %2").arg(peer, secure::Identity::shown(fingerprint).left(9));
            });
    connect(m_connector.get(), &secure::SecureConnector::plaintextPeer, this, [this] { m_securedText.clear(); });
    connect(m_connector.get(), &secure::SecureConnector::setupFailed, this,
            [this](bool accepted, const QString &) { m_listenAgain = accepted; });
}

void WindowSecurity::setName(const QString &name)
{
    if (m_connector && !name.isEmpty())
        m_connector->setOwnName(name);
}

void WindowSecurity::listening()
{
    m_securedText.clear();
    m_listenAgain = false;
    if (!m_connector)
        return;
    m_connector->setAccepting(secure::SecureConnector::Accepting::Both);
    if (m_connector->pairingCode().isEmpty())
        m_connector->setPairing(true);
    m_connector->setConnectSecurely(false);
}

bool WindowSecurity::connecting(const discovery::DiscoveredPeer *peer)
{
    m_securedText.clear();
    m_listenAgain = false;
    if (!m_connector)
        return true;
    const bool secure = peer && peer->secure;
    m_connector->setConnectSecurely(secure);
    m_connector->setPairingCode(QByteArray());
    m_connector->setExpectedName(secure ? peer->name : QString());
    m_connector->setAnnouncedFingerprint(secure ? peer->fingerprint : QString());
    if (!secure)
        return true;
    if (m_connector->knownPeers().pairedWithAnnounced(peer->name, peer->fingerprint))
        return true; // paired before: the pin holds
    for (QString text = m_prompt ? m_prompt(peer->name) : QString(); !text.isEmpty();) {
        if (const auto code = secure::PairingRun::parseCode(text)) {
            m_connector->setPairingCode(*code);
            return true;
        }
        text = m_prompt(peer->name); // six digits, as the peer shows them
    }
    return false;
}

void WindowSecurity::update(int state)
{
    QString text;
    if (state == platform::SocketComponent::Listening && m_connector && !m_connector->pairingCode().isEmpty())
        text = QStringLiteral("配对码 ") + secure::PairingRun::shownCode(m_connector->pairingCode());
    else if (state == platform::SocketComponent::Connected)
        text = m_securedText;
    if (m_panel->text() != text)
        m_panel->setText(text);
}
