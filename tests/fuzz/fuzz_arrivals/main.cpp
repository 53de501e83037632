// Feeds a FileSender the fuzzer's bytes as a sequence of data arrivals, through the same arrival
// handling the socket path runs, with the control connected over 127.0.0.1 to a raw socket that
// reads back every answer. After each arrival it checks what must always hold and aborts if not.
//
// Input: byte 0 chooses the starting state (bits 0-1: idle, sending, receiving), whether the host
// sets the receive path (bit 2), the starting header's overwrite flag (bit 3) and whether raw
// bytes go through the connection (bit 4: then file data takes the socket's own path into the
// file, splice(2) included, instead of being handed over in memory); bytes 1-2 the size of the
// file being sent or received at the start. Then operations, each led by one byte:
//   op % 4 == 0  raw bytes:  length byte, bytes, then (op >> 2) % 4 split positions
//   op % 4 == 1  a header:   path length byte, path, fields length byte, fields ("|size|block|True"),
//                            then (op >> 2) % 4 split positions
// The pieces of one op come within a message's quiet period; between ops it passes.
//   op % 4 == 2  a tick of the send timer (while it runs): the chunk it sends is read and dropped
//   op % 4 == 3  a tick of the once-a-second counter (the stall watchdogs)
// Header paths are rewritten by this harness into a temporary folder; "FileDat:" anywhere else in
// the stream is broken, so every header the control can see is one the harness built. While an
// input runs, every call of the process that creates, writes, renames or removes a file must name
// a path inside that folder (writewatch.h); anything else is refused and fails the input. Each
// input ends with the control idle again and the folder as it was, so inputs do not depend on
// one another, and what an input allocates it frees (libFuzzer then skips its costly leak scans).

#include "controlsite.h"
#include "filesender.h"
#include "fuzzcheck.h"
#include "numberedfiles.h"
#include "wireprotocol.h"
#include "writewatch.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using sender::FileSender;
using sender::TransferState;
namespace wire = sender::wire;

class QuietSite : public platform::ControlSite
{
public:
    bool ambientUserMode() const override { return true; }
    void propertyChanged(const QString &) override {}
    int messageBox(const QString &, int, const QString &) override { return 1; }
};

struct Harness
{
    // In memory where the system offers it: every input creates and removes files.
    QTemporaryDir base{QFileInfo(QStringLiteral("/dev/shm")).isWritable()
                           ? QStringLiteral("/dev/shm/fuzz_arrivals-XXXXXX")
                           : QDir::tempPath() + QStringLiteral("/fuzz_arrivals-XXXXXX")};
    QString root;           // everything the control may create or write lives under here
    QString rootSlash;      // root and '/'
    QByteArray rootNative;  // root, as system calls take it
    QTcpServer server;
    QTcpSocket *raw = nullptr;
    int rawFd = -1;
    QuietSite site;
    FileSender *control = nullptr;
};

Harness *h = nullptr;
QByteArray currentInput;

[[noreturn]] void fail(const char *what)
{
    fuzz::fail(what, currentInput);
}

void check(bool ok, const char *what)
{
    fuzz::check(ok, what, currentInput);
}

/// Every byte the control has sent since the last call.
QByteArray drain()
{
    QByteArray out;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::recv(h->rawFd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            out.append(buf, n);
            if (size_t(n) < sizeof buf)
                break; // all there was: over loopback a send arrives whole
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break;
    }
    return out;
}

bool isAnswerTag(QByteArrayView bytes)
{
    return bytes == QByteArrayView(wire::SendDataTag, 8) || bytes == QByteArrayView(wire::HereIsItTag, 8)
        || bytes == QByteArrayView(wire::SendErrorTag, 8);
}

bool underRoot(const QString &path)
{
    // Cleaned only when it could change something: this runs after every arrival.
    const bool clean = !path.contains(u"/.") && !path.contains(u"//");
    return (clean ? path : QDir::cleanPath(path)).startsWith(h->rootSlash);
}

void checkInvariants()
{
    const sender::FileSenderFields &f = h->control->fields();
    check(f.Busy == platform::VariantFalse || f.Busy == platform::VariantTrue, "Busy is neither True nor False");
    check(f.TransferMode == 0 || f.TransferMode == 1, "TransferMode is neither 0 nor 1");
    check(f.Busy != platform::VariantFalse || f.TransferMode == 0, "TransferMode 1 while not Busy");
    check(f.DoneBytes >= 0 && f.DoneBytes <= f.TotalBytes, "DoneBytes outside 0..TotalBytes");
    check(platform::NumberedFiles::OpenCount() <= 1, "more than one file open");
    if (h->control->transferState() != TransferState::Idle)
        check(platform::NumberedFiles::IsOpen(f.FileNumber), "a transfer without its file open");
    check(f.ReciveFilePath.isEmpty() || underRoot(f.ReciveFilePath), "a receive path outside the folder");
    const QByteArray outside = writewatch::takeRefusal();
    if (!outside.isEmpty())
        fail(("a write outside the folder refused: " + outside).constData());
}

/// Delivers what the control's own notifications queued for the event loop (a send drained, a
/// file range cut short), as the loop would before the next arrival.
void settle()
{
    QCoreApplication::sendPostedEvents();
}

/// Hands one arrival to the control; what it answers stays in the socket for drain().
void arrive(const QByteArray &bytes)
{
    h->control->handleArrival(bytes);
    settle();
    checkInvariants();
}

/// Sends an arrival over the connection and has the control take it as its socket announces it,
/// without running the event loop (so that an input plays the same way every time).
void arriveBySocket(const QByteArray &bytes)
{
    for (qsizetype sent = 0; sent < bytes.size();) {
        const ssize_t n = ::send(h->rawFd, bytes.constData() + sent, size_t(bytes.size() - sent), MSG_NOSIGNAL);
        if (n <= 0)
            fail("cannot send over the connection");
        sent += n;
    }
    // Nothing else waits there: the control took all before.
    platform::SocketComponent &socket = h->control->socket();
    const QDeadlineTimer deadline(10000);
    while (socket.BytesReceived() < bytes.size())
        check(!deadline.hasExpired(), "bytes sent over loopback did not arrive");
    for (qint64 waiting = socket.BytesReceived(); waiting > 0;) {
        emit socket.dataArrival(qint32(waiting));
        settle();
        checkInvariants();
        const qint64 left = socket.BytesReceived();
        check(left < waiting, "an arrival the control did not take");
        waiting = left;
    }
}

void checkAllAnswers(const QByteArray &out)
{
    check(out.size() % 8 == 0, "a partial answer");
    for (qsizetype i = 0; i < out.size(); i += 8)
        check(isAnswerTag(out.mid(i, 8)), "something other than an answer went out");
}

class Reader
{
public:
    Reader(const uint8_t *data, size_t size) : m_data(data), m_size(size) {}
    bool atEnd() const { return m_pos >= m_size; }
    uint8_t byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    QByteArray bytes(size_t n)
    {
        n = std::min(n, m_size - std::min(m_pos, m_size));
        QByteArray b(reinterpret_cast<const char *>(m_data + m_pos), qsizetype(n));
        m_pos += n;
        return b;
    }

private:
    const uint8_t *m_data;
    size_t m_size;
    size_t m_pos = 0;
};

enum class OpKind { Raw, Header, SendTick, CountTick };

struct Op
{
    OpKind kind;
    qsizetype start = 0; // in the stream
    qsizetype length = 0;
    std::vector<qsizetype> cuts; // split positions inside the op
};

// A header path as the harness writes it: letters, digits, '-', '_' and '/' only, under root.
QByteArray rewritePath(const QByteArray &fuzzed)
{
    QByteArray path = h->rootNative + '/';
    path.reserve(path.size() + fuzzed.size());
    for (char c : fuzzed) {
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-'
            || c == '/';
        path += keep ? c : '_';
    }
    return path;
}

/// Removes what the last input created, newest first, so that folders go after their files
/// ("reset" included: the header below makes it again).
void removeCreated()
{
    const QList<QByteArray> created = writewatch::takeCreated();
    for (auto path = created.crbegin(); path != created.crend(); ++path)
        if (::unlink(path->constData()) != 0 && errno == EISDIR)
            ::rmdir(path->constData());
}

void reset()
{
    FileSender &c = *h->control;
    c.StopSend();
    c.resetArrivalState();
    settle();
    drain();
    // The folder as it was before the input.
    removeCreated();
    // An empty file received leaves the transfer fields as a fresh control has them, whatever
    // the last input did (without a path of the host's, which would win over the header's).
    // The file stays in the folder, so that most inputs end without creating anything.
    c.setReciveFilePath(QString());
    static const QByteArray resetHeader = wire::FileDataTag + h->rootNative + "/reset|0|100000|False";
    c.handleArrival(resetHeader);
    settle();
    if (drain() != wire::HereIsItTag)
        fail("the header that resets the control was not answered HereisIt");
    writewatch::takeCreated();
    c.setReciveFilePath(QString());
    checkInvariants(); // a refused write while winding down belongs to this input too
    // Now and then, make sure that nothing was left behind.
    static unsigned resets = 0;
    if (++resets % 1024 == 0) {
        const QDir::Filters all = QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot;
        check(QDir(h->root).entryList(all) == QStringList{QStringLiteral("reset")},
              "files left behind in the folder (by this input or one before)");
    }
}

/// Watches what the control writes while an input runs.
struct WatchingWrites
{
    WatchingWrites() { writewatch::setWatching(true); }
    ~WatchingWrites() { writewatch::setWatching(false); }
};

/// Makes sure the watch sees the calls Qt makes: writes beside the folder must be refused.
void probeWriteWatch()
{
    writewatch::setFolder(h->rootNative);
    const QString beside = h->base.path() + QStringLiteral("/probe");
    bool opened = false;
    bool created = false;
    QByteArray refused;
    {
        const WatchingWrites watch;
        QFile file(beside);
        opened = file.open(QIODevice::WriteOnly);
        created = QDir().mkdir(beside + QStringLiteral("-folder"));
        refused = writewatch::takeRefusal();
    }
    if (opened || created || refused.isEmpty()) {
        std::fprintf(stderr, "fuzz_arrivals: the watch on writes outside the folder does not work\n");
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static QApplication app(*argc, *argv);
    h = new Harness; // lives as long as the process: libFuzzer ends it with exit()
    if (!h->base.isValid())
        std::abort();
    std::atexit([] { h->base.remove(); });
    h->root = h->base.path() + QStringLiteral("/in");
    h->rootSlash = h->root + u'/';
    h->rootNative = QFile::encodeName(h->root);
    QDir().mkpath(h->root);
    if (!h->server.listen(QHostAddress::LocalHost, 0))
        std::abort();
    h->control = new FileSender;
    h->control->setSite(&h->site);
    h->control->Connect(QStringLiteral("127.0.0.1"), h->server.serverPort());
    const QDeadlineTimer deadline(10000);
    while ((!h->raw || h->control->State() != platform::SocketComponent::Connected) && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        if (!h->raw && h->server.hasPendingConnections())
            h->raw = h->server.nextPendingConnection();
    }
    if (!h->raw || h->control->State() != platform::SocketComponent::Connected) {
        std::fprintf(stderr, "fuzz_arrivals: no connection over 127.0.0.1\n");
        std::abort();
    }
    h->rawFd = int(h->raw->socketDescriptor());
    probeWriteWatch();
    reset();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    currentInput = QByteArray(reinterpret_cast<const char *>(data), qsizetype(size));
    const WatchingWrites watch;
    FileSender &c = *h->control;
    Reader in(data, size);

    const uint8_t setup = in.byte();
    const bool bySocket = setup & 16;
    const int sizeHigh = in.byte();
    const int startSize = (sizeHigh << 8 | in.byte()) % 4096 + 1;
    if (setup & 4)
        c.setReciveFilePath(h->root + QStringLiteral("/host/received"));
    switch (setup % 4) {
    case 1: { // sending
        const QByteArray source = h->rootNative + "/source";
        const int fd = ::open(source.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0 || ::ftruncate(fd, startSize) != 0)
            fail("cannot write the file to send");
        ::close(fd);
        c.SendFile(QFile::decodeName(source), setup & 8);
        settle();
        check(c.transferState() == TransferState::Sending, "a send that did not start");
        check(drain().startsWith(wire::FileDataTag), "a send that announced no header");
        break;
    }
    case 2: { // receiving
        const QByteArray header = wire::FileDataTag + h->rootNative + "/start|" + QByteArray::number(startSize)
            + "|4096|" + ((setup & 8) ? "True" : "False");
        arrive(header);
        check(drain() == wire::SendDataTag, "a valid header not answered SendDat:");
        check(c.transferState() == TransferState::Receiving, "a receive that did not start");
        break;
    }
    default:
        break;
    }

    // The operations and the stream of bytes they carry.
    std::vector<Op> ops;
    QByteArray stream;
    std::vector<qsizetype> headerStarts;
    while (!in.atEnd() && ops.size() < 64) {
        const uint8_t code = in.byte();
        Op op{OpKind(code % 4), 0, 0, {}};
        op.start = stream.size();
        if (op.kind == OpKind::Raw) {
            stream += in.bytes(in.byte());
        } else if (op.kind == OpKind::Header) {
            const QByteArray path = rewritePath(in.bytes(in.byte() % 32));
            const QByteArray fields = in.bytes(in.byte() % 64);
            QByteArray header = wire::FileDataTag + path + '|' + fields;
            // Completed here, so the control never waits for more of a header the harness built.
            for (QString text = QString::fromLocal8Bit(header.mid(wire::TagLength)); !wire::isHeaderComplete(text);) {
                header += '|';
                text += u'|';
            }
            headerStarts.push_back(stream.size());
            stream += header;
        }
        op.length = stream.size() - op.start;
        if (op.kind == OpKind::Raw || op.kind == OpKind::Header) {
            for (int i = (code >> 2) % 4; i > 0; --i)
                op.cuts.push_back(op.length ? in.byte() % op.length : 0);
            std::sort(op.cuts.begin(), op.cuts.end());
        }
        ops.push_back(op);
    }
    // A header tag anywhere but where the harness put one is broken ('D' becomes 'd').
    for (qsizetype at = stream.indexOf(wire::FileDataTag); at >= 0; at = stream.indexOf(wire::FileDataTag, at + 1))
        if (std::find(headerStarts.begin(), headerStarts.end(), at) == headerStarts.end())
            stream[at + 4] = 'd';

    for (const Op &op : ops) {
        const TransferState before = c.transferState();
        switch (op.kind) {
        case OpKind::SendTick:
            if (c.sendTimer().Enabled()) {
                c.sendTimerTick();
                settle();
                drain(); // file data
                checkInvariants();
            }
            continue;
        case OpKind::CountTick:
            c.timeCountTick();
            settle();
            check(drain().isEmpty(), "a watchdog tick sent something");
            checkInvariants();
            continue;
        case OpKind::Raw:
        case OpKind::Header:
            break;
        }
        qsizetype from = 0;
        std::vector<qsizetype> ends = op.cuts;
        ends.push_back(op.length);
        for (qsizetype to : ends) {
            const QByteArray piece = QByteArray::fromRawData(stream.constData() + op.start + from, to - from);
            if (to > from && bySocket && op.kind == OpKind::Raw)
                arriveBySocket(piece);
            else if (to > from)
                arrive(piece);
            from = std::max(from, to);
        }
        if (c.assemblingMessage()) { // the quiet period passes before the next op
            c.resetArrivalState();
            settle();
            checkInvariants();
        }
        const QByteArray answers = drain();
        checkAllAnswers(answers);
        const QByteArray first = answers.left(8);
        const TransferState after = c.transferState();
        if (op.kind == OpKind::Header && before == TransferState::Idle) {
            // Exactly one answer to the header; after "SendDat:" its own data may already end it.
            check(answers.size() == 8 || (answers.size() == 16 && first == wire::SendDataTag
                                          && answers.mid(8) != wire::SendDataTag),
                  "a header not answered exactly once");
            if (answers == wire::SendDataTag)
                check(after == TransferState::Receiving, "SendDat: without a receive");
            else
                check(after == TransferState::Idle, "a refused or finished header left a transfer");
        } else if (op.kind == OpKind::Header && before == TransferState::Sending) {
            check(answers.isEmpty(), "a crossing header answered");
            check(after == TransferState::Idle, "a crossing header left the send running");
        } else if (before == TransferState::Receiving) {
            // Bytes of the file: at most the one answer that ends the receive.
            check(answers.size() <= 8, "more than one answer to file data");
            check(answers.isEmpty() || first != wire::SendDataTag, "SendDat: to file data");
            if (answers == wire::HereIsItTag)
                check(after == TransferState::Idle, "HereisIt with the receive still running");
        } else {
            check(answers.isEmpty(), "an answer to something that is not a header");
        }
    }
    // Back to idle with the folder as it was, so that each input starts alike and frees what it took.
    reset();
    return 0;
}
