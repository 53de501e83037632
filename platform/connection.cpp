#include "connection.h"

#include <QTimer>

#include <fcntl.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace platform {

namespace {

constexpr int DrainLimitMsec = 60000;
// What one plain read or write moves where a file system takes no sendfile(2) or splice(2).
constexpr qint64 PlainCopyBytes = 256 * 1024;
constexpr int PipeBytes = 1024 * 1024;

// The file system (or the kind of file) does not do zero-copy moves: plain reads and writes will.
bool isZeroCopyRefused(int systemError)
{
    return systemError == EINVAL || systemError == ENOSYS || systemError == EOPNOTSUPP;
}

// Writes all of `bytes` into `file` at `offset`; false (with the reason) when it cannot.
bool writeAllAt(int file, const char *bytes, qint64 count, qint64 offset, int &systemError)
{
    for (qint64 written = 0; written < count;) {
        const ssize_t out = ::pwrite(file, bytes + written, size_t(count - written), off_t(offset + written));
        if (out < 0 && errno == EINTR)
            continue;
        if (out <= 0) {
            systemError = out < 0 ? errno : EIO;
            return false;
        }
        written += out;
    }
    return true;
}

} // namespace

QString fileErrorText(int systemError)
{
    return standardErrorDescription(err::PathFileAccessError) + QStringLiteral(": ")
        + QString::fromLocal8Bit(std::strerror(systemError));
}

bool isPeerGone(int systemError)
{
    return systemError == ECONNRESET || systemError == EPIPE;
}

Connection::Connection(int descriptor)
    : m_fd(descriptor)
    , m_readNotifier(descriptor, QSocketNotifier::Read)
    , m_writeNotifier(descriptor, QSocketNotifier::Write)
{
    m_writeNotifier.setEnabled(false);
    QObject::connect(&m_writeNotifier, &QSocketNotifier::activated, this, [this] { drain(); });
    QObject::connect(&m_readNotifier, &QSocketNotifier::activated, this, [this] {
        if (readable)
            readable();
    });
}

Connection::~Connection()
{
    for (const Pending &p : m_queue)
        if (p.file >= 0)
            ::close(p.file);
    for (int &end : m_pipe)
        if (end >= 0)
            ::close(std::exchange(end, -1));
    closeDescriptor();
}

qint64 Connection::receiveToFile(int file, qint64 offset, qint64 maxBytes, int &systemError)
{
    if (m_pipe[0] < 0) {
        if (::pipe2(m_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
            systemError = errno;
            return 0;
        }
        ::fcntl(m_pipe[1], F_SETPIPE_SZ, PipeBytes); // fewer round trips; the default size works too
    }
    return spliceToFile(m_pipe, file, offset, maxBytes, systemError);
}

qint64 Connection::waiting() const
{
    int n = 0;
    return ::ioctl(m_fd, FIONREAD, &n) == 0 ? qint64(n) : 0;
}

qint64 Connection::unacknowledged() const
{
    int queued = 0;
    if (::ioctl(m_fd, SIOCOUTQ, &queued) != 0)
        queued = 0;
    return qMax(queued, 0);
}

qint64 Connection::read(char *into, qint64 count)
{
    qint64 got = 0;
    while (got < count) {
        const ssize_t n = ::recv(m_fd, into + got, size_t(count - got), 0);
        if (n > 0)
            got += n;
        else if (n < 0 && errno == EINTR)
            continue;
        else
            break;
    }
    return got;
}

int Connection::closeReason() const
{
    char byte = 0;
    const ssize_t n = ::recv(m_fd, &byte, 1, MSG_PEEK);
    if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)))
        return -1;
    return n == 0 ? 0 : errno;
}

qint64 Connection::spliceToFile(int (&pipe)[2], int file, qint64 offset, qint64 maxBytes, int &systemError)
{
    const qint64 pipeBytes = qMax(::fcntl(pipe[1], F_GETPIPE_SZ), 4096);
    qint64 moved = 0;
    while (moved < maxBytes) {
        const bool plain = file == m_plainFile;
        const ssize_t in = plain ? -1
                                 : ::splice(m_fd, nullptr, pipe[1], nullptr, size_t(qMin(maxBytes - moved, pipeBytes)),
                                            SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
        if (!plain && in < 0 && errno == EINTR)
            continue;
        if (!plain && in < 0 && isZeroCopyRefused(errno)) {
            m_plainFile = file; // plain reads and writes for the rest of this file
            continue;
        }
        // Plain reads also go on past an urgent (out-of-band) byte, where splice(2) stops though
        // the byte is in line with the rest (see SocketComponent::configure()).
        if (plain || (in <= 0 && (in == 0 || errno == EAGAIN) && waiting() > 0)) {
            const qint64 read = readToFile(file, offset + moved, maxBytes - moved, systemError);
            moved += qMax<qint64>(read, 0);
            if (read <= 0 || systemError != 0)
                break;
            continue;
        }
        if (in <= 0)
            break; // nothing more now, the peer's close or a failure: the read notifier reports them
        for (qint64 left = in; left > 0;) {
            loff_t at = loff_t(offset + moved);
            const ssize_t out = ::splice(pipe[0], nullptr, file, &at, size_t(left), SPLICE_F_MOVE);
            if (out < 0 && errno == EINTR)
                continue;
            if (out < 0 && isZeroCopyRefused(errno)) {
                // The file takes no splice(2): what the pipe holds is written plainly, and so is
                // the rest of this file.
                m_plainFile = file;
                QByteArray held(left, Qt::Uninitialized);
                qint64 got = 0;
                while (got < left) {
                    const ssize_t n = ::read(pipe[0], held.data() + got, size_t(left - got));
                    if (n < 0 && errno == EINTR)
                        continue;
                    if (n <= 0)
                        break;
                    got += n;
                }
                if (got < left || !writeAllAt(file, held.constData(), left, offset + moved, systemError)) {
                    systemError = systemError ? systemError : EIO;
                    for (int &end : pipe)
                        ::close(std::exchange(end, -1));
                    return moved + left;
                }
                moved += left;
                break;
            }
            if (out <= 0) {
                systemError = out < 0 ? errno : EIO;
                // The bytes held in the pipe are lost with the file: start the next call empty.
                for (int &end : pipe)
                    ::close(std::exchange(end, -1));
                return moved + left;
            }
            left -= out;
            moved += out;
        }
    }
    return moved;
}

qint64 Connection::readToFile(int file, qint64 offset, qint64 maxBytes, int &systemError)
{
    QByteArray buffer(qMin(maxBytes, PlainCopyBytes), Qt::Uninitialized);
    const qint64 got = read(buffer.data(), buffer.size());
    writeAllAt(file, buffer.constData(), got, offset, systemError);
    return got;
}

void Connection::send(const QByteArray &bytes)
{
    m_queue.push_back(Pending{bytes, 0, -1, 0, 0, 0});
    m_queued += bytes.size();
    drain();
}

qint64 Connection::sendFile(int file, qint64 offset, qint64 count, std::optional<AutomationError> &failure)
{
    const quint64 id = ++m_lastId;
    m_queue.push_back(Pending{QByteArray(), 0, file, offset, count, id});
    m_queued += count;
    m_watched = id;
    m_watchedFailure.reset();
    m_watchedSent = 0;
    drain();
    m_watched = 0;
    failure = m_watchedFailure;
    return m_watchedSent;
}

void Connection::closeWhenDrained()
{
    forgetOwner();
    m_readNotifier.setEnabled(false);
    m_closing = true;
    if (m_queue.empty()) {
        closeDescriptor(); // at once: the peer sees the close now, not after the next loop
        deleteLater();
        return;
    }
    QTimer::singleShot(DrainLimitMsec, this, [this] { deleteLater(); });
}

void Connection::drain()
{
    const bool hadWork = !m_queue.empty();
    while (!m_queue.empty()) {
        Pending &p = m_queue.front();
        if (p.file < 0) {
            const ssize_t n = ::send(m_fd, p.bytes.constData() + p.sent, size_t(p.bytes.size() - p.sent), MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                if (errno == EAGAIN || errno == EWOULDBLOCK)
                    break;
                fail(errno);
                return;
            }
            p.sent += n;
            m_queued -= n;
            if (p.sent == p.bytes.size())
                m_queue.pop_front();
            continue;
        }
        off_t offset = off_t(p.offset);
        const ssize_t n = p.plain ? sendPlain(p) : ::sendfile(m_fd, p.file, &offset, size_t(qMin<qint64>(p.left, 1 << 30)));
        if (n < 0) {
            const int e = errno;
            if (e == EINTR)
                continue;
            if (!p.plain && isZeroCopyRefused(e)) {
                p.plain = true; // plain reads and sends for the rest of this range
                continue;
            }
            if (e == EAGAIN || e == EWOULDBLOCK)
                break;
            if (isPeerGone(e) || e == ENOTCONN) {
                fail(e);
                return;
            }
            cutRange(err::PathFileAccessError, fileErrorText(e));
            continue;
        }
        if (n == 0) { // the file ended before the range did
            cutRange(err::InputPastEndOfFile, standardErrorDescription(err::InputPastEndOfFile));
            continue;
        }
        if (p.id == m_watched)
            m_watchedSent += n;
        p.offset += n;
        p.left -= n;
        m_queued -= n;
        if (p.left == 0) {
            ::close(p.file);
            m_queue.pop_front();
        }
    }
    m_writeNotifier.setEnabled(!m_queue.empty());
    if (!m_queue.empty() || !hadWork)
        return;
    if (m_closing) {
        closeDescriptor();
        deleteLater();
    }
    else if (drained)
        drained();
}

ssize_t Connection::sendPlain(const Pending &p)
{
    if (m_plainBuffer.isEmpty())
        m_plainBuffer.resize(PlainCopyBytes);
    const ssize_t got = ::pread(p.file, m_plainBuffer.data(), size_t(qMin(p.left, PlainCopyBytes)), off_t(p.offset));
    if (got <= 0)
        return got; // 0: the file ended before the range did
    // What the socket does not take now is read again next time.
    return ::send(m_fd, m_plainBuffer.constData(), size_t(got), MSG_NOSIGNAL);
}

void Connection::cutRange(qint32 number, const QString &description)
{
    Pending p = m_queue.front();
    m_queue.pop_front();
    ::close(p.file);
    m_queued -= p.left;
    if (p.id == m_watched)
        m_watchedFailure = AutomationError{number, description};
    else if (rangeFailed)
        rangeFailed(number, description);
}

void Connection::fail(int systemError)
{
    for (const Pending &p : m_queue)
        if (p.file >= 0)
            ::close(p.file);
    m_queue.clear();
    m_queued = 0;
    m_writeNotifier.setEnabled(false);
    if (m_closing) {
        closeDescriptor();
        deleteLater();
    } else if (failed) {
        failed(systemError);
    }
}

void Connection::closeDescriptor()
{
    if (m_fd < 0)
        return;
    m_readNotifier.setEnabled(false);
    m_writeNotifier.setEnabled(false);
    ::close(std::exchange(m_fd, -1));
}

} // namespace platform
