#include "socketcomponent.h"
#include "testhelpers.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

using namespace platform;
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

quint16 unusedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort(); // closed again when probe goes
}

} // namespace

class TestSocketComponent : public QObject
{
    Q_OBJECT
private slots:
    void listenOnEphemeralPortAndAcceptItself();
    void acceptRequestRaisedByAnotherComponent();
    void unacceptedRequestIsClosed();
    void stringsGoOutInLocal8Bit();
    void bytesBothWaysWithArrivalCounts();
    void arrivalsDuringAHandlersOwnLoopComeAlone();
    void bytesNotYetDeliveredCountsTheSystemQueue();
    void closeByEitherSide();
    void closeStillDeliversQueuedData();
    void connectionRefused();
    void secondConnectToClosedListenerRefused();
    void wrongStateOperations();
    void addressInUse();
    void connectUsesPropertiesForOmittedArguments();
};

void TestSocketComponent::listenOnEphemeralPortAndAcceptItself()
{
    SocketComponent a, b;
    QCOMPARE(a.State(), qint16(SocketComponent::Closed));
    QVERIFY(connectPair(a, b));
    QVERIFY(a.LocalPort() > 0);
    QCOMPARE(b.RemotePort(), a.LocalPort());
    QCOMPARE(a.RemoteHostIP(), QStringLiteral("127.0.0.1"));
    QCOMPARE(b.RemoteHostIP(), QStringLiteral("127.0.0.1"));
    QVERIFY(!a.LocalIP().isEmpty());
    QVERIFY(!a.LocalHostName().isEmpty());
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
    QVERIFY(requests.wait());
    QVERIFY(clientClosed.wait()); // the request nobody accepted is closed, not leaked
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
            // A modal box, say: the peer's next message arrives while this loop runs.
            QEventLoop nested;
            QTimer::singleShot(20, &a, [&] { a.SendData(QByteArray("second")); });
            QTimer::singleShot(300, &nested, &QEventLoop::quit);
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
    QTest::qWait(100);
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
    s.Connect(QStringLiteral("127.0.0.1"), unusedPort());
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

QTEST_GUILESS_MAIN(TestSocketComponent)
#include "tst_socketcomponent.moc"
