#include "pairingsession.h"

#include "cpace.h"

namespace secure {

namespace {

QString described(PairingSession::Input input)
{
    using Input = PairingSession::Input;
    switch (input) {
    case Input::Hello: return QStringLiteral("a hello");
    case Input::Resume: return QStringLiteral("Resume");
    case Input::Start: return QStringLiteral("Start");
    case Input::Reply: return QStringLiteral("Reply");
    case Input::Confirm: return QStringLiteral("Confirm");
    case Input::Welcome: return QStringLiteral("Welcome");
    case Input::Refused: return QStringLiteral("Refused");
    case Input::UnknownStep: return QStringLiteral("an unknown pairing step");
    case Input::Control: return QStringLiteral("a message");
    case Input::Data: return QStringLiteral("file bytes");
    case Input::Stop: return QStringLiteral("a stop");
    case Input::FileNote: return QStringLiteral("a file note");
    }
    return QString();
}

} // namespace

PairingSession::PairingSession(Role role, PeerTrust &trust, Channel channel)
    : m_role(role)
    , m_trust(trust)
    , m_peer{channel.peerFingerprint, QString(), channel.peerAddress}
    , m_ownFingerprint(channel.ownFingerprint)
    , m_exported(channel.exported)
{
}

PairingSession::Input PairingSession::inputOf(frame::Type type, const QByteArray &payload)
{
    switch (type) {
    case frame::Type::Hello: return Input::Hello;
    case frame::Type::Control: return Input::Control;
    case frame::Type::Data: return Input::Data;
    case frame::Type::Stop: return Input::Stop;
    case frame::Type::Held:
    case frame::Type::From:
    case frame::Type::Digest:
    case frame::Type::Batch:
    case frame::Type::BatchAnswer: return Input::FileNote;
    case frame::Type::Pairing: break;
    }
    switch (payload.isEmpty() ? 0 : quint8(payload[0])) {
    case ResumeStep: return Input::Resume;
    case StartStep: return Input::Start;
    case ReplyStep: return Input::Reply;
    case ConfirmStep: return Input::Confirm;
    case WelcomeStep: return Input::Welcome;
    case RefusedStep: return Input::Refused;
    default: return Input::UnknownStep;
    }
}

QByteArray PairingSession::message(Step step, const QList<QByteArray> &fields)
{
    return QByteArray(1, char(step)) + cpace::prefixFreeCat(fields);
}

void PairingSession::take(Input input, const QByteArray &payload)
{
    const QByteArray fields = input == Input::Hello ? payload : payload.mid(1);
    // Each state names what it waits for; anything else, in any state, is refused. Refused is
    // taken in every state before the connection is ready.
    switch (m_state) {
    case State::AwaitingHello:
        switch (input) {
        case Input::Hello: return onHello(payload);
        case Input::Refused: return onRefused(fields);
        case Input::Resume: case Input::Start: case Input::Reply: case Input::Confirm: case Input::Welcome:
        case Input::UnknownStep: case Input::Control: case Input::Data: case Input::Stop: case Input::FileNote:
            return outOfTurn(input);
        }
        break;
    case State::AwaitingFirstStep:
        switch (input) {
        case Input::Resume: return onResume(fields);
        case Input::Start: return onStart(fields);
        case Input::Refused: return onRefused(fields);
        case Input::Hello: case Input::Reply: case Input::Confirm: case Input::Welcome: case Input::UnknownStep:
        case Input::Control: case Input::Data: case Input::Stop: case Input::FileNote:
            return outOfTurn(input);
        }
        break;
    case State::AwaitingConfirm:
        switch (input) {
        case Input::Confirm: return onConfirm(fields);
        case Input::Refused: return onRefused(fields);
        case Input::Hello: case Input::Resume: case Input::Start: case Input::Reply: case Input::Welcome:
        case Input::UnknownStep: case Input::Control: case Input::Data: case Input::Stop: case Input::FileNote:
            return outOfTurn(input);
        }
        break;
    case State::AwaitingReply:
        switch (input) {
        case Input::Reply: return onReply(fields);
        case Input::Refused: return onRefused(fields);
        case Input::Hello: case Input::Resume: case Input::Start: case Input::Confirm: case Input::Welcome:
        case Input::UnknownStep: case Input::Control: case Input::Data: case Input::Stop: case Input::FileNote:
            return outOfTurn(input);
        }
        break;
    case State::AwaitingResumed:
    case State::AwaitingPaired:
        switch (input) {
        case Input::Welcome: return onWelcome(fields);
        case Input::Refused: return onRefused(fields);
        case Input::Hello: case Input::Resume: case Input::Start: case Input::Reply: case Input::Confirm:
        case Input::UnknownStep: case Input::Control: case Input::Data: case Input::Stop: case Input::FileNote:
            return outOfTurn(input);
        }
        break;
    case State::Ready:
    case State::Failed:
        // Set-up is over: the stream ends a connection whose peer goes on with it.
        break;
    }
}

void PairingSession::onHello(const QByteArray &payload)
{
    const auto hello = frame::readHello(payload);
    if (!hello)
        return refuse(QStringLiteral("the peer's hello is malformed"), QStringLiteral("a malformed hello"));
    m_peer.calls = hello->name;
    m_peerCapabilities = hello->capabilities;
    if (m_role == Role::Accepting) {
        m_state = State::AwaitingFirstStep; // the connecting side speaks first
        return;
    }
    const PeerTrust::Verdict plan = m_trust.planConnecting(m_peer);
    switch (plan.kind) {
    case PeerTrust::Verdict::Resume:
        m_name = plan.name;
        m_state = State::AwaitingResumed;
        return send(ResumeStep);
    case PeerTrust::Verdict::Pair:
        m_state = State::AwaitingReply;
        return send(StartStep, {m_run.start(binding(plan.code), m_trust.ownName())});
    case PeerTrust::Verdict::Refuse:
        return refuse(plan);
    }
}

void PairingSession::onResume(const QByteArray &fields)
{
    if (!cpace::parseFields(fields, 0))
        return refuse(QStringLiteral("the peer's Resume is malformed"), QStringLiteral("a malformed Resume"));
    const PeerTrust::Verdict verdict = m_trust.admitResume(m_peer);
    if (verdict.kind != PeerTrust::Verdict::Resume)
        return refuse(verdict);
    m_trust.seen(m_peer.fingerprint);
    send(WelcomeStep);
    becomeReady(verdict.name, false);
}

void PairingSession::onStart(const QByteArray &fields)
{
    // A Start that cannot be answered costs the peer no guess: it learns nothing.
    const auto parts = cpace::parseFields(fields, 1);
    const auto theirs = parts ? cpace::parseMessage(parts->at(0)) : std::nullopt;
    if (!theirs || !cpace::isShare(theirs->first))
        return refuse(QStringLiteral("the peer's pairing message is malformed"), QStringLiteral("a malformed Start"));
    const QString name = theirs->second.isEmpty() ? m_peer.calls : QString::fromUtf8(theirs->second);
    const PeerTrust::Verdict verdict = m_trust.openGuess(m_peer, name);
    if (verdict.kind != PeerTrust::Verdict::Pair)
        return refuse(verdict);
    m_guessOpen = true;
    QString ignored;
    const auto reply = m_run.respond(binding(verdict.code), m_trust.ownName(), parts->at(0), &ignored);
    if (!reply) {
        m_guessOpen = false;
        m_trust.closeGuess(PeerTrust::GuessEnd::NoReply, m_peer);
        return refuse(QStringLiteral("the peer's pairing message is malformed"), QStringLiteral("a malformed Start"));
    }
    m_pairingName = name;
    m_state = State::AwaitingConfirm;
    send(ReplyStep, {reply->first, reply->second});
}

void PairingSession::onConfirm(const QByteArray &fields)
{
    const auto parts = cpace::parseFields(fields, 1);
    if (!parts || !m_run.confirm(parts->at(0)))
        return refuse(QStringLiteral("a peer gave a wrong pairing code"), QStringLiteral("wrong pairing code"));
    m_guessOpen = false;
    m_trust.closeGuess(PeerTrust::GuessEnd::Right, m_peer);
    QString why;
    if (!m_trust.pin(m_pairingName, m_peer.fingerprint, &why))
        return refuse(why, QStringLiteral("this side could not keep the pairing"));
    send(WelcomeStep);
    becomeReady(m_pairingName, true);
}

void PairingSession::onReply(const QByteArray &fields)
{
    const auto parts = cpace::parseFields(fields, 2);
    QString name;
    const auto tag = parts ? m_run.finish(parts->at(0), parts->at(1), &name) : std::nullopt;
    if (!tag)
        return refuse(QStringLiteral("pairing failed: the code is wrong, or someone is in between"),
                      QStringLiteral("wrong pairing code"));
    if (name.isEmpty())
        name = m_peer.calls;
    if (const QString why = m_trust.refusePairedName(m_peer, name); !why.isEmpty())
        return refuse(why, QStringLiteral("this side pairs with no second peer of that name"));
    m_pairingName = name;
    m_state = State::AwaitingPaired;
    send(ConfirmStep, {*tag});
}

void PairingSession::onWelcome(const QByteArray &fields)
{
    if (!cpace::parseFields(fields, 0))
        return refuse(QStringLiteral("the peer's Welcome is malformed"), QStringLiteral("a malformed Welcome"));
    if (m_state == State::AwaitingResumed) {
        m_trust.seen(m_peer.fingerprint);
        return becomeReady(m_name, false);
    }
    QString why;
    if (!m_trust.pin(m_pairingName, m_peer.fingerprint, &why))
        return fail(why);
    becomeReady(m_pairingName, true);
}

void PairingSession::onRefused(const QByteArray &fields)
{
    if (m_guessOpen)
        return fail(QStringLiteral("a peer gave a wrong pairing code")); // it found the code wrong first
    const auto parts = cpace::parseFields(fields, 1);
    fail(QStringLiteral("the peer refused: %1").arg(parts ? QString::fromUtf8(parts->at(0)) : QStringLiteral("no reason given")));
}

void PairingSession::outOfTurn(Input input)
{
    const bool streamFrame = input == Input::Control || input == Input::Data || input == Input::Stop;
    refuse(QStringLiteral("the peer sent %1 %2")
               .arg(described(input), streamFrame ? QStringLiteral("before the connection was set up")
                                                  : QStringLiteral("out of turn")),
           QStringLiteral("%1 out of turn").arg(described(input)));
}

void PairingSession::refuse(const QString &why, const QString &toPeer)
{
    send(RefusedStep, {toPeer.toUtf8().left(int(frame::MaxSmallBytes) - 8)});
    fail(why);
}

void PairingSession::fail(const QString &why)
{
    if (m_state == State::Failed)
        return;
    m_state = State::Failed;
    m_failure = why;
    if (std::exchange(m_guessOpen, false))
        m_trust.closeGuess(PeerTrust::GuessEnd::Wrong, m_peer);
}

void PairingSession::abandon()
{
    if (m_state != State::Ready)
        fail(QStringLiteral("the connection ended before it was set up"));
}

void PairingSession::send(Step step, const QList<QByteArray> &fields)
{
    if (sendPairing)
        sendPairing(message(step, fields));
}

void PairingSession::becomeReady(const QString &name, bool pairedNow)
{
    m_name = name;
    m_pairedNow = pairedNow;
    m_state = State::Ready;
}

PairingRun::Binding PairingSession::binding(const QByteArray &code) const
{
    if (m_role == Role::Connecting)
        return {code, m_ownFingerprint, m_peer.fingerprint, m_exported};
    return {code, m_peer.fingerprint, m_ownFingerprint, m_exported};
}

} // namespace secure
