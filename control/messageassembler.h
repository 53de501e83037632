#pragma once
// Puts a text message back together when the network splits it. The protocol has no framing:
// bytes that follow a message within a quiet period continue it, whatever they start with; the
// message is complete once the period passes without more, or once it holds the most bytes a
// message can take.

#include "sender_export.h"
#include "wireprotocol.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>

#include <functional>

namespace sender {

class SENDER_EXPORT MessageAssembler : public QObject
{
    Q_OBJECT
public:
    /// How long a message waits for more pieces after the last one.
    static constexpr int QuietMsec = 25;
    /// The most bytes a message can take: its tag and 8192 characters of at most four bytes each.
    static constexpr qsizetype MaxBytes = wire::TagLength + wire::MaxMessageLength * 4;

    /// `bytesWaiting` tells whether bytes wait to be read: they are the next piece, so the
    /// quiet period is not over while there are some.
    explicit MessageAssembler(std::function<bool()> bytesWaiting, QObject *parent = nullptr);

    /// True while a message is held.
    bool holding() const { return !m_held.isEmpty(); }
    /// Takes the front of `bytes` (a message, tag first, or what follows the one held), up to the
    /// most bytes a message can take; what it does not take stays in `bytes`.
    void take(QByteArray &bytes);
    /// Completes the message held, if any, now.
    void flush();

signals:
    /// A whole message: its bytes after the tag.
    void complete(const QByteArray &text);

private:
    QByteArray m_held;
    QTimer m_quiet;
    std::function<bool()> m_bytesWaiting;
};

} // namespace sender
