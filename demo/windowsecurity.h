#pragma once
// The window's secure connections: a listening window takes secure peers beside plaintext ones
// and shows the code that pairs a new one; connecting to a peer that announces secure mode
// speaks TLS, asking for its code the first time; the status bar shows a lock and the peer's
// short fingerprint while a connection is secure.

#include "servicebrowser.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <utility>

class QLabel;

namespace platform {
class SocketComponent;
}
namespace secure {
class SecureConnector;
}

class WindowSecurity : public QObject
{
    Q_OBJECT
public:
    /// Asks the user for the pairing code `peer` shows; "" when the user cancels.
    using CodePrompt = std::function<QString(const QString &peer)>;

    /// Shows its state in `panel`.
    explicit WindowSecurity(QLabel *panel, QObject *parent = nullptr);
    ~WindowSecurity() override;

    /// Secures the connections of `socket`, with this user's identity; without one (it cannot
    /// be read, say) the window stays plaintext and says why on stderr.
    void attach(platform::SocketComponent &socket);
    /// The name a secure peer pins this window under ("" = the host name).
    void setName(const QString &name);
    void setCodePrompt(CodePrompt prompt) { m_prompt = std::move(prompt); }

    /// Before the window listens: secure peers are taken beside plaintext ones, and a new one
    /// pairs with the code shown.
    void listening();
    /// Before the window connects to `peer` (the one found at the address given, or null):
    /// TLS when it announces secure mode, with its code when it is not paired yet. False when
    /// the user cancelled the code.
    bool connecting(const discovery::DiscoveredPeer *peer);
    /// Called with the socket's state on every tick of the window.
    void update(int state);
    /// Whether the window should listen again, asked once the connection's failure is reported:
    /// true once after a peer it accepted failed to set up a secure connection (a stranger, or a
    /// peer with a wrong code, should not end listening for the peer expected).
    bool takeListenAgain() { return std::exchange(m_listenAgain, false); }

private:
    QLabel *m_panel;
    std::unique_ptr<secure::SecureConnector> m_connector;
    CodePrompt m_prompt;
    QString m_securedText; ///< the lock and the peer, while its connection is secure
    bool m_listenAgain = false;
};
