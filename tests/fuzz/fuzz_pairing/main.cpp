// Plays a listener and a connecting side of a pairing run against arbitrary messages: the
// responder gets an arbitrary first message, the initiator an arbitrary reply, and the pairing
// session of either role an arbitrary run of frames. Nothing may crash, a prefix-free
// concatenation must read back as written, an arbitrary reply must never confirm, and no order
// of messages may make a session ready or pin a peer without the code.

#include "cpace.h"
#include "pairing.h"
#include "pairingsession.h"

#include "fuzzcheck.h"

#include <QByteArray>

#include <cstdint>

namespace {

using fuzz::check;
using fuzz::fail;
using namespace secure;

// Trust that knows nobody and has a code: only a peer that proves the code could get anywhere.
struct Stranger : PeerTrust
{
    bool pinned = false;
    int open = 0;
    QString ownName() const override { return QStringLiteral("office"); }
    Verdict planConnecting(const PeerClaim &) override { return {Verdict::Pair, {}, "417093", {}, {}}; }
    Verdict admitResume(const PeerClaim &) override { return {Verdict::Refuse, {}, {}, "unknown", "unknown"}; }
    Verdict openGuess(const PeerClaim &, const QString &) override
    {
        ++open;
        return {Verdict::Pair, {}, "417093", {}, {}};
    }
    void closeGuess(GuessEnd, const PeerClaim &) override { --open; }
    QString refusePairedName(const PeerClaim &, const QString &) override { return {}; }
    bool pin(const QString &, const QByteArray &, QString *) override { return pinned = true; }
    void seen(const QByteArray &) override {}
};

// Frames from the input: a type byte, a length byte, then that many bytes of payload.
void playSession(PairingSession::Role role, const QByteArray &input)
{
    Stranger trust;
    PairingSession session(role, trust, {QByteArray(32, 'o'), QByteArray(32, 'p'), QByteArray(32, 'x'), "127.0.0.2"});
    session.sendPairing = [](const QByteArray &) {};
    for (qsizetype at = 0; at + 1 < input.size() && session.state() != PairingSession::State::Failed;) {
        const auto type = frame::Type(1 + uchar(input[at]) % 5);
        const QByteArray payload = input.mid(at + 2, uchar(input[at + 1]));
        at += 2 + payload.size();
        session.take(PairingSession::inputOf(type, payload), payload);
    }
    session.abandon();
    check(session.state() != PairingSession::State::Ready, "a session got ready without the code", input);
    check(!trust.pinned, "a peer was pinned without the code", input);
    check(trust.open == 0, "a guess stayed open after the run", input);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    const int count = input.isEmpty() ? 0 : uchar(input[0]) % 4;
    const QByteArray rest = input.mid(1);
    if (const auto fields = cpace::parseFields(rest, count))
        check(cpace::prefixFreeCat(*fields) == rest, "fields that do not write back as read", input);
    const PairingRun::Binding binding{"417093", QByteArray(32, 'i'), QByteArray(32, 'r'), QByteArray(32, 'x')};
    // The listener's side: an arbitrary first message.
    PairingRun responder;
    QString name;
    if (const auto reply = responder.respond(binding, QStringLiteral("office"), rest, &name)) {
        check(cpace::parseMessage(reply->first).has_value(), "a reply that does not read back", input);
        check(!responder.confirm(rest.left(64)), "an arbitrary tag confirmed", input);
    }
    // The connecting side: an arbitrary reply, split into message and tag.
    PairingRun initiator;
    initiator.start(binding, QStringLiteral("laptop"));
    const qsizetype cut = qMax<qsizetype>(0, rest.size() - 64);
    check(!initiator.finish(rest.left(cut), rest.mid(cut), &name), "an arbitrary reply confirmed", input);
    // Whole runs of frames, in both roles.
    playSession(PairingSession::Role::Accepting, rest);
    playSession(PairingSession::Role::Connecting, rest);
    return 0;
}
