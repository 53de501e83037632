#pragma once
// What a host hands its socket component to speak securely with peers of ours: this user's
// identity and known peers, whether to start TLS on connections it makes, what a listener
// accepts (plaintext peers too, or secure ones only), and the pairing code on either side.

#include "identity.h"
#include "knownpeers.h"
#include "transport.h"
#include "velmora_secure_export.h"

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>
#include <optional>

typedef struct ssl_ctx_st SSL_CTX;
class QFileSystemWatcher;

namespace secure {

class PeerTrust;
class TrustRules;

class VELMORA_SECURE_EXPORT SecureConnector : public QObject, public platform::TransportProvider
{
    Q_OBJECT
public:
    /// What a listener takes: plaintext peers only (it never looks), both, or secure ones only.
    enum class Accepting { Plain, Both, SecureOnly };

    /// A code is spent after this many wrong guesses, and the next comes only after a pause that
    /// doubles each time from FirstPauseSec up to an hour, however often the host listens again.
    static constexpr int WrongCodesAllowed = 3;
    static constexpr int FirstPauseSec = 30;

    /// The guesses at this side's codes are counted beside `identity`'s file (in this process
    /// only for an identity kept nowhere).
    SecureConnector(Identity identity, KnownPeers peers, QString ownName, QObject *parent = nullptr);
    ~SecureConnector() override;

    /// Connecting side: start TLS on every connection this endpoint makes.
    void setConnectSecurely(bool on) { m_connectSecurely = on; }
    /// Connecting side: the code a listener showed, to pair with it ("" for none).
    void setPairingCode(const QByteArray &code);
    /// Connecting side: the name the peer is known by here (an announced peer's), whose pin
    /// must hold: a peer pinned under that name is taken with that key only.
    void setExpectedName(const QString &name);
    /// Connecting side: the start of the fingerprint the peer announced (hex), which its key's
    /// must start with ("" for none).
    void setAnnouncedFingerprint(const QString &hexStart);

    /// Listening side: which peers it takes (Plain, as a new connector has it).
    void setAccepting(Accepting accepting) { m_accepting = accepting; }
    /// Listening side: whether new peers may pair, with a code shown to the user. A code that
    /// stands stays; none comes while a pause after wrong guesses runs.
    void setPairing(bool on);
    /// Listening side: the user asks for a new code: it comes at once, and a pause after wrong
    /// guesses ends (in every process of this identity).
    void newCode();
    /// Listening side: the code that pairs now, "" while there is none (off, spent, paused).
    QByteArray pairingCode() const { return m_pairing ? m_listenCode : QByteArray(); }
    /// When the pause after wrong guesses ends (invalid while none runs), as it stood when the
    /// code was last made or dropped; the count itself is read again for every decision.
    QDateTime pairingPausedUntil() const;
    /// The file the guesses at the codes of the identity kept in `identityFolder` are counted in.
    static QString guessFile(const QString &identityFolder);

    const Identity &identity() const { return m_identity; }
    /// The known peers as their file holds them now.
    KnownPeers knownPeers() const;
    QString ownName() const;
    /// The name peers pin this side under from now on.
    void setOwnName(const QString &name);

    /// Whether records after the handshake are OpenSSL's own, both ways, rather than sealed and
    /// opened in the stream (VELMORA_TLS_RECORDS=openssl in the environment sets it).
    void setOpenSslRecords(bool on) { m_openSslRecords = on; }
    bool openSslRecords() const { return m_openSslRecords; }
    /// Whether hellos offer whole-file checks and resume (on unless VELMORA_FILE_CHECKS=off is
    /// in the environment): a connection checks files only when both hellos offer them.
    void setFileChecks(bool on) { m_fileChecks = on; }
    bool fileChecks() const { return m_fileChecks; }
    /// Whether hellos offer batches, with file checks (on unless VELMORA_BATCHES=off is in the
    /// environment): off, every file of a send is announced and answered on its own.
    void setBatches(bool on) { m_batches = on; }
    bool batches() const { return m_batches; }
    /// The capabilities our hellos offer.
    quint32 capabilities() const;

    // platform::TransportProvider
    bool inspectsAccepted() const override { return m_accepting != Accepting::Plain; }
    platform::Transport *connected(int descriptor) override;
    platform::Transport *accepted(int descriptor, const QByteArray &first, QString *refusal) override;

    /// Whether the kernel encrypts what `transport` sends (kTLS): true only for a secure stream
    /// on a kernel that offers it.
    static bool kernelEncrypts(const platform::Transport *transport);

    /// The peer of a secure connection that is set up.
    struct Peer
    {
        QString name;           ///< the name it is pinned under here
        QString calls;          ///< the name it calls itself
        QByteArray fingerprint;
        bool pairedNow = false; ///< paired on this connection
    };
    /// The peer of `transport` when it is a secure stream that is set up; nothing otherwise (a
    /// plaintext connection, say).
    static std::optional<Peer> peerOf(const platform::Transport *transport);

    // For the streams it made.
    SSL_CTX *context() const { return m_context; }
    PeerTrust &trust();

signals:
    /// A connection is secure: with the peer pinned under `peerName` (and of that fingerprint),
    /// paired just now or pinned before, which calls itself `peerCalls`.
    void secured(const QString &peerName, const QByteArray &fingerprint, bool pairedNow, const QString &peerCalls);
    /// An accepted peer speaks plaintext (a legacy peer).
    void plaintextPeer();
    /// A secure connection failed before it was set up, with why: one this endpoint accepted
    /// (`accepted`, from `peerAddress`) or made.
    void setupFailed(bool accepted, const QString &why, const QString &peerAddress);
    /// A guess at this side's pairing code was wrong: where it came from, what the peer calls
    /// itself and its key; `left` guesses remain for the code (0: it is spent).
    void wrongCode(const QString &peerAddress, const QString &peerCalls, const QByteArray &fingerprint, int left);
    /// The listener's pairing code changed ("" while there is none).
    void pairingCodeChanged(const QByteArray &code);
    /// Keeping the known peers failed.
    void problem(const QString &why);

private:
    void makeCode();
    void dropCode();
    /// Looks at the guess budget again (another process may have spent or renewed it).
    void recheckBudget();

    Identity m_identity;
    std::unique_ptr<TrustRules> m_trust;
    SSL_CTX *m_context = nullptr;
    bool m_connectSecurely = false;
    bool m_openSslRecords = false;
    bool m_fileChecks = true;
    bool m_batches = true;
    Accepting m_accepting = Accepting::Plain;
    bool m_pairing = false;
    QByteArray m_listenCode;
    QTimer m_pauseEnd;
    QDateTime m_pausedUntil; ///< as the count of guesses said when the code was last made
    QFileSystemWatcher *m_budgetWatch = nullptr;
};

} // namespace secure
