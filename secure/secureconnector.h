#pragma once
// What a host hands its socket component to speak securely with peers of ours: this user's
// identity and known peers, whether to start TLS on connections it makes, what a listener
// accepts (plaintext peers too, or secure ones only), and the pairing code on either side.

#include "identity.h"
#include "knownpeers.h"
#include "transport.h"
#include "velmora_secure_export.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

typedef struct ssl_ctx_st SSL_CTX;

namespace secure {

class VELMORA_SECURE_EXPORT SecureConnector : public QObject, public platform::TransportProvider
{
    Q_OBJECT
public:
    /// What a listener takes: plaintext peers only (it never looks), both, or secure ones only.
    enum class Accepting { Plain, Both, SecureOnly };

    /// Pairing with a new peer is refused after this many wrong codes in a row, and a new code
    /// comes only after a pause that doubles each time from this.
    static constexpr int WrongCodesAllowed = 3;
    static constexpr int FirstPauseMsec = 30000;

    SecureConnector(Identity identity, KnownPeers peers, QString ownName, QObject *parent = nullptr);
    ~SecureConnector() override;

    /// Connecting side: start TLS on every connection this endpoint makes.
    void setConnectSecurely(bool on) { m_connectSecurely = on; }
    /// Connecting side: the code a listener showed, to pair with it ("" for none).
    void setPairingCode(const QByteArray &code) { m_code = code; }
    /// Connecting side: the name the peer is known by here (an announced peer's), whose pin
    /// must hold.
    void setExpectedName(const QString &name) { m_expectedName = name; }
    /// Connecting side: the start of the fingerprint the peer announced (hex), which its key's
    /// must start with ("" for none).
    void setAnnouncedFingerprint(const QString &hexStart) { m_announcedFingerprint = hexStart.toLower(); }

    /// Listening side: which peers it takes (Plain, as a new connector has it).
    void setAccepting(Accepting accepting) { m_accepting = accepting; }
    /// Listening side: whether new peers may pair, with a code shown to the user; a new code is
    /// made at once.
    void setPairing(bool on);
    /// Listening side: the code that pairs now, "" while there is none (spent, or off).
    QByteArray pairingCode() const { return m_pairing ? m_listenCode : QByteArray(); }

    const Identity &identity() const { return m_identity; }
    const KnownPeers &knownPeers() const { return m_peers; }
    QString ownName() const { return m_ownName; }
    /// The name peers pin this side under from now on.
    void setOwnName(const QString &name) { m_ownName = name; }

    // platform::TransportProvider
    bool inspectsAccepted() const override { return m_accepting != Accepting::Plain; }
    platform::Transport *connected(int descriptor) override;
    platform::Transport *accepted(int descriptor, const QByteArray &first, QString *refusal) override;

    /// Whether the kernel encrypts what `transport` sends (kTLS): true only for a secure stream
    /// on a kernel that offers it.
    static bool kernelEncrypts(const platform::Transport *transport);

    // For the streams it made.
    SSL_CTX *context() const { return m_context; }
    /// Connecting side, after the hello: whether to resume with a pinned peer (true), pair
    /// (false, with no `refusal`), or refuse (with why).
    bool resumeWith(const QString &peerName, const QByteArray &fingerprint, QString *refusal) const;
    bool isPinned(const QByteArray &fingerprint) const { return m_peers.find(fingerprint) != nullptr; }
    /// The code the connecting side pairs with.
    QByteArray connectCode() const { return m_code; }
    /// Pins a peer just paired with (and keeps the file).
    void pin(const QString &name, const QByteArray &fingerprint);
    /// A pinned peer connected again.
    void seen(const QByteArray &fingerprint);
    /// The listener's code was used: right (a new one is made) or wrong (counted).
    void codeUsed(bool right);

signals:
    /// A connection is secure: with the peer of that name and fingerprint, paired just now or
    /// pinned before.
    void secured(const QString &peerName, const QByteArray &fingerprint, bool pairedNow);
    /// An accepted peer speaks plaintext (a legacy peer).
    void plaintextPeer();
    /// A secure connection failed before it was set up, with why: one this endpoint accepted
    /// (`accepted`) or made.
    void setupFailed(bool accepted, const QString &why);
    /// The listener's pairing code changed ("" while there is none).
    void pairingCodeChanged(const QByteArray &code);
    /// Keeping the known peers failed.
    void problem(const QString &why);

private:
    void newCode();

    Identity m_identity;
    KnownPeers m_peers;
    QString m_ownName;
    SSL_CTX *m_context = nullptr;
    bool m_connectSecurely = false;
    QByteArray m_code;
    QString m_expectedName;
    QString m_announcedFingerprint;
    Accepting m_accepting = Accepting::Plain;
    bool m_pairing = false;
    QByteArray m_listenCode;
    int m_wrongCodes = 0;
    int m_pauses = 0;
    QTimer m_pause;
};

} // namespace secure
