// Feeds a FileSender the fuzzer's bytes as a sequence of data arrivals, through the same arrival
// handling the socket path runs, with the control connected over 127.0.0.1 to a raw socket that
// reads back every answer. After each arrival it checks what must always hold and aborts if not.
//
// Input: byte 0 chooses the starting state (bits 0-1: idle, sending, receiving), whether the host
// sets the receive path (bit 2) and the starting header's overwrite flag (bit 3); bytes 1-2 the
// size of the file being sent or received at the start. Then operations, each led by one byte:
//   op % 4 == 0  raw bytes:  length byte, bytes, then (op >> 2) % 4 split positions
//   op % 4 == 1  a header:   path length byte, path, fields length byte, fields ("|size|block|True"),
//                            then (op >> 2) % 4 split positions
//   op % 4 == 2  a tick of the send timer (while it runs): the chunk it sends is read and dropped
//   op % 4 == 3  a tick of the once-a-second counter (the stall watchdogs)
// Header paths are rewritten by this harness into a fresh temporary folder; "FileDat:" anywhere
// else in the stream is broken, so every header the control can see is one the harness built.

#include "controlsite.h"
#include "filesender.h"
#include "numberedfiles.h"
#include "wireprotocol.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
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
    QByteArray baseNative;  // base.path() for system calls
    QTcpServer server;
    QTcpSocket *raw = nullptr;
    int rawFd = -1;
    QuietSite site;
    FileSender *control = nullptr;
    QSet<QString> filesOpenBefore; // regular files the process held before the first input
};

Harness *h = nullptr;
QByteArray currentInput;

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "fuzz_arrivals: %s (input %s)\n", what, currentInput.toHex().constData());
    std::abort();
}

void check(bool ok, const char *what)
{
    if (!ok)
        fail(what);
}

QSet<QString> openRegularFiles()
{
    // Plain system calls: this runs after every arrival.
    QSet<QString> files;
    DIR *dir = ::opendir("/proc/self/fd");
    if (!dir)
        return files;
    const int own = ::dirfd(dir);
    while (const dirent *entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == own)
            continue;
        char target[4096];
        const ssize_t n = ::readlinkat(own, entry->d_name, target, sizeof target - 1);
        if (n <= 0 || target[0] != '/')
            continue; // sockets, pipes and the like
        target[n] = 0;
        if (std::strncmp(target, "/dev/", 5) != 0 && std::strncmp(target, "/proc/", 6) != 0)
            files.insert(QString::fromLocal8Bit(target, n));
    }
    ::closedir(dir);
    return files;
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
    return QDir::cleanPath(path).startsWith(h->root + u'/');
}

/// True when the folder holds nothing but "in" (plain system calls: this runs after every arrival).
bool onlyEntryIsIn(const char *folder)
{
    DIR *dir = ::opendir(folder);
    if (!dir)
        return false;
    bool only = true;
    while (const dirent *entry = ::readdir(dir)) {
        const char *name = entry->d_name;
        if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0 && std::strcmp(name, "in") != 0)
            only = false;
    }
    ::closedir(dir);
    return only;
}

void checkInvariants()
{
    const sender::FileSenderFields &f = h->control->fields();
    check(f.Busy == platform::VariantFalse || f.Busy == platform::VariantTrue, "Busy is neither True nor False");
    check(f.TransferMode == 0 || f.TransferMode == 1, "TransferMode is neither 0 nor 1");
    check(f.Busy != platform::VariantFalse || f.TransferMode == 0, "TransferMode 1 while not Busy");
    check(f.DoneBytes >= 0 && f.DoneBytes <= f.TotalBytes, "DoneBytes outside 0..TotalBytes");
    int open = 0;
    for (qint16 n = 1; n <= platform::NumberedFiles::MaxNumber; ++n)
        open += platform::NumberedFiles::IsOpen(n) ? 1 : 0;
    check(open <= 1, "more than one file open");
    if (h->control->transferState() != TransferState::Idle)
        check(platform::NumberedFiles::IsOpen(f.FileNumber), "a transfer without its file open");
    check(f.ReciveFilePath.isEmpty() || underRoot(f.ReciveFilePath), "a receive path outside the folder");
    // Nothing appears beside the folder the paths point into, and no file outside it is open.
    check(onlyEntryIsIn(h->baseNative.constData()), "a file created outside the folder");
}

/// No file outside the folder is open (after each operation: it reads every descriptor).
void checkOpenFiles()
{
    for (const QString &file : openRegularFiles())
        check(h->filesOpenBefore.contains(file) || underRoot(file), "a file outside the folder is open");
}

/// Hands one arrival to the control; returns what it answered.
QByteArray arrive(const QByteArray &bytes)
{
    h->control->handleArrival(bytes);
    const QByteArray out = drain();
    checkInvariants();
    return out;
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
    QByteArray path = h->root.toLocal8Bit() + '/';
    for (char c : fuzzed) {
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-'
            || c == '/';
        path += keep ? c : '_';
    }
    return path;
}

void reset()
{
    FileSender &c = *h->control;
    c.StopSend();
    c.resetArrivalState();
    drain();
    // A fresh folder for every input (most inputs leave nothing in it).
    if (!QDir(h->root).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
        QDir(h->root).removeRecursively();
        QDir().mkpath(h->root);
    }
    // An empty file received leaves the transfer fields as a fresh control has them, whatever
    // the last input did.
    c.handleArrival(wire::FileDataTag + h->root.toLocal8Bit() + "/reset|0|100000|True");
    if (drain() != wire::HereIsItTag)
        fail("the header that resets the control was not answered HereisIt");
    QFile::remove(h->root + QStringLiteral("/reset"));
    c.setReciveFilePath(QString());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static QApplication app(*argc, *argv);
    h = new Harness;
    if (!h->base.isValid())
        std::abort();
    h->root = h->base.path() + QStringLiteral("/in");
    h->baseNative = QFile::encodeName(h->base.path());
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
    h->filesOpenBefore = openRegularFiles();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    currentInput = QByteArray(reinterpret_cast<const char *>(data), qsizetype(size));
    reset();
    FileSender &c = *h->control;
    Reader in(data, size);

    const uint8_t setup = in.byte();
    const int sizeHigh = in.byte();
    const int startSize = (sizeHigh << 8 | in.byte()) % 4096 + 1;
    if (setup & 4)
        c.setReciveFilePath(h->root + QStringLiteral("/host/received"));
    switch (setup % 4) {
    case 1: { // sending
        const QString source = h->root + QStringLiteral("/source");
        QFile file(source);
        if (!file.open(QIODevice::WriteOnly) || file.write(QByteArray(startSize, 'S')) != startSize)
            fail("cannot write the file to send");
        file.close();
        c.SendFile(source, setup & 8);
        check(c.transferState() == TransferState::Sending, "a send that did not start");
        check(drain().startsWith(wire::FileDataTag), "a send that announced no header");
        break;
    }
    case 2: { // receiving
        const QByteArray header = wire::FileDataTag + h->root.toLocal8Bit() + "/start|" + QByteArray::number(startSize)
            + "|4096|" + ((setup & 8) ? "True" : "False");
        check(arrive(header) == wire::SendDataTag, "a valid header not answered SendDat:");
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
            while (!wire::isHeaderComplete(QString::fromLocal8Bit(header.mid(wire::TagLength))))
                header += '|';
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
                drain(); // file data
                checkInvariants();
                checkOpenFiles();
            }
            continue;
        case OpKind::CountTick:
            c.timeCountTick();
            check(drain().isEmpty(), "a watchdog tick sent something");
            checkInvariants();
            continue;
        case OpKind::Raw:
        case OpKind::Header:
            break;
        }
        QByteArray answers;
        qsizetype from = 0;
        std::vector<qsizetype> ends = op.cuts;
        ends.push_back(op.length);
        for (qsizetype to : ends) {
            if (to > from)
                answers += arrive(stream.mid(op.start + from, to - from));
            from = std::max(from, to);
        }
        checkAllAnswers(answers);
        checkOpenFiles();
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
    return 0;
}
