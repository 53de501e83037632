#include "windowsecurity.h"

#include "discoveryclient.h"
#include "identity.h"
#include "knownpeers.h"
#include "pairing.h"
#include "secureconnector.h"
#include "socketcomponent.h"

#include <QAction>
#include <QLabel>
#include <QTextStream>

WindowSecurity::WindowSecurity(QLabel *panel, QObject *parent)
    : QObject(parent)
    , m_panel(panel)
{
    auto *renew = new QAction(QStringLiteral("新配对码"), m_panel);
    renew->setObjectName(QStringLiteral("newPairingCode"));
    connect(renew, &QAction::triggered, this, &WindowSecurity::newCode);
    m_panel->addAction(renew);
    m_panel->setContextMenuPolicy(Qt::ActionsContextMenu);
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
    m_socket = &socket;
    socket.setTransportProvider(m_connector.get());
    // Strangers never reach the control: what became of them is said here, one line at a time.
    connect(&socket, &platform::SocketComponent::admissionFailed, this,
            [this](const QString &address, const QString &why) { m_refusal = QStringLiteral("已拒绝 %1：%2").arg(address, why); });
    connect(m_connector.get(), &secure::SecureConnector::wrongCode, this,
            [this](const QString &address, const QString &calls, const QByteArray &, int left) {
                m_wrongGuess = QStringLiteral("错误配对码：来自 %1（%2），%3")
                             .arg(address, calls, left > 0 ? QStringLiteral("还可再试 %1 次").arg(left)
                                                            : QStringLiteral("配对码已作废"));
            });
}

void WindowSecurity::setName(const QString &name)
{
    if (m_connector && !name.isEmpty())
        m_connector->setOwnName(name);
}

void WindowSecurity::listening()
{
    if (!m_connector)
        return;
    m_connector->setAccepting(secure::SecureConnector::Accepting::Both);
    m_connector->setPairing(true); // a code that stands stays; none comes while a pause runs
    m_connector->setConnectSecurely(false);
}

void WindowSecurity::newCode()
{
    if (!m_connector)
        return;
    m_wrongGuess.clear();
    m_refusal.clear();
    m_connector->newCode();
}

bool WindowSecurity::connecting(const discovery::DiscoveredPeer *peer, QString *refusal)
{
    using Standing = secure::KnownPeers::Standing;
    m_refusal.clear();
    if (!m_connector)
        return true;
    const Standing standing = peer ? m_connector->knownPeers().standingOf(peer->name, peer->fingerprint) : Standing::Unknown;
    if (standing == Standing::Impostor) {
        *refusal = QStringLiteral("%1 的公布密钥与配对时的不同，可能是冒充者。若对方重装过，请先忘记它（velmora-cli --forget %1）再重新配对。")
                       .arg(peer->name);
        return false;
    }
    const bool secure = peer && (peer->secure || standing == Standing::Paired);
    m_connector->setConnectSecurely(secure);
    m_connector->setPairingCode(QByteArray());
    m_connector->setExpectedName(secure ? peer->name : QString());
    m_connector->setAnnouncedFingerprint(secure ? peer->fingerprint : QString());
    if (!secure || standing == Standing::Paired)
        return true; // plaintext, or paired before: the pin holds
    for (QString text = m_prompt ? m_prompt(peer->name) : QString(); !text.isEmpty();) {
        if (const auto code = secure::PairingRun::parseCode(text)) {
            m_connector->setPairingCode(*code);
            return true;
        }
        text = m_prompt(peer->name); // six digits, as the peer shows them
    }
    return false;
}

QByteArray WindowSecurity::pairingCode() const
{
    return m_connector ? m_connector->pairingCode() : QByteArray();
}

void WindowSecurity::update(int state)
{
    QString text;
    if (state == platform::SocketComponent::Listening && m_connector) {
        const QByteArray code = m_connector->pairingCode();
        const QDateTime paused = code.isEmpty() ? m_connector->pairingPausedUntil() : QDateTime();
        if (!code.isEmpty())
            text = QStringLiteral("配对码 ") + secure::PairingRun::shownCode(code);
        else if (paused.isValid())
            text = QStringLiteral("配对暂停至 %1（右键可换新配对码）").arg(paused.toLocalTime().toString(QStringLiteral("HH:mm:ss")));
        // A wrong guess says more than the refusal that follows it.
        if (const QString &note = m_wrongGuess.isEmpty() ? m_refusal : m_wrongGuess; !note.isEmpty())
            text += (text.isEmpty() ? QString() : QStringLiteral("  ")) + note;
    } else if (state == platform::SocketComponent::Connected && m_socket) {
        // Asked of the connection itself: the peer it holds, pinned under that name.
        if (const auto peer = secure::SecureConnector::peerOf(m_socket->transport())) {
            const QString called = peer->calls.isEmpty() || peer->calls == peer->name
                ? QString()
                : QStringLiteral("（自称 %1）").arg(peer->calls);
            text = QStringLiteral("\U0001F512 %1%2 %3").arg(peer->name, called, secure::Identity::shown(peer->fingerprint).left(9));
        }
    }
    if (m_panel->text() != text)
        m_panel->setText(text);
}
