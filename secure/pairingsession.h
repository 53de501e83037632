#pragma once
// The authentication of one secure connection once its TLS handshake is done, as a state
// machine: the hellos, then resuming with a pinned peer or pairing with a code. Each frame the
// peer sends before the connection is ready is one input, and one switch over (state, input)
// says what it does. "Ready" is reached on the connecting side only after it checked the
// listener's confirmation tag and sent Confirm (or resumed with the key pinned for the name it
// asked for), and on the listener only after it checked Confirm (or a pinned peer resumed).
// Every other input in every state is refused: a Refused message with the reason goes to the
// peer, the run fails, and nothing is pinned or marked seen.

#include "framecodec.h"
#include "pairing.h"
#include "velmora_secure_export.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>

namespace secure {

/// Who the peer of a secure connection is, as far as the channel shows it.
struct PeerClaim
{
    QByteArray fingerprint; ///< of the key it proved in the handshake
    QString calls;          ///< the name it gave in its hello
    QString address;        ///< where it connects from
};

/// The trust decisions a pairing session asks for. The connector makes them from the known
/// peers (read again for each) and the guess budget.
class PeerTrust
{
public:
    /// What to do with a peer.
    struct Verdict
    {
        enum Kind { Resume, Pair, Refuse } kind = Refuse;
        QString name;   ///< Resume: the name it is pinned under here
        QByteArray code;///< Pair: the pairing code
        QString why;    ///< Refuse: why, for this side's user
        QString toPeer; ///< Refuse: why, for the peer
    };
    enum class GuessEnd { NoReply, Right, Wrong };

    virtual ~PeerTrust() = default;
    virtual QString ownName() const = 0;
    /// Connecting side, once the listener's hello came: resume, pair or refuse.
    virtual Verdict planConnecting(const PeerClaim &peer) = 0;
    /// Listener: a peer resumes: Resume (with its pinned name) or Refuse.
    virtual Verdict admitResume(const PeerClaim &peer) = 0;
    /// Listener: a peer starts pairing under `name`: Pair, with the code and its guess counted
    /// (no other guess may be open meanwhile), or Refuse, with nothing counted.
    virtual Verdict openGuess(const PeerClaim &peer, const QString &name) = 0;
    /// Listener: how the open guess ended.
    virtual void closeGuess(GuessEnd end, const PeerClaim &peer) = 0;
    /// Connecting side: why the name a listener paired under may not be pinned ("" : it may).
    virtual QString refusePairedName(const PeerClaim &peer, const QString &name) = 0;
    /// Pins the peer under `name`; false, with why, when the pin cannot be kept.
    virtual bool pin(const QString &name, const QByteArray &fingerprint, QString *why) = 0;
    /// A pinned peer was seen again.
    virtual void seen(const QByteArray &fingerprint) = 0;
};

class VELMORA_SECURE_EXPORT PairingSession
{
public:
    enum class Role { Connecting, Accepting };
    enum class State {
        AwaitingHello,     ///< both: our hello went; the peer's is awaited
        AwaitingFirstStep, ///< listener: Resume or Start is awaited
        AwaitingConfirm,   ///< listener: Reply went (a guess counted); Confirm is awaited
        AwaitingResumed,   ///< connecting: Resume went; Welcome is awaited
        AwaitingReply,     ///< connecting: Start went; Reply is awaited
        AwaitingPaired,    ///< connecting: Reply checked and Confirm sent; Welcome is awaited
        Ready,
        Failed,
    };
    /// What the peer sent: a frame, and for a pairing frame its step.
    enum class Input { Hello, Resume, Start, Reply, Confirm, Welcome, Refused, UnknownStep, Control, Data, Stop, FileNote };
    /// The step byte a pairing message opens with.
    enum Step : quint8 { ResumeStep = 1, StartStep = 2, ReplyStep = 3, ConfirmStep = 4, WelcomeStep = 5, RefusedStep = 6 };

    /// What the channel shows once the handshake is done.
    struct Channel
    {
        QByteArray ownFingerprint;
        QByteArray peerFingerprint;
        QByteArray exported; ///< the value exported from the TLS session for pairing
        QString peerAddress;
    };

    PairingSession(Role role, PeerTrust &trust, Channel channel);
    PairingSession(const PairingSession &) = delete;
    PairingSession &operator=(const PairingSession &) = delete;

    /// Sends a pairing message (its payload: the step, then its fields).
    std::function<void(const QByteArray &payload)> sendPairing;

    /// The input a frame of `type` with `payload` is.
    static Input inputOf(frame::Type type, const QByteArray &payload);
    /// Takes what the peer sent; state() says where that led.
    void take(Input input, const QByteArray &payload);
    /// The connection ended before the run did: an open guess stays counted as wrong.
    void abandon();

    State state() const { return m_state; }
    /// Why the run failed.
    QString failure() const { return m_failure; }
    /// Once ready: whether the peer was paired just now, the name it is pinned under here, and
    /// the name it calls itself.
    bool pairedNow() const { return m_pairedNow; }
    QString peerName() const { return m_name; }
    QString peerCalls() const { return m_peer.calls; }
    /// The capabilities the peer's hello offered (none before it came).
    quint32 peerCapabilities() const { return m_peerCapabilities; }

    /// A pairing message: the step, then its fields behind their lengths.
    static QByteArray message(Step step, const QList<QByteArray> &fields);

private:
    void onHello(const QByteArray &payload);
    void onResume(const QByteArray &fields);
    void onStart(const QByteArray &fields);
    void onConfirm(const QByteArray &fields);
    void onReply(const QByteArray &fields);
    void onWelcome(const QByteArray &fields);
    void onRefused(const QByteArray &fields);
    void outOfTurn(Input input);
    void refuse(const QString &why, const QString &toPeer);
    void refuse(const PeerTrust::Verdict &verdict) { refuse(verdict.why, verdict.toPeer); }
    void fail(const QString &why);
    void send(Step step, const QList<QByteArray> &fields = {});
    void becomeReady(const QString &name, bool pairedNow);
    PairingRun::Binding binding(const QByteArray &code) const;

    Role m_role;
    PeerTrust &m_trust;
    PeerClaim m_peer;
    quint32 m_peerCapabilities = 0;
    QByteArray m_ownFingerprint;
    QByteArray m_exported;
    State m_state = State::AwaitingHello;
    PairingRun m_run;
    QString m_pairingName; ///< the name the peer pairs under
    bool m_guessOpen = false;
    bool m_pairedNow = false;
    QString m_name;
    QString m_failure;
};

} // namespace secure
