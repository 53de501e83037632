#pragma once
// The socket component's connected stream on its own non-blocking descriptor: the queue of
// what waits to be sent (bytes, and file ranges that go out with sendfile(2)), the reads
// (into the caller's storage, or with splice(2) into a file) and the notifiers. Used inside
// the platform library only; not installed.

#include "automation.h"
#include "transport.h"

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
class Connection : public Transport
{
public:
    explicit Connection(int descriptor);
    ~Connection() override;

    qint64 queued() const override { return m_queued; }
    /// Bytes waiting in the kernel to be read.
    qint64 waiting() const override;
    /// Bytes sent and not yet acknowledged by the peer, still in the system's send queue.
    qint64 unacknowledged() const override;
    qint64 read(char *into, qint64 count) override;
    int closeReason() const override;
    /// With splice(2) through a pipe of its own, no copy in this process.
    qint64 receiveToFile(int file, qint64 offset, qint64 maxBytes, int &systemError) override;
    void send(const QByteArray &bytes) override;
    /// The range goes out with sendfile(2).
    qint64 sendFile(int file, qint64 offset, qint64 count, std::optional<AutomationError> &failure) override;
    void closeWhenDrained() override;
    void watchReadable(bool on) override { m_readNotifier.setEnabled(on); }

    /// Moves up to `maxBytes` waiting bytes into `file` at `offset` through `pipe` (splice(2));
    /// returns the count taken from the connection. When the file cannot take them it sets
    /// `systemError` and closes the pipe, and the count includes the bytes lost with it.
    qint64 spliceToFile(int (&pipe)[2], int file, qint64 offset, qint64 maxBytes, int &systemError);
    /// Reads up to `maxBytes` waiting bytes and writes them into `file` at `offset`; returns the
    /// count read. When the file cannot take them it sets `systemError`.
    qint64 readToFile(int file, qint64 offset, qint64 maxBytes, int &systemError);

private:
    struct Pending
    {
        QByteArray bytes;  ///< bytes to send, when no file
        qsizetype sent = 0;
        int file = -1;     ///< our own duplicate of the file's descriptor
        qint64 offset = 0; ///< next byte of the file to send
        qint64 left = 0;   ///< bytes of the file still to send
        quint64 id = 0;
        bool plain = false; ///< the file refused sendfile(2): read and sent plainly
    };

    // Sends the next part of a file range with a plain read and send; what send(2) returns.
    ssize_t sendPlain(const Pending &p);

    void drain();
    // Drops the rest of the file range at the front and says so.
    void cutRange(qint32 number, const QString &description);
    void fail(int systemError);
    void closeDescriptor();

    int m_fd;
    QSocketNotifier m_readNotifier;
    QSocketNotifier m_writeNotifier;
    int m_pipe[2] = {-1, -1}; ///< carries bytes from the socket to a file
    std::deque<Pending> m_queue;
    qint64 m_queued = 0;
    bool m_closing = false;
    quint64 m_lastId = 0;
    quint64 m_watched = 0;
    qint64 m_watchedSent = 0;
    std::optional<AutomationError> m_watchedFailure;
    int m_plainFile = -1;     ///< a file that refused splice(2): received with plain reads and writes
    QByteArray m_plainBuffer; ///< for ranges sent plainly
};

} // namespace platform
