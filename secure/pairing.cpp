#include "pairing.h"

#include "cpace.h"

#include <QRegularExpression>

#include <sodium.h>

namespace secure {

namespace {

QByteArray channelIdentifier(const PairingRun::Binding &b)
{
    return cpace::prefixFreeCat({b.initiatorFingerprint, b.responderFingerprint});
}

bool equalTags(const QByteArray &a, const QByteArray &b)
{
    return a.size() == b.size() && sodium_memcmp(a.constData(), b.constData(), size_t(a.size())) == 0;
}

} // namespace

PairingRun::~PairingRun()
{
    for (QByteArray *secret : {&m_scalar, &m_isk, &m_generator, &m_expectedInitiatorTag, &m_sid})
        cpace::wipe(*secret);
}

QByteArray PairingRun::start(const Binding &binding, const QString &ownName)
{
    m_generator = cpace::generator(binding.code, channelIdentifier(binding), binding.exported);
    m_sid = binding.exported;
    m_scalar = cpace::sampleScalar();
    m_ownMessage = cpace::message(cpace::scalarMult(m_scalar, m_generator).value_or(QByteArray()), ownName.toUtf8());
    return m_ownMessage;
}

std::optional<QPair<QByteArray, QByteArray>> PairingRun::respond(const Binding &binding, const QString &ownName,
                                                                 const QByteArray &initiatorMessage, QString *peerName)
{
    const auto theirs = cpace::parseMessage(initiatorMessage);
    if (!theirs)
        return std::nullopt;
    start(binding, ownName);
    auto shared = cpace::scalarMult(m_scalar, theirs->first);
    if (!shared)
        return std::nullopt;
    *peerName = QString::fromUtf8(theirs->second);
    m_isk = cpace::intermediateKey(m_sid, *shared, initiatorMessage, m_ownMessage);
    cpace::wipe(*shared);
    m_expectedInitiatorTag = cpace::confirmationTag(m_isk, initiatorMessage);
    return qMakePair(m_ownMessage, cpace::confirmationTag(m_isk, m_ownMessage));
}

std::optional<QByteArray> PairingRun::finish(const QByteArray &responderMessage, const QByteArray &responderTag,
                                             QString *peerName)
{
    const auto theirs = cpace::parseMessage(responderMessage);
    if (!theirs || m_scalar.isEmpty())
        return std::nullopt;
    auto shared = cpace::scalarMult(m_scalar, theirs->first);
    if (!shared)
        return std::nullopt;
    m_isk = cpace::intermediateKey(m_sid, *shared, m_ownMessage, responderMessage);
    cpace::wipe(*shared);
    if (!equalTags(cpace::confirmationTag(m_isk, responderMessage), responderTag))
        return std::nullopt;
    *peerName = QString::fromUtf8(theirs->second);
    return cpace::confirmationTag(m_isk, m_ownMessage);
}

bool PairingRun::confirm(const QByteArray &initiatorTag) const
{
    return !m_isk.isEmpty() && equalTags(initiatorTag, m_expectedInitiatorTag);
}

std::optional<QByteArray> PairingRun::parseCode(const QString &text)
{
    static const QRegularExpression code(QStringLiteral("^([0-9]{3})[- ]?([0-9]{3})$"));
    const auto match = code.match(text.trimmed());
    if (!match.hasMatch())
        return std::nullopt;
    return (match.captured(1) + match.captured(2)).toLatin1();
}

QByteArray PairingRun::newCode()
{
    return QByteArray::number(randombytes_uniform(1000000)).rightJustified(6, '0');
}

QString PairingRun::shownCode(const QByteArray &code)
{
    return QString::fromLatin1(code.left(3) + '-' + code.mid(3));
}

} // namespace secure
