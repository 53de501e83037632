#pragma once
// The trust decisions of one side, made for the pairing sessions of its connections: whom a
// connection resumes with, who may pair and under which name, and the guesses at the pairing
// code. They read the known peers again for each decision and count guesses in the budget of
// this user's identity. A name is bound to one key: a connection to a pinned name takes only
// that name's key, a pinned peer that calls itself by another pinned peer's name is refused,
// and no second peer pairs under a pinned name. What cannot be read fails closed.

#include "guessbudget.h"
#include "knownpeers.h"
#include "pairingsession.h"

#include <functional>

namespace secure {

class VELMORA_SECURE_EXPORT TrustRules : public PeerTrust
{
public:
    TrustRules(KnownPeers peers, GuessBudget budget, QString ownName);

    void setOwnName(const QString &name) { m_ownName = name; }
    /// Connecting side: the code a listener showed ("" for none), the name the peer is known by
    /// here (whose pin must hold; "" for an address), the start of the fingerprint it announced.
    void setCode(const QByteArray &code) { m_code = code; }
    void setExpectedName(const QString &name) { m_expectedName = name; }
    void setAnnouncedFingerprint(const QString &hexStart) { m_announced = hexStart.toLower(); }
    /// Listener: the code that pairs now ("" while none stands).
    std::function<QByteArray()> listenCode;

    /// The known peers as the file holds them now (none when it cannot be read).
    KnownPeers peers() const;
    GuessBudget &budget() { return m_budget; }

    /// A guess at the listener's code did not confirm: from whom, and how many the code has left
    /// (0: it is spent now).
    std::function<void(const PeerClaim &peer, int left)> guessWasWrong;
    /// A guess at the listener's code was right: the code is used up.
    std::function<void()> codeUsed;
    /// Keeping what was decided failed.
    std::function<void(const QString &why)> problem;

    // PeerTrust
    QString ownName() const override { return m_ownName; }
    Verdict planConnecting(const PeerClaim &peer) override;
    Verdict admitResume(const PeerClaim &peer) override;
    Verdict openGuess(const PeerClaim &peer, const QString &name) override;
    void closeGuess(GuessEnd end, const PeerClaim &peer) override;
    QString refusePairedName(const PeerClaim &peer, const QString &name) override;
    bool pin(const QString &name, const QByteArray &fingerprint, QString *why) override;
    void seen(const QByteArray &fingerprint) override;

private:
    /// Reads the known peers again: false, with a refusal in `verdict`, when they cannot be read.
    bool fresh(KnownPeers &peers, Verdict &verdict) const;

    KnownPeers m_peers;
    GuessBudget m_budget;
    QString m_ownName;
    QByteArray m_code;
    QString m_expectedName;
    QString m_announced;
    bool m_guessOpen = false;
};

} // namespace secure
