#include "trustrules.h"

#include "identity.h"

namespace secure {

namespace {

using Verdict = PeerTrust::Verdict;

Verdict resume(const QString &name)
{
    return {Verdict::Resume, name, QByteArray(), QString(), QString()};
}

Verdict refuse(const QString &why, const QString &toPeer)
{
    return {Verdict::Refuse, QString(), QByteArray(), why, toPeer};
}

QString shortPrint(const QByteArray &fingerprint)
{
    return Identity::shown(fingerprint).left(19);
}

// The peer pinned under `name` with another key than `fingerprint`, or null.
const KnownPeer *otherNamed(const KnownPeers &peers, const QString &name, const QByteArray &fingerprint)
{
    const KnownPeer *p = peers.named(name);
    return p && p->fingerprint != fingerprint ? p : nullptr;
}

Verdict identityChanged(const KnownPeer &pinned, const QByteArray &fingerprint)
{
    return refuse(QStringLiteral("the peer's identity changed; if it was reinstalled, forget it and pair again "
                                 "(it was %1, it is %2)")
                      .arg(shortPrint(pinned.fingerprint), shortPrint(fingerprint)),
                  QStringLiteral("this side knows another key under your name"));
}

Verdict posing(const KnownPeer &pinned, const QString &calls)
{
    return refuse(QStringLiteral("the peer paired as %1 calls itself %2, the name of another paired peer")
                      .arg(pinned.name, calls),
                  QStringLiteral("you call yourself by the name of another peer paired here"));
}

} // namespace

TrustRules::TrustRules(KnownPeers peers, GuessBudget budget, QString ownName)
    : m_peers(std::move(peers))
    , m_budget(std::move(budget))
    , m_ownName(std::move(ownName))
{
}

KnownPeers TrustRules::peers() const
{
    KnownPeers now(m_peers.file());
    QString ignored;
    now.load(&ignored);
    return now;
}

bool TrustRules::fresh(KnownPeers &peers, Verdict &verdict) const
{
    QString why;
    if (peers.load(&why))
        return true;
    verdict = refuse(why, QStringLiteral("this side cannot read the peers it knows"));
    return false;
}

PeerTrust::Verdict TrustRules::planConnecting(const PeerClaim &peer)
{
    Verdict verdict;
    KnownPeers pins(m_peers.file());
    if (!fresh(pins, verdict))
        return verdict;
    if (!m_announced.isEmpty() && !QString::fromLatin1(peer.fingerprint.toHex()).startsWith(m_announced))
        return refuse(QStringLiteral("the peer is not the one announced as %1: its key is not the one announced")
                          .arg(m_expectedName),
                      QStringLiteral("your key is not the one announced"));
    // The name asked for holds its pin, whatever the peer calls itself.
    if (const KnownPeer *byName = pins.named(m_expectedName)) {
        if (byName->fingerprint != peer.fingerprint)
            return identityChanged(*byName, peer.fingerprint);
        return resume(byName->name);
    }
    if (const KnownPeer *byKey = pins.find(peer.fingerprint)) {
        if (otherNamed(pins, peer.calls, peer.fingerprint))
            return posing(*byKey, peer.calls);
        return resume(byKey->name);
    }
    if (const KnownPeer *other = otherNamed(pins, peer.calls, peer.fingerprint))
        return identityChanged(*other, peer.fingerprint);
    if (!m_code.isEmpty())
        return {Verdict::Pair, QString(), m_code, QString(), QString()};
    return refuse(QStringLiteral("the peer %1 is not paired with this side: give the pairing code it shows").arg(peer.calls),
                  QStringLiteral("this side has no pairing code for you"));
}

PeerTrust::Verdict TrustRules::admitResume(const PeerClaim &peer)
{
    Verdict verdict;
    KnownPeers pins(m_peers.file());
    if (!fresh(pins, verdict))
        return verdict;
    const KnownPeer *byKey = pins.find(peer.fingerprint);
    if (!byKey)
        return refuse(QStringLiteral("a peer that is not paired here (%1) came without a pairing code")
                          .arg(shortPrint(peer.fingerprint)),
                      QStringLiteral("this side does not know you: pair again with the code it shows"));
    if (otherNamed(pins, peer.calls, peer.fingerprint))
        return posing(*byKey, peer.calls);
    return resume(byKey->name);
}

PeerTrust::Verdict TrustRules::openGuess(const PeerClaim &peer, const QString &name)
{
    const QByteArray code = listenCode ? listenCode() : QByteArray();
    if (code.isEmpty())
        return refuse(QStringLiteral("a new peer asked to pair while no pairing code stands"),
                      QStringLiteral("this side takes no new peers now"));
    if (m_guessOpen)
        return refuse(QStringLiteral("a new peer asked to pair while another one pairs"),
                      QStringLiteral("another peer is pairing now: try again in a moment"));
    Verdict verdict;
    KnownPeers pins(m_peers.file());
    if (!fresh(pins, verdict))
        return verdict;
    for (const QString &claimed : {name, peer.calls}) {
        if (const KnownPeer *other = otherNamed(pins, claimed, peer.fingerprint))
            return refuse(QStringLiteral("a new peer asked to pair as %1, the name of a peer paired here "
                                         "(forget that one to pair another under its name)")
                              .arg(other->name),
                          QStringLiteral("this side knows another peer as %1").arg(other->name));
    }
    QString why;
    if (!m_budget.take(&why))
        return refuse(QStringLiteral("a new peer asked to pair while %1").arg(why),
                      QStringLiteral("this side takes no new peers now"));
    m_guessOpen = true;
    return {Verdict::Pair, QString(), code, QString(), QString()};
}

void TrustRules::closeGuess(GuessEnd end, const PeerClaim &peer)
{
    m_guessOpen = false;
    switch (end) {
    case GuessEnd::NoReply:
        m_budget.giveBack();
        return;
    case GuessEnd::Right:
        m_budget.right();
        if (codeUsed)
            codeUsed();
        return;
    case GuessEnd::Wrong: {
        const int left = m_budget.wrong();
        if (guessWasWrong)
            guessWasWrong(peer, left);
        return;
    }
    }
}

QString TrustRules::refusePairedName(const PeerClaim &peer, const QString &name)
{
    Verdict verdict;
    KnownPeers pins(m_peers.file());
    if (!fresh(pins, verdict))
        return verdict.why;
    if (const KnownPeer *other = otherNamed(pins, name, peer.fingerprint))
        return QStringLiteral("the listener paired as %1, the name of another paired peer: forget that one first")
            .arg(other->name);
    return QString();
}

bool TrustRules::pin(const QString &name, const QByteArray &fingerprint, QString *why)
{
    return m_peers.pin(name, fingerprint, why);
}

void TrustRules::seen(const QByteArray &fingerprint)
{
    QString why;
    if (!m_peers.seen(fingerprint, &why) && problem)
        problem(why);
}

} // namespace secure
