#pragma once
// How many guesses at a listener's pairing code may be made, kept for this user's identity
// rather than for one connection or one listen: a guess is counted when the listener sends its
// Reply (from then on the peer can test its guess) and given back only when the peer's Confirm
// checks. After GuessesPerCode counted guesses the code is spent, and the next comes only after
// a pause that doubles from FirstPauseSec up to MaxPauseSec, however often the host listens
// again; only the user's explicit asking for a new code ends a pause early, and an hour without
// a guess forgets the guesses before it. So nobody gets more than 21 guesses in any hour,
// whatever they do. Kept beside the identity (TrustFile), so two processes of one user share it.

#include "velmora_secure_export.h"

#include <QDateTime>
#include <QString>

#include <functional>

namespace secure {

class VELMORA_SECURE_EXPORT GuessBudget
{
public:
    static constexpr int GuessesPerCode = 3;
    static constexpr int FirstPauseSec = 30;
    static constexpr int MaxPauseSec = 3600;
    /// A quiet time after which earlier guesses no longer count.
    static constexpr int ForgetAfterSec = 3600;

    using Clock = std::function<QDateTime()>;

    /// Kept in `file` ("" : in this process only), by the time `now` gives (the system's clock
    /// unless given).
    explicit GuessBudget(QString file = QString(), Clock now = Clock());

    struct State
    {
        int counted = 0;        ///< guesses counted against the code that stands
        int pauses = 0;         ///< codes spent since pairing last worked
        QDateTime pausedUntil;  ///< no code before this (invalid: no pause)
        QDateTime lastGuess;
        bool operator==(const State &) const = default;
    };
    /// The state now, read again from the file. A file that cannot be read counts as spent.
    State state(QString *error = nullptr) const;
    /// When the pause ends; invalid when there is none now.
    QDateTime pausedUntil() const;

    /// Counts a guess when one may be made now; false, with why, when the code is spent, a
    /// pause runs, or the budget cannot be read or kept (it fails closed).
    bool take(QString *why);
    /// A counted guess that got no Reply after all costs nothing.
    void giveBack();
    /// A guess that did not confirm stays counted; how many guesses the code has left (0: it is
    /// spent now, and a pause begins).
    int wrong();
    /// Pairing worked: everything starts afresh.
    void right();
    /// The user asks for a new code: a pause ends, and the count starts afresh (a damaged file
    /// too). False, with why, when it cannot be kept.
    bool restart(QString *error = nullptr);

private:
    /// Reads, lets `edit` change and writes the state under the lock; a damaged file fails it,
    /// unless `overDamage`, which starts from a fresh state instead.
    bool change(const std::function<void(State &)> &edit, QString *error = nullptr, bool overDamage = false);
    State settled(State s) const;

    QString m_file;
    Clock m_now;
    State m_memory; ///< when kept in no file
};

} // namespace secure
