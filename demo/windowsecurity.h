#pragma once
// The window's secure connections: a listening window takes secure peers beside plaintext ones
// and shows the code that pairs a new one (a new code on the user's asking, from the panel's
// menu); connecting to a peer that announces secure mode, or to one paired before whatever it
// announces, speaks TLS, asking for its code the first time; the status bar shows a lock and the
// peer's pinned name and short fingerprint while a connection is secure, and what became of the
// last stranger that tried to connect or to pair.

#include "servicebrowser.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>

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

    /// Shows its state in `panel`, whose menu offers a new pairing code.
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
    /// TLS when it announces secure mode or is paired, with its code when it is not paired yet.
    /// False when the user cancelled the code, or (with `refusal` set) when the peer must not
    /// be connected to: it announces a paired name with another key.
    bool connecting(const discovery::DiscoveredPeer *peer, QString *refusal);
    /// The user asks for a new pairing code (it ends a pause after wrong codes).
    void newCode();
    /// Called with the socket's state on every tick of the window.
    void update(int state);
    /// The code that pairs now ("" while none stands).
    QByteArray pairingCode() const;

private:
    QLabel *m_panel;
    std::unique_ptr<secure::SecureConnector> m_connector;
    CodePrompt m_prompt;
    platform::SocketComponent *m_socket = nullptr; ///< the control's, once attached
    QString m_refusal;     ///< what became of the last stranger, while listening
    QString m_wrongGuess;  ///< the last wrong guess at the code, until a new code
};
