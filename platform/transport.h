#pragma once
// One connected stream as the socket component uses it: what waits to be sent, the bytes that
// arrived, and their notifications. The plain stream is the socket component's own; a host may
// hand it another kind (an encrypted one, say) through a TransportProvider.

#include "automation.h"
#include "velmora_platform_export.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>
#include <optional>

namespace platform {

class VELMORA_PLATFORM_EXPORT Transport : public QObject
{
public:
    /// There may be bytes to read, or the stream ended (while readability is watched).
    std::function<void()> readable;
    /// A send failed: the system error.
    std::function<void(int)> failed;
    /// Everything queued was handed to the network.
    std::function<void()> drained;
    /// A file range was cut short (62 or 75, with the description).
    std::function<void(qint32, const QString &)> rangeFailed;
    /// The peer says it stopped the send it was making (streams that carry such a notice).
    std::function<void()> peerStopped;

    /// Bytes queued and not yet handed to the network.
    virtual qint64 queued() const = 0;
    /// Bytes that can be read now: for a framed stream, those of the next unit only.
    virtual qint64 waiting() const = 0;
    /// Bytes handed to the network that the peer has not acknowledged.
    virtual qint64 unacknowledged() const = 0;
    /// Reads up to `count` of the bytes waiting into `into`; returns how many came.
    virtual qint64 read(char *into, qint64 count) = 0;
    /// Why nothing waits: -1 while the stream stays open, 0 when the peer closed, else the
    /// system error that broke it.
    virtual int closeReason() const = 0;
    /// Moves up to `maxBytes` of the bytes waiting into `file` at `offset`; returns the count
    /// taken from the stream. When the file cannot take them it sets `systemError`, and the
    /// count includes the bytes lost.
    virtual qint64 receiveToFile(int file, qint64 offset, qint64 maxBytes, int &systemError) = 0;
    /// Queues bytes; for a framed stream, one control message.
    virtual void send(const QByteArray &bytes) = 0;
    /// Queues a file range (taking over `file`); returns how much of it left at once, or the
    /// error that ended it at once.
    virtual qint64 sendFile(int file, qint64 offset, qint64 count, std::optional<AutomationError> &failure) = 0;
    /// The owner lets go: what is queued still goes out, then the stream closes and frees itself.
    virtual void closeWhenDrained() = 0;
    /// Starts or stops telling readable().
    virtual void watchReadable(bool on) = 0;

    /// True for a stream that marks where each control message ends.
    virtual bool framed() const { return false; }
    /// On a framed stream: the bytes waiting are one whole control message (else file bytes).
    virtual bool nextIsControl() const { return false; }
    /// Tells the peer that this side stopped the send it was making (when the stream can).
    virtual void sendStop() {}
};

} // namespace platform
