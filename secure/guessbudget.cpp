#include "guessbudget.h"

#include "trustfile.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace secure {

namespace {

int pauseSec(int pauses)
{
    return qMin(GuessBudget::FirstPauseSec << qMin(pauses, 7), GuessBudget::MaxPauseSec);
}

GuessBudget::State parse(const QByteArray &bytes, bool *ok)
{
    *ok = true;
    GuessBudget::State s;
    if (bytes.isEmpty())
        return s;
    const QJsonObject o = QJsonDocument::fromJson(bytes).object();
    const QJsonValue counted = o.value(QStringLiteral("counted"));
    const QJsonValue pauses = o.value(QStringLiteral("pauses"));
    *ok = counted.isDouble() && pauses.isDouble();
    s.counted = counted.toInt();
    s.pauses = pauses.toInt();
    s.pausedUntil = QDateTime::fromString(o.value(QStringLiteral("paused-until")).toString(), Qt::ISODate);
    s.lastGuess = QDateTime::fromString(o.value(QStringLiteral("last-guess")).toString(), Qt::ISODate);
    return s;
}

QByteArray written(const GuessBudget::State &s)
{
    return QJsonDocument(QJsonObject{{"counted", s.counted},
                                     {"pauses", s.pauses},
                                     {"paused-until", s.pausedUntil.toUTC().toString(Qt::ISODateWithMs)},
                                     {"last-guess", s.lastGuess.toUTC().toString(Qt::ISODateWithMs)}})
        .toJson();
}

} // namespace

GuessBudget::GuessBudget(QString file, Clock now)
    : m_file(std::move(file))
    , m_now(now ? std::move(now) : Clock([] { return QDateTime::currentDateTimeUtc(); }))
{
}

GuessBudget::State GuessBudget::settled(State s) const
{
    const QDateTime now = m_now();
    const bool paused = s.pausedUntil.isValid() && now < s.pausedUntil;
    QDateTime quietSince = s.lastGuess;
    if (s.pausedUntil.isValid() && (!quietSince.isValid() || s.pausedUntil > quietSince))
        quietSince = s.pausedUntil;
    if (!paused && quietSince.isValid() && quietSince.secsTo(now) >= ForgetAfterSec) {
        s.counted = 0;
        s.pauses = 0;
    }
    return s;
}

GuessBudget::State GuessBudget::state(QString *error) const
{
    if (m_file.isEmpty())
        return settled(m_memory);
    QString why;
    const auto bytes = TrustFile(m_file).read(&why);
    bool ok = false;
    const State s = bytes ? parse(*bytes, &ok) : State();
    if (!ok) {
        if (error)
            *error = bytes ? QStringLiteral("the pairing guesses in %1 are damaged").arg(m_file) : why;
        State spent;
        spent.counted = GuessesPerCode; // what cannot be read allows no guess
        return spent;
    }
    return settled(s);
}

QDateTime GuessBudget::pausedUntil() const
{
    const State s = state();
    return s.pausedUntil.isValid() && m_now() < s.pausedUntil ? s.pausedUntil : QDateTime();
}

bool GuessBudget::change(const std::function<void(State &)> &edit, QString *error, bool overDamage)
{
    if (m_file.isEmpty()) {
        m_memory = settled(m_memory);
        edit(m_memory);
        return true;
    }
    QString why;
    bool parsed = true;
    const bool done = TrustFile(m_file).update([&](QByteArray &bytes) {
        const State before = parse(bytes, &parsed);
        if (!parsed && !overDamage)
            return false;
        State s = parsed ? settled(before) : State();
        edit(s);
        if (parsed && s == before)
            return false; // nothing to write
        parsed = true;
        bytes = written(s);
        return true;
    }, &why);
    if (done && !parsed)
        why = QStringLiteral("the pairing guesses in %1 are damaged").arg(m_file);
    if (error)
        *error = why;
    return done && parsed;
}

bool GuessBudget::take(QString *why)
{
    QString refusal;
    QString error;
    const bool taken = change([&](State &s) {
        const QDateTime now = m_now();
        if (s.pausedUntil.isValid() && now < s.pausedUntil)
            refusal = QStringLiteral("pairing is paused for %1 s after %2 wrong codes")
                          .arg(now.secsTo(s.pausedUntil))
                          .arg(GuessesPerCode);
        else if (s.counted >= GuessesPerCode)
            refusal = QStringLiteral("the pairing code is spent");
        else {
            ++s.counted;
            s.lastGuess = now;
        }
    }, &error);
    if (!taken)
        refusal = error;
    *why = refusal;
    return refusal.isEmpty();
}

void GuessBudget::giveBack()
{
    change([](State &s) { s.counted = qMax(0, s.counted - 1); });
}

int GuessBudget::wrong()
{
    int left = 0;
    const bool kept = change([&](State &s) {
        if (s.counted < GuessesPerCode) {
            left = GuessesPerCode - s.counted;
            return;
        }
        s.pausedUntil = m_now().addSecs(pauseSec(s.pauses));
        ++s.pauses;
        s.counted = 0;
    });
    return kept ? left : 0;
}

void GuessBudget::right()
{
    change([](State &s) { s = State{0, 0, QDateTime(), s.lastGuess}; });
}

bool GuessBudget::restart(QString *error)
{
    return change([](State &s) { s = State{0, 0, QDateTime(), s.lastGuess}; }, error, true);
}

} // namespace secure
