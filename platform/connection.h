#pragma once
// The socket component's connected stream on its own non-blocking descriptor: the queue of
// what waits to be sent (bytes, and file ranges that go out with sendfile(2)), the reads
// (into the caller's storage, or with splice(2) into a file) and the notifiers. Used inside
// the platform library only; not installed.

#include "automation.h"

#include <QByteArray>
#include <QObject>
#include <QSocketNotifier>
#include <QString>

#include <deque>
#include <functional>
#include <optional>

namespace platform {

// A file error's catalogue text followed by the system's reason, so that a failure says why.
QString fileErrorText(int systemError);

// A reset or broken connection ends it like a close by the peer.
bool isPeerGone(int systemError);

/// A connected stream on its own descriptor: what waits to be sent (bytes and file ranges, in
/// call order), reads straight from the descriptor, and the notifiers.
class Connection : public QObject
{
public:
    explicit Connection(int descriptor);
    ~Connection() override;

    qint64 queued() const { return m_queued; }

    /// Bytes waiting in the kernel to be read.
    qint64 waiting() const;
    /// Bytes sent and not yet acknowledged by the peer, still in the system's send queue.
    qint64 unacknowledged() const;
    /// Reads up to `count` waiting bytes into `into`; returns how many came.
    qint64 read(char *into, qint64 count);
    /// Why a readable descriptor has nothing waiting: -1 while it stays open, 0 when the peer
    /// closed, else the system error that broke it.
    int closeReason() const;
    /// Moves up to `maxBytes` waiting bytes into `file` at `offset` through `pipe` (splice(2));
    /// returns the count taken from the connection. When the file cannot take them it sets
    /// `systemError` and closes the pipe, and the count includes the bytes lost with it.
    qint64 spliceToFile(int (&pipe)[2], int file, qint64 offset, qint64 maxBytes, int &systemError);

    void send(const QByteArray &bytes);

    /// Queues a file range (taking over `file`); returns how much of it left at once, or the
    /// error that ended it at once.
    qint64 sendFile(int file, qint64 offset, qint64 count, std::optional<AutomationError> &failure);

    /// The owner lets go: what is queued still goes out, then the descriptor is closed.
    void closeWhenDrained();

    QSocketNotifier readNotifier;
    std::function<void(int)> failed;                          ///< a send failed: the system error
    std::function<void()> drained;                            ///< the queue ran empty
    std::function<void(qint32, const QString &)> rangeFailed; ///< a file range was cut short

private:
    struct Pending
    {
        QByteArray bytes;  ///< bytes to send, when no file
        qsizetype sent = 0;
        int file = -1;     ///< our own duplicate of the file's descriptor
        qint64 offset = 0; ///< next byte of the file to send
        qint64 left = 0;   ///< bytes of the file still to send
        quint64 id = 0;
    };

    void drain();
    // Drops the rest of the file range at the front and says so.
    void cutRange(qint32 number, const QString &description);
    void fail(int systemError);
    void closeDescriptor();

    int m_fd;
    QSocketNotifier m_writeNotifier;
    std::deque<Pending> m_queue;
    qint64 m_queued = 0;
    bool m_closing = false;
    quint64 m_lastId = 0;
    quint64 m_watched = 0;
    qint64 m_watchedSent = 0;
    std::optional<AutomationError> m_watchedFailure;
};

} // namespace platform
