#include "netaddress.h"
#include "socketcomponent.h"
#include "testhelpers.h"
#include "transport.h"

#include <QFile>
#include <QPointer>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <utility>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace platform;

namespace {

// What the file system offers: sendfile(2) and splice(2), neither, or splice(2) out of files only.
enum class ZeroCopy { Offered, Refused, RefusedIntoFiles };
ZeroCopy zeroCopy = ZeroCopy::Offered;

bool isRegularFile(int fd)
{
    struct stat info = {};
    return ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}

template<typename Function>
Function *next(const char *name)
{
    return reinterpret_cast<Function *>(::dlsym(RTLD_NEXT, name));
}

} // namespace

// These stand in front of the C library's for the whole program (the library under test
// included), failing as a file system that does not offer them makes them fail.
extern "C" Q_DECL_EXPORT ssize_t sendfile(int out, int in, off_t *offset, size_t count)
{
    if (zeroCopy == ZeroCopy::Refused) {
        errno = EINVAL;
        return -1;
    }
    static const auto real = next<ssize_t(int, int, off_t *, size_t)>("sendfile");
    return real(out, in, offset, count);
}

extern "C" Q_DECL_EXPORT ssize_t splice(int in, loff_t *inOffset, int out, loff_t *outOffset, size_t count, unsigned flags)
{
    if (zeroCopy == ZeroCopy::Refused || (zeroCopy == ZeroCopy::RefusedIntoFiles && isRegularFile(out))) {
        errno = EINVAL;
        return -1;
    }
    static const auto real = next<ssize_t(int, loff_t *, int, loff_t *, size_t, unsigned)>("splice");
    return real(in, inOffset, out, outOffset, count, flags);
}
Q_DECLARE_METATYPE(ZeroCopy)

using testing::ClosedPort;
using testing::connectPair;
using testing::waitFor;

namespace {

// Collects every byte a component receives, fetching on each arrival as a control does.
struct Collector
{
    explicit Collector(SocketComponent &s)
    {
        QObject::connect(&s, &SocketComponent::dataArrival, &s, [this, &s](qint32 total) {
            counts.append(total);
            QByteArray chunk;
            s.GetData(chunk);
            QCOMPARE(chunk.size(), qsizetype(total));
            bytes += chunk;
        });
    }
    QByteArray bytes;
    QList<qint32> counts;
};

// Records the error notifications of a component.
struct ErrorRecorder
{
    explicit ErrorRecorder(SocketComponent &s)
    {
        QObject::connect(&s, &SocketComponent::error, &s,
                         [this](qint16 n, QString &d, qint32 scode, const QString &, const QString &, qint32, bool &cancel) {
                             numbers.append(n);
                             descriptions.append(d);
                             scodes.append(scode);
                             cancel = true;
                         });
    }
    QList<int> numbers;
    QStringList descriptions;
    QList<qint32> scodes;
};

using testing::pattern;

// Writes `bytes` to a new file in `dir` and opens it for reading.
std::unique_ptr<QFile> sourceFile(const QTemporaryDir &dir, const QByteArray &bytes)
{
    auto file = std::make_unique<QFile>(dir.filePath(QStringLiteral("source.bin")));
    if (!file->open(QIODevice::WriteOnly) || file->write(bytes) != bytes.size())
        return nullptr;
    file->close();
    return file->open(QIODevice::ReadOnly) ? std::move(file) : nullptr;
}

// A stream that gets ready only when the test says so; once ready it carries bytes as they are.
class FakeStream : public Transport
{
public:
    FakeStream(int fd, bool readyNow) : m_fd(fd), m_ready(readyNow), m_notifier(fd, QSocketNotifier::Read)
    {
        ++live;
        m_notifier.setEnabled(readyNow);
        QObject::connect(&m_notifier, &QSocketNotifier::activated, this, [this] {
            if (readable)
                readable();
        });
    }
    ~FakeStream() override
    {
        --live;
        m_notifier.setEnabled(false);
        ::close(m_fd);
    }
    void getReady()
    {
        m_ready = true;
        m_notifier.setEnabled(true);
        if (ready)
            ready();
    }
    bool isReady() const override { return m_ready; }
    qint64 queued() const override { return 0; }
    qint64 waiting() const override
    {
        int n = 0;
        return ::ioctl(m_fd, FIONREAD, &n) == 0 ? n : 0;
    }
    qint64 unacknowledged() const override { return 0; }
    qint64 read(char *into, qint64 count) override { return qMax<ssize_t>(0, ::recv(m_fd, into, size_t(count), 0)); }
    int closeReason() const override
    {
        char c;
        return ::recv(m_fd, &c, 1, MSG_PEEK | MSG_DONTWAIT) == 0 ? 0 : -1;
    }
    qint64 receiveToFile(int, qint64, qint64, int &) override { return 0; }
    void send(const QByteArray &bytes) override { ::send(m_fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL); }
    qint64 sendFile(int file, qint64, qint64, std::optional<AutomationError> &) override { return ::close(file); }
    void closeWhenDrained() override { deleteLater(); }
    void watchReadable(bool on) override { m_notifier.setEnabled(on && m_ready); }

    static inline int live = 0;

private:
    int m_fd;
    bool m_ready;
    QSocketNotifier m_notifier;
};

// Chooses by the peer's first byte: 'S' a stream that gets ready when the test says so, 'Y' one
// ready at once, 'X' one that gives up, 'R' a refusal, anything else the plain stream.
struct FakeProvider : TransportProvider
{
    QHash<QString, QPointer<FakeStream>> streams; // by the peer's address and port
    QStringList seen;

    static QString key(const QHostAddress &address, quint16 port) { return address.toString() + u':' + QString::number(port); }
    bool inspectsAccepted() const override { return true; }
    Transport *connected(int) override { return nullptr; }
    Transport *accepted(int fd, const QByteArray &first, QString *refusal) override
    {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        ::getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &length);
        seen << key(platform::net::peerOf(fd), ntohs(reinterpret_cast<sockaddr_in *>(&peer)->sin_port)); // same place in IPv6
        const char kind = first.isEmpty() ? 'P' : first[0];
        if (kind == 'R')
            *refusal = QStringLiteral("refused by the test");
        if (kind != 'S' && kind != 'Y' && kind != 'X')
            return nullptr;
        auto *stream = new FakeStream(fd, kind == 'Y');
        if (kind == 'X')
            QTimer::singleShot(0, stream, [stream] {
                if (stream->refused)
                    stream->refused(QStringLiteral("the handshake failed"));
            });
        return streams[seen.last()] = stream;
    }
    FakeStream *streamOf(const QTcpSocket &client) const { return streams.value(key(client.localAddress(), client.localPort())); }
    // A client from `from` connected to `port` that sends `first`; returned once it was looked at.
    std::unique_ptr<QTcpSocket> client(const char *from, qint32 port, const QByteArray &first = "S")
    {
        auto socket = std::make_unique<QTcpSocket>();
        socket->bind(QHostAddress(QString::fromLatin1(from)));
        socket->connectToHost(QHostAddress::LocalHost, quint16(port));
        if (!socket->waitForConnected(5000))
            return socket;
        const QString mine = key(socket->localAddress(), socket->localPort());
        if (socket->write(first) == first.size() && socket->waitForBytesWritten(5000))
            waitFor([&] { return seen.contains(mine); });
        return socket;
    }
};

// Bytes go both ways between `s` and its peer, after the first byte the provider looked at.
bool carriesBytes(SocketComponent &s, const Collector &atS, QTcpSocket &peer)
{
    peer.write("ping");
    s.SendData(QByteArray("pong"));
    QByteArray atPeer;
    return waitFor([&] { return atS.bytes == "Sping" && (atPeer += peer.readAll()) == "pong"; });
}

} // namespace

class TestSocketComponent : public QObject
{
    Q_OBJECT
private slots:
    void listenOnEphemeralPortAndAcceptItself_data();
    void listenOnEphemeralPortAndAcceptItself();
    void peersMatchedByFamily_data();
    void peersMatchedByFamily();
    void addressesTriedInTurn_data();
    void addressesTriedInTurn();
    void hostAddressShown_data();
    void hostAddressShown();
    void acceptRequestRaisedByAnotherComponent();
    void unacceptedRequestIsClosed();
    void stringsGoOutInLocal8Bit();
    void bytesBothWaysWithArrivalCounts();
    void bytesDuringAnArrivalAreAnArrivalOfTheirOwn();
    void arrivalsDuringAHandlersOwnLoopComeAlone();
    void bytesNotYetDeliveredCountsTheSystemQueue();
    void closeByEitherSide();
    void closeStillDeliversQueuedData();
    void connectionRefused();
    void secondConnectToClosedListenerRefused();
    void wrongStateOperations();
    void addressInUse();
    void connectUsesPropertiesForOmittedArguments();
    void listenerSetsConnectionsUpSideBySide();
    void admissionOutcome_data();
    void admissionOutcome();
    void sendFileRange_data();
    void sendFileRange();
    void sendFileRangeRefusals();
    void sendFileRangeOfShrunkFileIsCut();
    void sendFileRangeToPeerThatClosesMidChunk();
    void receiveToFile_data();
    void receiveToFile();
    void receiveToFileRefusals();
};

void TestSocketComponent::listenOnEphemeralPortAndAcceptItself_data()
{
    QTest::addColumn<QString>("host"); // what the client connects to
    QTest::addColumn<QString>("shown"); // each side's RemoteHostIP
    // A listener takes both families on one socket; an IPv4 peer is shown as IPv4.
    QTest::newRow("an IPv4 peer") << "127.0.0.1" << "127.0.0.1";
    QTest::newRow("an IPv6 peer") << "::1" << "::1";
    QTest::newRow("an IPv6 peer, the address in brackets") << "[::1]" << "::1";
}

void TestSocketComponent::listenOnEphemeralPortAndAcceptItself()
{
    QFETCH(QString, host);
    QFETCH(QString, shown);
    if (host.contains(u':') && !testing::loopbackHasIPv6())
        QSKIP("no IPv6 on this machine's loopback (::1): the IPv6 rows do not run");
    SocketComponent a, b;
    QCOMPARE(a.State(), qint16(SocketComponent::Closed));
    QVERIFY(connectPair(a, b, host));
    QVERIFY(a.LocalPort() > 0);
    QCOMPARE(b.RemotePort(), a.LocalPort());
    QCOMPARE(a.RemoteHostIP(), shown);
    QCOMPARE(b.RemoteHostIP(), shown);
    QVERIFY(!a.LocalIP().isEmpty());
    QVERIFY(!a.LocalHostName().isEmpty());
}

void TestSocketComponent::peersMatchedByFamily_data()
{
    QTest::addColumn<QString>("listenOn"); // "" for any address of either family
    QTest::addColumn<QString>("allowed");  // a network the listener lets in, or "" for anyone
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("outcome");  // "connected", "refused by the listener", "no listener"
    QTest::newRow("::1 alone, an IPv4 peer") << "::1" << "" << "127.0.0.1" << "no listener";
    QTest::newRow("127.0.0.1 alone, an IPv6 peer") << "127.0.0.1" << "" << "::1" << "no listener";
    QTest::newRow("::1 alone, an IPv6 peer") << "::1" << "" << "::1" << "connected";
    QTest::newRow("::1/128 allowed, ::1") << "" << "::1/128" << "::1" << "connected";
    QTest::newRow("::1/128 allowed, 127.0.0.1") << "" << "::1/128" << "127.0.0.1" << "refused by the listener";
    QTest::newRow("127.0.0.0/8 allowed, an IPv4 peer of the socket of both families")
        << "" << "127.0.0.0/8" << "127.0.0.1" << "connected";
    QTest::newRow("127.0.0.0/8 allowed, ::1") << "" << "127.0.0.0/8" << "::1" << "refused by the listener";
}

void TestSocketComponent::peersMatchedByFamily()
{
    QFETCH(QString, listenOn);
    QFETCH(QString, allowed);
    QFETCH(QString, host);
    QFETCH(QString, outcome);
    if (!testing::loopbackHasIPv6())
        QSKIP("no IPv6 on this machine's loopback (::1): the IPv6 rows do not run");
    SocketComponent listener, client;
    if (!listenOn.isEmpty())
        listener.setLocalAddress(QHostAddress(listenOn));
    if (!allowed.isEmpty())
        listener.setAllowedPeers({QHostAddress::parseSubnet(allowed)});
    QStringList refused;
    connect(&listener, &SocketComponent::requestRefused, &listener, [&](const QString &peer) { refused << peer; });
    connect(&listener, &SocketComponent::connectionRequest, &listener, [&](qint32 id) {
        listener.Close();
        listener.Accept(id);
    });
    ErrorRecorder errors(client);
    listener.Listen();
    client.Connect(host, listener.LocalPort());
    if (outcome == u"connected")
        QTRY_COMPARE(listener.State(), qint16(SocketComponent::Connected));
    else if (outcome == u"no listener")
        QTRY_COMPARE(errors.numbers, QList<int>{int(SocketComponent::ConnectionRefused)});
    else
        QTRY_COMPARE(refused, QStringList{QHostAddress(host).toString()});
}

void TestSocketComponent::addressesTriedInTurn_data()
{
    QTest::addColumn<QString>("six");  // what ::1 does: "listens", "refuses" or "never answers"
    QTest::addColumn<QString>("four"); // what 127.0.0.1 does, on the same port
    QTest::addColumn<QString>("outcome"); // the peer connected to, or the error
    QTest::newRow("both listen: IPv6 first") << "listens" << "listens" << "::1";
    QTest::newRow("IPv6 refuses: IPv4 at once") << "refuses" << "listens" << "127.0.0.1";
    QTest::newRow("IPv6 never answers: IPv4 beside it") << "never answers" << "listens" << "127.0.0.1";
    QTest::newRow("both refuse") << "refuses" << "refuses" << "error 10061";
}

// A host of several addresses: the first connection made wins, and one that never answers does
// not hold the others up.
void TestSocketComponent::addressesTriedInTurn()
{
    QFETCH(QString, six);
    QFETCH(QString, four);
    QFETCH(QString, outcome);
    if (!testing::loopbackHasIPv6())
        QSKIP("no IPv6 on this machine's loopback (::1): the IPv6 rows do not run");
    std::vector<int> held;
    const auto closeAll = qScopeGuard([&] {
        for (int fd : held)
            ::close(fd);
    });
    quint16 port = 0;
    // A socket bound to `address` on `port` (0 takes a free one and sets `port`), or -1 (errno says why).
    const auto bound = [&](const QHostAddress &address) {
        sockaddr_storage at{};
        socklen_t length = 0;
        if (!platform::net::toSocketAddress(address, port, at, length))
            return -1;
        const int fd = ::socket(at.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        if (at.ss_family == AF_INET6)
            ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        if (::bind(fd, reinterpret_cast<sockaddr *>(&at), length) != 0
            || ::getsockname(fd, reinterpret_cast<sockaddr *>(&at), &length) != 0) {
            const int error = errno;
            ::close(fd);
            errno = error;
            return -1;
        }
        port = ntohs(reinterpret_cast<sockaddr_in *>(&at)->sin_port); // same place in IPv6
        return fd;
    };
    // A free port on ::1, then the same one on 127.0.0.1: when something else on this machine holds
    // it there, both go again on another.
    int ends[2] = {-1, -1};
    for (int attempt = 0; ends[1] < 0; ++attempt) {
        if (ends[0] >= 0)
            ::close(ends[0]);
        port = 0;
        ends[0] = bound(QHostAddress(QStringLiteral("::1")));
        QVERIFY2(ends[0] >= 0, strerror(errno));
        ends[1] = bound(QHostAddress(QStringLiteral("127.0.0.1")));
        QVERIFY2(ends[1] >= 0 || (errno == EADDRINUSE && attempt < 100), strerror(errno));
    }
    held.assign(std::begin(ends), std::end(ends));
    // Each end does what its row says.
    for (const auto &[fd, what] : {std::pair{ends[0], six}, std::pair{ends[1], four}}) {
        if (what == u"refuses")
            continue; // bound, not listening
        QCOMPARE(::listen(fd, what == u"listens" ? 16 : 0), 0);
        if (what == u"never answers") { // a queue that one connection fills: the next one's SYN is dropped
            sockaddr_storage at{};
            socklen_t length = sizeof at;
            QCOMPARE(::getsockname(fd, reinterpret_cast<sockaddr *>(&at), &length), 0);
            const int filler = ::socket(at.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
            held.push_back(filler);
            QCOMPARE(::connect(filler, reinterpret_cast<sockaddr *>(&at), length), 0);
        }
    }
    SocketComponent client;
    ErrorRecorder errors(client);
    client.connectToAny({QHostAddress(QStringLiteral("127.0.0.1")), QHostAddress(QStringLiteral("::1"))}, port);
    QTRY_VERIFY_WITH_TIMEOUT(client.State() == SocketComponent::Connected || !errors.numbers.isEmpty(), 20000);
    const QString got = errors.numbers.isEmpty() ? client.RemoteHostIP() : QStringLiteral("error %1").arg(errors.numbers.first());
    QCOMPARE(got, outcome);
    QCOMPARE(client.RemotePort(), qint32(port));
}

void TestSocketComponent::hostAddressShown_data()
{
    QTest::addColumn<QStringList>("interfaces"); // this host's addresses, in the system's order
    QTest::addColumn<QString>("shown");          // LocalIP
    QTest::newRow("an IPv4 address, wherever it stands")
        << QStringList{"127.0.0.1", "::1", "fe80::1%lo", "2001:db8::1", "192.168.1.20"} << "192.168.1.20";
    QTest::newRow("no IPv4 address but loopback: IPv6 beyond the link")
        << QStringList{"127.0.0.1", "::1", "fe80::1%lo", "fd00::2"} << "fd00::2";
    QTest::newRow("link-local alone: with its zone") << QStringList{"127.0.0.1", "::1", "fe80::1%lo"} << "fe80::1%lo";
    QTest::newRow("loopback alone") << QStringList{"::1", "127.0.0.1"} << "127.0.0.1";
}

void TestSocketComponent::hostAddressShown()
{
    QFETCH(QStringList, interfaces);
    QFETCH(QString, shown);
    QList<QHostAddress> addresses;
    for (const QString &text : interfaces)
        addresses.append(QHostAddress(text));
    QCOMPARE(platform::net::hostAddressText(addresses), shown);
}

void TestSocketComponent::acceptRequestRaisedByAnotherComponent()
{
    SocketComponent listener, acceptor, client;
    QSignalSpy requests(&listener, &SocketComponent::connectionRequest);
    connect(&listener, &SocketComponent::connectionRequest, &acceptor, [&](qint32 id) { acceptor.Accept(id); });
    listener.Listen();
    client.Connect(QStringLiteral("127.0.0.1"), listener.LocalPort());
    QVERIFY(waitFor([&] { return acceptor.State() == SocketComponent::Connected && client.State() == SocketComponent::Connected; }));
    QCOMPARE(requests.count(), 1);
    QCOMPARE(listener.State(), qint16(SocketComponent::Listening)); // still listening
    Collector received(acceptor);
    client.SendData(QStringLiteral("ping"));
    QVERIFY(waitFor([&] { return received.bytes == "ping"; }));
}

void TestSocketComponent::unacceptedRequestIsClosed()
{
    SocketComponent listener, client;
    QSignalSpy requests(&listener, &SocketComponent::connectionRequest);
    QSignalSpy clientClosed(&client, &SocketComponent::closed);
    listener.Listen();
    client.Connect(QStringLiteral("127.0.0.1"), listener.LocalPort());
    QTRY_COMPARE(requests.count(), 1);
    QTRY_COMPARE(clientClosed.count(), 1); // the request nobody accepted is closed, not leaked
    QCOMPARE(client.State(), qint16(SocketComponent::Closing));
}

void TestSocketComponent::stringsGoOutInLocal8Bit()
{
    QTcpServer raw;
    QVERIFY(raw.listen(QHostAddress::LocalHost, 0));
    SocketComponent s;
    s.Connect(QStringLiteral("127.0.0.1"), raw.serverPort());
    QVERIFY(raw.waitForNewConnection(5000));
    QTcpSocket *peer = raw.nextPendingConnection();
    QVERIFY(waitFor([&] { return s.State() == SocketComponent::Connected; }));
    s.SendData(QStringLiteral("Message:中文 ok"));
    QByteArray got;
    QVERIFY(waitFor([&] { got += peer->readAll(); return got.size() >= 17; }));
    QCOMPARE(got, QByteArray("Message:\xe4\xb8\xad\xe6\x96\x87 ok"));

    // And the other way: bytes from the raw peer arrive unchanged.
    Collector received(s);
    peer->write(QByteArray("\x00\xff\x80", 3));
    QVERIFY(waitFor([&] { return received.bytes.size() == 3; }));
    QCOMPARE(received.bytes, QByteArray("\x00\xff\x80", 3));
}

void TestSocketComponent::bytesBothWaysWithArrivalCounts()
{
    SocketComponent a, b;
    QVERIFY(connectPair(a, b));
    Collector atA(a), atB(b);
    QByteArray payload(300000, '\0');
    for (int i = 0; i < payload.size(); ++i)
        payload[i] = char(i * 7);
    a.SendData(payload);
    b.SendData(QByteArray("reply"));
    QVERIFY(waitFor([&] { return atB.bytes.size() == payload.size() && atA.bytes == "reply"; }));
    QCOMPARE(atB.bytes, payload);
    qint64 sum = 0;
    for (qint32 c : atB.counts)
        sum += c;
    QCOMPARE(sum, qint64(payload.size()));
    QCOMPARE(a.BytesReceived(), qint64(0));
}

void TestSocketComponent::bytesDuringAnArrivalAreAnArrivalOfTheirOwn()
{
    SocketComponent a, b;
    QVERIFY(connectPair(a, b));
    QList<QByteArray> arrivals;
    connect(&b, &SocketComponent::dataArrival, &b, [&](qint32 total) {
        if (arrivals.isEmpty()) {
            a.SendData(QByteArray("second")); // reaches b's side before the first is fetched
            for (int ms = 0; ms < 5000 && b.BytesReceived() < 11; ++ms) // no events inside the handler
                QTest::qSleep(1);
            QCOMPARE(b.BytesReceived(), qint64(11));
        }
        QByteArray chunk;
        b.GetData(chunk);
        QCOMPARE(chunk.size(), qsizetype(total));
        arrivals.append(chunk);
    });
    a.SendData(QByteArray("first"));
    QVERIFY(waitFor([&] { return arrivals.size() == 2; }));
    QCOMPARE(arrivals, QList<QByteArray>({"first", "second"}));
}

void TestSocketComponent::arrivalsDuringAHandlersOwnLoopComeAlone()
{
    SocketComponent a, b;
    QVERIFY(connectPair(a, b));
    QList<QByteArray> arrivals;
    int depth = 0, deepest = 0;
    connect(&b, &SocketComponent::dataArrival, &b, [&](qint32) {
        deepest = qMax(deepest, ++depth);
        QByteArray chunk;
        b.GetData(chunk);
        arrivals.append(chunk);
        if (arrivals.size() == 1) {
            // A modal box, say: the peer's next message arrives while this loop runs, and the
            // loop goes on for several rounds with the bytes waiting.
            QEventLoop nested;
            int roundsWithBytesWaiting = 0;
            QTimer poll;
            connect(&poll, &QTimer::timeout, &nested, [&] {
                if (b.BytesReceived() > 0 && ++roundsWithBytesWaiting == 5)
                    nested.quit();
            });
            QTimer::singleShot(0, &a, [&] { a.SendData(QByteArray("second")); });
            poll.start(5);
            nested.exec();
        }
        --depth;
    });
    a.SendData(QByteArray("first"));
    QVERIFY(waitFor([&] { return arrivals.size() == 2; }, 3000)); // the peer sends nothing more
    QCOMPARE(arrivals, (QList<QByteArray>{"first", "second"}));
    QCOMPARE(deepest, 1);
}

void TestSocketComponent::bytesNotYetDeliveredCountsTheSystemQueue()
{
    SocketComponent a, b;
    QCOMPARE(a.bytesNotYetDelivered(), qint64(0));
    QVERIFY(connectPair(a, b));
    // Nobody fetches at b: its buffers fill and the rest waits in a's queues.
    const QByteArray payload(32 * 1024 * 1024, 'z');
    a.SendData(payload);
    QVERIFY(waitFor([&] { return a.bytesToWrite() == 0 || a.bytesNotYetDelivered() > a.bytesToWrite(); }));
    QVERIFY(a.bytesNotYetDelivered() > a.bytesToWrite());
    Collector atB(b);
    if (b.BytesReceived() > 0)
        b.dataArrival(qint32(b.BytesReceived())); // what arrived before the collector was there
    QVERIFY(waitFor([&] { return atB.bytes.size() == payload.size(); }, 20000));
    QVERIFY(waitFor([&] { return a.bytesNotYetDelivered() == 0; }));
}

void TestSocketComponent::closeByEitherSide()
{
    for (int closer = 0; closer < 2; ++closer) {
        SocketComponent a, b;
        QVERIFY(connectPair(a, b));
        SocketComponent &closing = closer == 0 ? a : b;
        SocketComponent &peer = closer == 0 ? b : a;
        QSignalSpy closedAtPeer(&peer, &SocketComponent::closed);
        QSignalSpy closedAtCloser(&closing, &SocketComponent::closed);
        closing.Close();
        QCOMPARE(closing.State(), qint16(SocketComponent::Closed));
        QVERIFY(closedAtPeer.wait());
        QCOMPARE(peer.State(), qint16(SocketComponent::Closing));
        QCOMPARE(closedAtCloser.count(), 0);
        QVERIFY_AUTOMATION_ERROR(peer.SendData(QByteArray("x")), SocketComponent::WrongProtocolOrState);
        peer.Close();
        QCOMPARE(peer.State(), qint16(SocketComponent::Closed));
    }
}

void TestSocketComponent::closeStillDeliversQueuedData()
{
    SocketComponent a, b;
    QVERIFY(connectPair(a, b));
    Collector atB(b);
    QSignalSpy closedAtB(&b, &SocketComponent::closed);
    const QByteArray payload(8 * 1024 * 1024, 'q');
    a.SendData(payload);
    a.Close();
    QVERIFY(closedAtB.wait(10000));
    QCOMPARE(atB.bytes.size(), payload.size());
}

void TestSocketComponent::connectionRefused()
{
    SocketComponent s;
    ErrorRecorder errors(s);
    const ClosedPort closed;
    s.Connect(QStringLiteral("127.0.0.1"), closed.port());
    QVERIFY(waitFor([&] { return !errors.numbers.isEmpty(); }));
    QCOMPARE(errors.numbers.first(), int(SocketComponent::ConnectionRefused));
    QCOMPARE(errors.descriptions.first(), QStringLiteral("Connection is forcefully rejected"));
    QCOMPARE(s.State(), qint16(SocketComponent::Error));
    QVERIFY_AUTOMATION_ERROR(s.Listen(), SocketComponent::InvalidOperation);
    s.Close();
    QCOMPARE(s.State(), qint16(SocketComponent::Closed));
}

void TestSocketComponent::secondConnectToClosedListenerRefused()
{
    SocketComponent a, b, c;
    QVERIFY(connectPair(a, b));
    ErrorRecorder errors(c);
    QSignalSpy requests(&a, &SocketComponent::connectionRequest);
    c.Connect(QStringLiteral("127.0.0.1"), a.LocalPort());
    QVERIFY(waitFor([&] { return !errors.numbers.isEmpty(); }));
    QCOMPARE(errors.numbers.first(), int(SocketComponent::ConnectionRefused));
    QCOMPARE(requests.count(), 0);
    QCOMPARE(a.State(), qint16(SocketComponent::Connected));
}

void TestSocketComponent::wrongStateOperations()
{
    SocketComponent a, b;
    QVERIFY_AUTOMATION_ERROR(a.SendData(QStringLiteral("x")), SocketComponent::WrongProtocolOrState);
    QVERIFY_AUTOMATION_ERROR(a.setLocalPort(70000), SocketComponent::InvalidPropertyValue);
    QVERIFY_AUTOMATION_ERROR(a.setRemotePort(-1), SocketComponent::InvalidPropertyValue);
    QVERIFY_AUTOMATION_ERROR(a.Accept(123456), SocketComponent::NotSocket);
    a.Listen();
    QCOMPARE(a.State(), qint16(SocketComponent::Listening));
    QVERIFY_AUTOMATION_ERROR(a.Listen(), SocketComponent::InvalidOperation);
    QVERIFY_AUTOMATION_ERROR(a.setLocalPort(5), SocketComponent::InvalidOperation);
    QVERIFY_AUTOMATION_ERROR(a.Connect(QStringLiteral("127.0.0.1"), 1), SocketComponent::InvalidOperation);
    QVERIFY_AUTOMATION_ERROR(a.Accept(1), SocketComponent::InvalidOperation);
    QVERIFY_AUTOMATION_ERROR(a.SendData(QStringLiteral("x")), SocketComponent::WrongProtocolOrState);
    a.Close();
    a.Close(); // closing a closed endpoint is fine
    QVERIFY(connectPair(a, b));
    QVERIFY_AUTOMATION_ERROR(b.Connect(), SocketComponent::InvalidOperation);
    try {
        a.Listen();
        QFAIL("no error");
    } catch (const AutomationError &e) {
        QCOMPARE(e.description, QStringLiteral("Invalid operation at current state"));
    }
}

void TestSocketComponent::addressInUse()
{
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::AnyIPv4, 0));
    SocketComponent s;
    s.setLocalPort(holder.serverPort());
    QVERIFY_AUTOMATION_ERROR(s.Listen(), SocketComponent::AddressInUse);
    QCOMPARE(s.State(), qint16(SocketComponent::Closed));
}

void TestSocketComponent::connectUsesPropertiesForOmittedArguments()
{
    SocketComponent a, b;
    connect(&a, &SocketComponent::connectionRequest, &a, [&](qint32 id) { a.Close(); a.Accept(id); });
    a.Listen();
    b.setRemoteHost(QStringLiteral("127.0.0.1"));
    b.setRemotePort(a.LocalPort());
    b.Connect();
    QVERIFY(waitFor([&] { return b.State() == SocketComponent::Connected; }));
    QCOMPARE(b.RemoteHost(), QStringLiteral("127.0.0.1"));
}

void TestSocketComponent::listenerSetsConnectionsUpSideBySide()
{
    FakeProvider provider;
    SocketComponent listener, acceptor;
    listener.setTransportProvider(&provider);
    QStringList failures;
    connect(&listener, &SocketComponent::admissionFailed, &listener,
            [&](const QString &address, const QString &why) { failures << address + u' ' + why; });
    SocketComponent *into = &acceptor;
    connect(&listener, &SocketComponent::connectionRequest, &listener, [&](qint32 id) {
        if (into == &listener)
            listener.Close(); // as the control does
        into->Accept(id);
    });
    Collector atAcceptor(acceptor), atListener(listener);
    listener.Listen();
    const auto slow = provider.client("127.0.0.1", listener.LocalPort());
    const auto quick = provider.client("127.0.0.1", listener.LocalPort());
    QVERIFY(provider.streamOf(*slow) && provider.streamOf(*quick));
    provider.streamOf(*quick)->getReady();
    QTRY_COMPARE(acceptor.State(), qint16(SocketComponent::Connected));
    QVERIFY(carriesBytes(acceptor, atAcceptor, *quick));
    // A burst from another address pushes its own oldest out, never the slow one.
    std::vector<std::unique_ptr<QTcpSocket>> burst;
    for (int i = 0; i < 9; ++i)
        burst.push_back(provider.client("127.0.0.2", listener.LocalPort()));
    QTRY_COMPARE(failures, QStringList{"127.0.0.2 too many connections being set up from 127.0.0.2"});
    QTRY_VERIFY(!provider.streamOf(*burst.front()));
    QVERIFY(provider.streamOf(*burst.back()));
    into = &listener;
    provider.streamOf(*slow)->getReady();
    QTRY_COMPARE(listener.State(), qint16(SocketComponent::Connected));
    QVERIFY(carriesBytes(listener, atListener, *slow));
    QTRY_COMPARE(FakeStream::live, 2); // Close() freed the eight still being set up
    QCOMPARE(failures.size(), 1);
}

void TestSocketComponent::admissionOutcome_data()
{
    QTest::addColumn<QByteArray>("first");
    QTest::addColumn<int>("limitMsec");
    QTest::addColumn<bool>("acceptorLooks"); // the listener raises it at once, the acceptor looks
    QTest::addColumn<QString>("failure");    // empty: raised and accepted
    QTest::newRow("plaintext peer") << QByteArray("P") << 10000 << false << QString();
    QTest::newRow("stream ready at once") << QByteArray("Y") << 10000 << false << QString();
    QTest::newRow("refused peer") << QByteArray("R") << 10000 << false << "from 127.0.0.1: refused by the test";
    QTest::newRow("stream gives up") << QByteArray("X") << 10000 << false << "from 127.0.0.1: the handshake failed";
    QTest::newRow("not set up in time") << QByteArray("S") << 300 << false << "from 127.0.0.1: not set up within 0.3 s";
    QTest::newRow("set up by the acceptor") << QByteArray("Y") << 10000 << true << QString();
    QTest::newRow("refused by the acceptor") << QByteArray("R") << 10000 << true << "error 10053: refused by the test";
}

void TestSocketComponent::admissionOutcome()
{
    QFETCH(QByteArray, first);
    QFETCH(int, limitMsec);
    QFETCH(bool, acceptorLooks);
    QFETCH(QString, failure);
    QTest::failOnWarning(QRegularExpression(QStringLiteral("QSocketNotifier")));
    FakeProvider provider;
    SocketComponent listener;
    listener.setTransportProvider(acceptorLooks ? nullptr : &provider);
    listener.setSetupLimitMsec(limitMsec);
    QStringList reports;
    connect(&listener, &SocketComponent::admissionFailed, &listener,
            [&](const QString &address, const QString &why) { reports << QStringLiteral("from %1: %2").arg(address, why); });
    connect(&listener, &SocketComponent::error, &listener,
            [&](qint16 n, QString &why, qint32, const QString &, const QString &, qint32, bool &cancel) {
                reports << QStringLiteral("error %1: %2").arg(n).arg(why);
                cancel = true;
            });
    QSignalSpy requests(&listener, &SocketComponent::connectionRequest);
    connect(&listener, &SocketComponent::connectionRequest, &listener, [&](qint32 id) {
        listener.Close();
        listener.setTransportProvider(&provider);
        listener.Accept(id);
    });
    listener.Listen();
    const auto client = provider.client("127.0.0.1", listener.LocalPort(), first);
    if (failure.isEmpty()) {
        QTRY_COMPARE(listener.State(), qint16(SocketComponent::Connected));
        QCOMPARE(dynamic_cast<const FakeStream *>(listener.transport()) != nullptr, first == "Y");
    } else {
        QTRY_COMPARE(client->state(), QAbstractSocket::UnconnectedState);
        QTRY_COMPARE(reports, QStringList{failure});
        QCOMPARE(requests.count(), acceptorLooks ? 1 : 0);
        QCOMPARE(listener.State(), qint16(acceptorLooks ? SocketComponent::Error : SocketComponent::Listening));
        QTRY_COMPARE(FakeStream::live, 0);
    }
    QCOMPARE(provider.seen.size(), 1); // looked at once: Accept does not look again
    QCOMPARE(reports, failure.isEmpty() ? QStringList() : QStringList{failure});
}

void TestSocketComponent::sendFileRange_data()
{
    QTest::addColumn<qsizetype>("fileSize");
    QTest::addColumn<qint64>("offset");
    QTest::addColumn<qint64>("count");
    QTest::addColumn<ZeroCopy>("zeroCopy");
    const qint64 big = 24 * 1024 * 1024;
    QTest::newRow("whole file") << qsizetype(300000) << qint64(0) << qint64(300000) << ZeroCopy::Offered;
    QTest::newRow("range from the middle") << qsizetype(300000) << qint64(1234) << qint64(100000) << ZeroCopy::Offered;
    QTest::newRow("range up to the last byte") << qsizetype(300000) << qint64(299999) << qint64(1) << ZeroCopy::Offered;
    // More than the network takes before the peer reads: the rest follows as it does.
    QTest::newRow("partial send") << qsizetype(big) << qint64(0) << big << ZeroCopy::Offered;
    // Without sendfile(2), plain reads and sends move the same bytes.
    QTest::newRow("no sendfile, a range") << qsizetype(300000) << qint64(1234) << qint64(100000) << ZeroCopy::Refused;
    QTest::newRow("no sendfile, partial send") << qsizetype(big) << qint64(0) << big << ZeroCopy::Refused;
}

void TestSocketComponent::sendFileRange()
{
    QFETCH(qsizetype, fileSize);
    QFETCH(qint64, offset);
    QFETCH(qint64, count);
    QFETCH(ZeroCopy, zeroCopy);
    ::zeroCopy = zeroCopy;
    const auto offered = qScopeGuard([] { ::zeroCopy = ZeroCopy::Offered; });
    QTemporaryDir dir;
    const QByteArray content = pattern(fileSize);
    auto file = sourceFile(dir, content);
    QVERIFY(file);
    SocketComponent a, b;
    QVERIFY(connectPair(a, b));
    Collector atB(b);
    QSignalSpy complete(&a, &SocketComponent::sendComplete);
    QSignalSpy failed(&a, &SocketComponent::sendFailed);
    a.SendData(QByteArray("before"));
    const qint64 now = a.sendFileRange(int(file->handle()), offset, count);
    QVERIFY(now >= 0 && now <= count);
    QCOMPARE(a.bytesToWrite(), count - now);
    if (count > 16 * 1024 * 1024)
        QVERIFY2(now < count, "the network took the whole range before the peer read");
    file->close(); // the component sends from a descriptor of its own
    a.SendData(QByteArray("after")); // queued behind the range
    const QByteArray expected = "before" + content.mid(offset, count) + "after";
    QVERIFY(waitFor([&] { return atB.bytes.size() >= expected.size(); }, 30000));
    QVERIFY(atB.bytes == expected);
    QCOMPARE(a.bytesToWrite(), qint64(0));
    QVERIFY(complete.count() > 0 || complete.wait());
    QCOMPARE(failed.count(), 0);
}

void TestSocketComponent::sendFileRangeRefusals()
{
    QTemporaryDir dir;
    auto file = sourceFile(dir, pattern(1000));
    QVERIFY(file);
    const int fd = int(file->handle());
    SocketComponent a, b;
    QVERIFY_AUTOMATION_ERROR(a.sendFileRange(fd, 0, 10), SocketComponent::WrongProtocolOrState);
    QVERIFY(connectPair(a, b));
    QVERIFY_AUTOMATION_ERROR(a.sendFileRange(fd, 1, 1000), err::InputPastEndOfFile);
    QVERIFY_AUTOMATION_ERROR(a.sendFileRange(fd, 1001, 0), err::InputPastEndOfFile);
    QVERIFY_AUTOMATION_ERROR(a.sendFileRange(fd, -1, 10), err::InvalidCall);
    int ends[2];
    QCOMPARE(::pipe(ends), 0);
    QVERIFY_AUTOMATION_ERROR(a.sendFileRange(ends[0], 0, 1), err::BadFileNameOrNumber);
    ::close(ends[0]);
    ::close(ends[1]);
    QVERIFY_AUTOMATION_ERROR(a.sendFileRange(-1, 0, 1), err::BadFileNameOrNumber);
    QCOMPARE(a.sendFileRange(fd, 1000, 0), qint64(0));
    QCOMPARE(a.bytesToWrite(), qint64(0));
}

void TestSocketComponent::sendFileRangeOfShrunkFileIsCut()
{
    QTemporaryDir dir;
    const qint64 size = 24 * 1024 * 1024;
    auto file = sourceFile(dir, pattern(size));
    QVERIFY(file);
    SocketComponent a, b;
    QVERIFY(connectPair(a, b));
    Collector atB(b);
    QSignalSpy failed(&a, &SocketComponent::sendFailed);
    const qint64 now = a.sendFileRange(int(file->handle()), 0, size);
    QVERIFY(now < size);
    const qint64 kept = now + 1024 * 1024;
    QVERIFY(QFile::resize(file->fileName(), kept)); // the file shrinks while its range is queued
    QVERIFY(failed.wait(10000));
    QCOMPARE(failed.first().at(0).toInt(), int(err::InputPastEndOfFile));
    QCOMPARE(a.bytesToWrite(), qint64(0));
    QVERIFY(waitFor([&] { return atB.bytes.size() == kept; }));
    QCOMPARE(a.State(), qint16(SocketComponent::Connected));
}

void TestSocketComponent::sendFileRangeToPeerThatClosesMidChunk()
{
    QTemporaryDir dir;
    const qint64 size = 24 * 1024 * 1024;
    auto file = sourceFile(dir, pattern(size));
    QVERIFY(file);
    SocketComponent a, b;
    QVERIFY(connectPair(a, b));
    connect(&b, &SocketComponent::dataArrival, &b, [&b] {
        QByteArray some;
        b.GetData(some);
        b.Close(); // unread bytes are left: the sender's connection is reset
    });
    QSignalSpy closedAtA(&a, &SocketComponent::closed);
    QSignalSpy failed(&a, &SocketComponent::sendFailed);
    QVERIFY(a.sendFileRange(int(file->handle()), 0, size) < size);
    QVERIFY(closedAtA.wait(10000));
    QCOMPARE(a.State(), qint16(SocketComponent::Closing));
    QCOMPARE(a.bytesToWrite(), qint64(0)); // what was queued is dropped, not kept for ever
    QCOMPARE(failed.count(), 0);
    QVERIFY_AUTOMATION_ERROR(a.sendFileRange(int(file->handle()), 0, 1), SocketComponent::WrongProtocolOrState);
}

void TestSocketComponent::receiveToFile_data()
{
    QTest::addColumn<qsizetype>("sent");
    QTest::addColumn<qint64>("owed");
    QTest::addColumn<bool>("peerCloses");
    QTest::addColumn<ZeroCopy>("zeroCopy");
    const qsizetype three = 3 * 1024 * 1024 + 17;
    QTest::newRow("exactly what is owed") << three << qint64(three) << false << ZeroCopy::Offered;
    QTest::newRow("bytes past the owed count") << qsizetype(100000) << qint64(60000) << false << ZeroCopy::Offered;
    QTest::newRow("past the owed count in one arrival") << qsizetype(20) << qint64(12) << false << ZeroCopy::Offered;
    QTest::newRow("peer closes mid-chunk") << qsizetype(50000) << qint64(100000) << true << ZeroCopy::Offered;
    // Without splice(2), plain reads and writes; with a file that takes none, what a splice
    // already moved into the pipe is written plainly.
    QTest::newRow("no splice") << three << qint64(three) << false << ZeroCopy::Refused;
    QTest::newRow("no splice, past the owed count") << qsizetype(100000) << qint64(60000) << false << ZeroCopy::Refused;
    QTest::newRow("no splice into files") << three << qint64(three) << false << ZeroCopy::RefusedIntoFiles;
}

void TestSocketComponent::receiveToFile()
{
    QFETCH(qsizetype, sent);
    QFETCH(qint64, owed);
    QFETCH(bool, peerCloses);
    QFETCH(ZeroCopy, zeroCopy);
    ::zeroCopy = zeroCopy;
    const auto offered = qScopeGuard([] { ::zeroCopy = ZeroCopy::Offered; });
    QTemporaryDir dir;
    QFile target(dir.filePath(QStringLiteral("target.bin")));
    QVERIFY(target.open(QIODevice::ReadWrite));
    SocketComponent a, b;
    QVERIFY(connectPair(a, b));
    qint64 moved = 0;
    QByteArray rest;
    QList<qint32> restCounts;
    connect(&b, &SocketComponent::dataArrival, &b, [&](qint32 total) {
        if (moved < owed) {
            moved += b.receiveToFile(int(target.handle()), moved, owed - moved);
            return;
        }
        restCounts.append(total); // what follows the owed bytes is an arrival of its own
        QByteArray chunk;
        b.GetData(chunk);
        QCOMPARE(chunk.size(), qsizetype(total));
        rest += chunk;
    });
    QSignalSpy closedAtB(&b, &SocketComponent::closed);
    const QByteArray payload = pattern(sent);
    a.SendData(payload);
    if (peerCloses)
        a.Close();
    const qint64 expectedMoved = qMin<qint64>(owed, sent);
    QVERIFY(waitFor([&] { return moved == expectedMoved && rest.size() == sent - expectedMoved; }, 10000));
    QCOMPARE(target.size(), expectedMoved);
    QCOMPARE(::lseek(int(target.handle()), 0, SEEK_CUR), off_t(0)); // the file's own position is not used
    QVERIFY(target.readAll() == payload.left(expectedMoved));
    QCOMPARE(rest, payload.mid(expectedMoved));
    QCOMPARE(restCounts.isEmpty(), rest.isEmpty());
    if (peerCloses)
        QVERIFY(closedAtB.count() == 1 || closedAtB.wait());
}

void TestSocketComponent::receiveToFileRefusals()
{
    QTemporaryDir dir;
    auto readOnly = sourceFile(dir, QByteArray("x"));
    QVERIFY(readOnly);
    SocketComponent a, b;
    QVERIFY_AUTOMATION_ERROR(b.receiveToFile(int(readOnly->handle()), 0, 10), SocketComponent::WrongProtocolOrState);
    QVERIFY(connectPair(a, b));
    QCOMPARE(b.receiveToFile(int(readOnly->handle()), 0, 10), qint64(0)); // nothing waits
    QList<AutomationError> failures;
    int arrivals = 0;
    connect(&b, &SocketComponent::dataArrival, &b, [&] {
        if (arrivals++ > 0)
            return;
        try {
            b.receiveToFile(int(readOnly->handle()), 0, 10);
        } catch (const AutomationError &e) {
            failures.append(e);
        }
    });
    a.SendData(QByteArray("0123456789abc"));
    QVERIFY(waitFor([&] { return failures.size() == 1; }));
    QCOMPARE(failures[0].number, int(err::PathFileAccessError));
    QCOMPARE(failures[0].description, QStringLiteral("Path/File access error: Bad file descriptor"));
    QVERIFY(waitFor([&] { return b.BytesReceived() == 3; })); // the bytes past the 10 still wait
    QCOMPARE(readOnly->size(), qint64(1));
}

QTEST_GUILESS_MAIN(TestSocketComponent)
#include "tst_socketcomponent.moc"
