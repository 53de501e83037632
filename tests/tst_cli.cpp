#include "clirun.h"
#include "conversions.h"
#include "sendplan.h"
#include "splittingproxy.h"
#include "testhelpers.h"

#include <QCryptographicHash>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStringEncoder>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString Cli = QStringLiteral(VELMORA_CLI_PATH);

// A velmora-cli process (by default this build's).
struct Run : testing::CliRun
{
    void start(const QStringList &args, const QString &program = Cli) { CliRun::start(program, args); }
    QString error() const { return QString::fromUtf8(process->readAllStandardError()); }
};

// Starts a listening run (that takes no new secure peers) and returns the port it reports.
int startListener(Run &run, const QStringList &args, bool json = false)
{
    run.start(QStringList{"--listen", "0", "--timeout", "60", "--no-pair"} + args
              + (json ? QStringList{"--json"} : QStringList{}));
    int port = 0;
    testing::waitFor([&] {
        for (const QString &line : run.lines()) {
            if (json && line.contains("listening"))
                port = QJsonDocument::fromJson(line.toUtf8()).object().value("port").toInt();
            else if (line.startsWith("listening: "))
                port = line.mid(11).toInt();
        }
        return port > 0;
    }, 10000);
    return port;
}

QStringList connectArgs(int port) { return {"--connect", QStringLiteral("127.0.0.1:%1").arg(port), "--timeout", "60"}; }

// The port a pairing listener took and the code it shows (digits only), once it has said both;
// a port of 0 when it did not within 10 s.
struct PairingListener
{
    int port = 0;
    QString code;
};
PairingListener pairingListener(Run &run)
{
    PairingListener seen;
    testing::waitFor([&] {
        const QString out = run.lines().join(u'\n');
        const auto listening = QRegularExpression("listening: (\\d+)").match(out);
        const auto code = QRegularExpression("pairing code: (\\d{3})-(\\d{3})").match(out);
        if (listening.hasMatch() && code.hasMatch())
            seen = {listening.captured(1).toInt(), code.captured(1) + code.captured(2)};
        return seen.port > 0;
    }, 10000);
    return seen;
}

QByteArray digest(const QString &path) { return testing::fileDigest(path); }
void makeFile(const QString &path, qint64 size) { testing::makeRandomFile(path, size); }

// A notification service of the test's own, on a bus of its own: it records what it is asked
// to show, and the test answers for the user.
class NotificationService : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    struct Shown
    {
        QString summary, body;
        QStringList actions;
    };
    QList<Shown> shown;
    QList<uint> closed;

    /// Starts the bus and serves on it; false when it cannot.
    bool start()
    {
        bus.start(QStringLiteral("dbus-daemon"), {"--session", "--nofork", "--print-address"});
        if (!bus.waitForStarted() || !testing::waitFor([&] { return bus.canReadLine(); }))
            return false;
        address = QString::fromUtf8(bus.readLine().trimmed());
        QDBusConnection c = QDBusConnection::connectToBus(address, QStringLiteral("notifications"));
        return c.registerObject(QStringLiteral("/org/freedesktop/Notifications"), this, QDBusConnection::ExportAllSlots)
            && c.registerService(QStringLiteral("org.freedesktop.Notifications"));
    }
    ~NotificationService() override
    {
        QDBusConnection::disconnectFromBus(QStringLiteral("notifications"));
        bus.kill();
        bus.waitForFinished();
    }
    /// The user clicks `action` of notification `id`, or (an empty action) closes it.
    void answer(uint id, const QString &action)
    {
        const QString path = QStringLiteral("/org/freedesktop/Notifications");
        const QString iface = QStringLiteral("org.freedesktop.Notifications");
        QDBusMessage m = action.isEmpty() ? QDBusMessage::createSignal(path, iface, QStringLiteral("NotificationClosed"))
                                                << id << 2u
                                          : QDBusMessage::createSignal(path, iface, QStringLiteral("ActionInvoked"))
                                                << id << action;
        QDBusConnection(QStringLiteral("notifications")).send(m);
    }

    QProcess bus;
    QString address;

public slots:
    QStringList GetCapabilities() { return {"actions", "body", "body-markup"}; }
    uint Notify(const QString &, uint, const QString &, const QString &summary, const QString &body,
                const QStringList &actions, const QVariantMap &, int)
    {
        shown.append({summary, body, actions});
        return uint(shown.size());
    }
    void CloseNotification(uint id) { closed.append(id); }
};

} // namespace

class TestCli : public QObject
{
    Q_OBJECT
private slots:
    void messagesFromConnectingSide_data();
    void messagesFromConnectingSide();
    void messagesFromListeningSideAsJson();
    void filesBothWays();
    void refusedPathExitsOne();
    void usageConnectionErrorAndTimeout();
    void interruptedReceiveIsAFailure_data();
    void interruptedReceiveIsAFailure();
    void brokenSecureSendsResume_data();
    void brokenSecureSendsResume();
    void probeDoesNotEndAListener();
    void brokenBatchLeavesOnlyWholeFiles();
    void foldersIntoAReceiveFolder_data();
    void foldersIntoAReceiveFolder();
    void onlyAllowedPeersConnect_data();
    void onlyAllowedPeersConnect();
    void peerTextStaysOnOneLine();
    void serveAsksThroughNotifications();
    void serveAsksOnceAboutABatch();
    void receivePolicies_data();
    void receivePolicies();
    void wrongCodesAreCountedForTheIdentity();
    void fileAboveTwoGiB();
    void commandLine_data();
    void commandLine();
    void sendPlans_data();
    void sendPlans();
    void receiverOfAnotherUserInASharedFolder();
    void gbkPeerBothWays();
};

void TestCli::messagesFromConnectingSide_data()
{
    QTest::addColumn<int>("pieceBytes"); // 0: straight to the listener
    QTest::addColumn<QString>("encoding");
    QTest::addColumn<bool>("several"); // several messages, or only the long one
    // Plaintext messages are told apart only by the pause between them: a link that holds them
    // back (a stalled proxy) joins them, as it would for any legacy peer. Only the direct row sends
    // several; the split rows send the long message alone, which the link cuts into pieces.
    QTest::newRow("direct") << 0 << "UTF-8" << true;
    QTest::newRow("through a link that splits the stream") << 1448 << "UTF-8" << false;
    QTest::newRow("split, in GBK") << 1448 << "GBK" << false;
}

void TestCli::messagesFromConnectingSide()
{
    QFETCH(int, pieceBytes);
    QFETCH(QString, encoding);
    QFETCH(bool, several);
    QTemporaryDir dir;
    // Long enough to be split, with characters cut in two, and a tag where a piece begins.
    const QString planted = dir.filePath("planted.txt");
    const QString longText = QString(1439, u'x') + QStringLiteral("FileDat:%1|5|100|True").arg(planted)
        + QString(1000, QChar(0x4E2D)) + QStringLiteral("end");
    const QStringList texts = several ? QStringList{"hello", "", "中文 | FileDat:x", longText} : QStringList{longText};
    Run listener, talker;
    const int port = startListener(listener, {"--encoding", encoding});
    QVERIFY(port > 0);
    std::unique_ptr<testing::SplittingProxy> proxy;
    if (pieceBytes > 0)
        proxy = std::make_unique<testing::SplittingProxy>(quint16(port), pieceBytes, 2);
    QStringList args = connectArgs(proxy ? proxy->port() : port) + QStringList{"--encoding", encoding};
    QStringList expected{QStringLiteral("listening: %1").arg(port), "plaintext: legacy peer", "connected: 127.0.0.1"};
    for (const QString &text : texts) {
        args << "--say" << text;
        expected << "message: " + text;
    }
    talker.start(args);
    QCOMPARE(talker.finish(), 0);
    QCOMPARE(listener.finish(), 0);
    QCOMPARE(listener.lines(), expected + QStringList{"closed"});
    QVERIFY(!QFile::exists(planted));
}

void TestCli::messagesFromListeningSideAsJson()
{
    Run listener, hearer;
    const int port = startListener(listener, {"--say", "one", "--say", "二"}, true);
    QVERIFY(port > 0);
    hearer.start(connectArgs(port) + QStringList{"--json"});
    QCOMPARE(listener.finish(), 0);
    QCOMPARE(hearer.finish(), 0);
    QList<QJsonObject> events;
    for (const QString &line : hearer.lines())
        events.append(QJsonDocument::fromJson(line.toUtf8()).object());
    QCOMPARE(events.size(), 4);
    QCOMPARE(events[0].value("event").toString(), QStringLiteral("connected"));
    QCOMPARE(events[0].value("peer").toString(), QStringLiteral("127.0.0.1"));
    QCOMPARE(events[1], (QJsonObject{{"event", "message"}, {"text", "one"}}));
    QCOMPARE(events[2], (QJsonObject{{"event", "message"}, {"text", "二"}}));
    QCOMPARE(events[3], (QJsonObject{{"event", "closed"}}));
}

void TestCli::filesBothWays()
{
    QTemporaryDir dir;
    makeFile(dir.filePath("src"), 3 * 1024 * 1024 + 5);
    // Connecting side sends, listening side receives into its own path.
    {
        Run receiver, sender;
        const int port = startListener(receiver, {"--receive-path", dir.filePath("in1"), "--once"});
        QVERIFY(port > 0);
        sender.start(connectArgs(port) + QStringList{"--send", dir.filePath("src"), "--chunk", "65536"});
        QCOMPARE(sender.finish(), 0);
        QCOMPARE(receiver.finish(), 0);
        QCOMPARE(digest(dir.filePath("in1")), digest(dir.filePath("src")));
        QVERIFY(receiver.lines().contains(QStringLiteral("file: %1 (3145733 bytes)").arg(dir.filePath("in1"))));
    }
    // Listening side sends; the connecting side stores under the announced path.
    {
        Run sender, receiver;
        const int port = startListener(sender, {"--send", dir.filePath("src"), "--receive-path", dir.filePath("in2"),
                                                "--chunk", "100000", "--overwrite"},
                                       true);
        QVERIFY(port > 0);
        receiver.start(connectArgs(port) + QStringList{"--once", "--json"});
        QCOMPARE(receiver.finish(), 0);
        QCOMPARE(sender.finish(), 0);
        QCOMPARE(digest(dir.filePath("in2")), digest(dir.filePath("src")));
        const QJsonObject file = QJsonDocument::fromJson(receiver.lines().value(1).toUtf8()).object();
        QCOMPARE(file.value("event").toString(), QStringLiteral("file"));
        QCOMPARE(file.value("path").toString(), dir.filePath("in2"));
        QCOMPARE(file.value("size").toDouble(), 3145733.0);
    }
}

void TestCli::refusedPathExitsOne()
{
    QTemporaryDir dir;
    makeFile(dir.filePath("src"), 10);
    Run receiver, sender;
    const int port = startListener(receiver, {});
    QVERIFY(port > 0);
    sender.start(connectArgs(port) + QStringList{"--send", dir.filePath("src"), "--receive-path", "/nonexistent-a/b/c"});
    QCOMPARE(sender.finish(), 1);
    QVERIFY(sender.lines().contains(QStringLiteral("error 0: 错误的文件路径。")));
    QCOMPARE(receiver.finish(), 0);
    // A file to send that does not exist.
    Run receiver2, sender2;
    const int port2 = startListener(receiver2, {});
    QVERIFY(port2 > 0);
    sender2.start(connectArgs(port2) + QStringList{"--send", dir.filePath("typo")});
    QCOMPARE(sender2.finish(), 1);
    QVERIFY(sender2.lines().contains(QStringLiteral("skipped: %1 (no such file or folder)").arg(dir.filePath("typo"))));
    QVERIFY(sender2.lines().last().startsWith("sent: 0 of 1 files (0 bytes) in "));
    QVERIFY(!QFile::exists(dir.filePath("typo")));
    // That sender never said a word: the receiver waits for a real peer.
    QVERIFY(testing::waitFor([&] {
        return receiver2.lines().count(QStringLiteral("listening: %1").arg(port2)) == 2;
    }));
    receiver2.process->kill();
    receiver2.finish();
}

void TestCli::usageConnectionErrorAndTimeout()
{
    Run bad;
    bad.start({"--say", "x"});
    QCOMPARE(bad.finish(), 2);
    QVERIFY(bad.error().contains("usage: velmora-cli"));
    Run both;
    both.start({"--listen", "0", "--connect", "127.0.0.1:1"});
    QCOMPARE(both.finish(), 2);

    const testing::ClosedPort closed;
    Run refused;
    refused.start({"--connect", QStringLiteral("127.0.0.1:%1").arg(closed.port()), "--say", "x"});
    QCOMPARE(refused.finish(), 1);
    QVERIFY(refused.lines().contains("error 10061: Connection is forcefully rejected"));
    Run refusedSend; // a run with files to send says what it sent, also when it could not connect
    refusedSend.start({"--connect", QStringLiteral("127.0.0.1:%1").arg(closed.port()), "--send", Cli});
    QCOMPARE(refusedSend.finish(), 1);
    QVERIFY2(refusedSend.lines().value(1).startsWith("sent: 0 of 1 files (0 bytes) in "), qPrintable(refusedSend.lines().join(u'|')));

    Run lonely;
    lonely.start({"--listen", "0", "--timeout", "1"});
    QCOMPARE(lonely.finish(), 3);

    // Pacing the receiving side could not keep up with is refused, with the reason.
    Run slow;
    slow.start({"--listen", "0", "--interval", "5000"});
    QCOMPARE(slow.finish(), 2);
    QVERIFY(slow.error().contains("releases a transfer after 5 s"));
}

void TestCli::interruptedReceiveIsAFailure_data()
{
    QTest::addColumn<bool>("killSender");
    QTest::addColumn<int>("receiverSignal");
    QTest::addColumn<int>("status");
    QTest::newRow("the sender is killed") << true << 0 << 1;
    QTest::newRow("SIGTERM to the receiver") << false << int(SIGTERM) << 143;
    QTest::newRow("SIGINT to the receiver") << false << int(SIGINT) << 130;
    QTest::newRow("SIGHUP to the receiver") << false << int(SIGHUP) << 129;
    QTest::newRow("SIGQUIT to the receiver") << false << int(SIGQUIT) << 131;
}

void TestCli::interruptedReceiveIsAFailure()
{
    QFETCH(bool, killSender);
    QFETCH(int, receiverSignal);
    QFETCH(int, status);
    QTemporaryDir dir;
    makeFile(dir.filePath("src"), 64 * 1024 * 1024);
    Run receiver, sender;
    const int port = startListener(receiver, {"--receive-path", dir.filePath("in"), "--once"});
    QVERIFY(port > 0);
    // Slow enough to be caught in the middle: 64 KiB every 10 ms.
    sender.start(connectArgs(port) + QStringList{"--send", dir.filePath("src"), "--chunk", "65536", "--interval", "10"});
    QVERIFY(testing::waitFor([&] { return testing::receivedSoFar(dir.filePath("in")) > 0; }, 20000));
    if (killSender)
        sender.process->kill();
    else
        ::kill(pid_t(receiver.process->processId()), receiverSignal);
    QCOMPARE(receiver.finish(10000), status);
    const QStringList lines = receiver.lines();
    const QString incomplete = lines.filter(QStringLiteral("incomplete: ")).value(0);
    QVERIFY2(incomplete.startsWith(QStringLiteral("incomplete: %1 (").arg(dir.filePath("in"))), qPrintable(lines.join(u'|')));
    QVERIFY(incomplete.endsWith(QStringLiteral(" of 67108864 bytes)")));
    QVERIFY(!QFile::exists(dir.filePath("in"))); // nothing half-written is left
    QCOMPARE(testing::receivedSoFar(dir.filePath("in")), 0);
    sender.process->kill();
    sender.finish(10000);
}

void TestCli::brokenSecureSendsResume_data()
{
    QTest::addColumn<QString>("cut"); // who is stopped: "sender", "receiver" (SIGKILL), "SIGTERM"; "retry":
                                      // the receiver, and the sender's --retry connects again
    QTest::addColumn<QString>("between"); // what changes before the next try
    QTest::addColumn<bool>("secure");
    QTest::addColumn<bool>("resumes");
    QTest::newRow("the sender is killed") << "sender" << "" << true << true;
    QTest::newRow("the receiver is killed") << "receiver" << "" << true << true;
    QTest::newRow("the sender tries again") << "retry" << "" << true << true;
    QTest::newRow("SIGTERM to the receiver") << "SIGTERM" << "" << true << true;
    QTest::newRow("the source changes in its first half") << "sender" << "source" << true << false;
    QTest::newRow("a byte of the kept file flips") << "sender" << "kept" << true << false;
    QTest::newRow("a plaintext peer gets nothing kept") << "sender" << "" << false << false;
}

// A send that breaks half way goes again: between paired peers only the rest crosses, and the
// result is the file as it is now, whole; anything that makes the kept bytes doubtful sends it all.
void TestCli::brokenSecureSendsResume()
{
    QFETCH(QString, cut);
    QFETCH(QString, between);
    QFETCH(bool, secure);
    QFETCH(bool, resumes);
    QTemporaryDir dir;
    const QString source = dir.filePath("src"), target = dir.filePath("in/src");
    makeFile(source, 16 * 1024 * 1024);
    Run pairing[2];
    if (secure)
        testing::pairRuns(Cli, pairing[0], pairing[1]);
    const QStringList security{"--secure", secure ? "required" : "off"};
    Run receiver, sender, receiver2, sender2;
    receiver.home = std::move(pairing[0].home);
    sender.home = std::move(pairing[1].home);
    const QStringList listen = QStringList{"--receive-dir", dir.filePath("in"), "--once", "--no-announce"} + security;
    int port = startListener(receiver, listen);
    QVERIFY(port > 0);
    // Slow enough to be caught in the middle: 64 KiB every 10 ms.
    const bool retry = cut == u"retry";
    sender.start(connectArgs(port) + QStringList{"--send", source, "--chunk", "65536", "--interval", "10", "--json"}
                 + security + (retry ? QStringList{"--retry", "5"} : QStringList()));
    QVERIFY(testing::waitFor([&] { return testing::receivedSoFar(target) > 1024 * 1024; }, 20000));
    if (cut == u"sender")
        sender.process->kill();
    else
        ::kill(pid_t(receiver.process->processId()), cut == u"SIGTERM" ? SIGTERM : SIGKILL);
    QVERIFY(receiver.finish(10000) != 0);
    if (!retry) {
        sender.process->kill();
        sender.finish(10000);
    }
    const qint64 kept = testing::receivedSoFar(target);
    QVERIFY(!QFile::exists(target));
    const QStringList hidden = QDir(dir.filePath("in")).entryList(QDir::Files | QDir::Hidden);
    QCOMPARE(hidden.size(), secure ? 1 : 0); // a plaintext peer is not known by a key: nothing is kept
    // What spares the next try reading the kept bytes again: the sender's checkpoints, and the
    // digest a receiver that saw the connection go kept with its file.
    QCOMPARE(QDir(sender.home->filePath("data/velmora/sent")).entryList(QDir::Files).size(), secure ? 1 : 0);
    const QDir entries(receiver.home->filePath("data/velmora/partial"));
    const QStringList entry = entries.entryList({"*.json"}, QDir::Files);
    QCOMPARE(entry.size(), secure ? 1 : 0);
    if (cut == u"sender")
        QVERIFY(testing::readFile(entries.filePath(entry.value(0))).contains("\"digest\"") == secure);
    if (between == u"source" || between == u"kept") {
        QFile file(between == u"source" ? source : dir.filePath("in/" + hidden.value(0)));
        QVERIFY(file.open(QIODevice::ReadWrite) && file.seek(4096));
        const char flipped = char(~file.peek(1).at(0));
        QVERIFY(file.write(&flipped, 1) == 1);
    }
    receiver2.home = std::move(receiver.home);
    sender2.home = std::move(sender.home);
    if (retry) {
        // The sender waits between its tries; the receiver comes back on the same port.
        QVERIFY(testing::waitFor([&] { return !sender.lines().filter("\"retrying\"").isEmpty(); }, 10000));
        receiver2.start(listen + QStringList{"--listen", QString::number(port), "--timeout", "60", "--no-pair"});
        sender2.process = std::move(sender.process);
        sender2.out = sender.out;
    } else {
        port = startListener(receiver2, listen);
        QVERIFY(port > 0);
        sender2.start(connectArgs(port) + QStringList{"--send", source, "--json"} + security);
    }
    QCOMPARE(sender2.finish(), 0);
    QCOMPARE(receiver2.finish(), 0);
    QCOMPARE(digest(target), digest(source));
    double resumedFrom = -1;
    for (const QString &line : sender2.lines()) {
        const QJsonObject o = QJsonDocument::fromJson(line.toUtf8()).object();
        if (o.value("event").toString() == u"sent")
            resumedFrom = o.value("resumed").toDouble();
    }
    QCOMPARE(resumedFrom, resumes ? double(kept) : 0.0); // exactly what was kept did not cross again
    QCOMPARE(receiver2.lines().filter("resumed: " + target + " from ").size(), resumes ? 1 : 0);
    // Nothing of the broken try is left, hidden or recorded.
    QCOMPARE(QDir(dir.filePath("in")).entryList(QDir::Files | QDir::Hidden), QStringList{"src"});
    QCOMPARE(QDir(receiver2.home->filePath("data/velmora/partial")).entryList(QDir::Files), QStringList());
    QCOMPARE(QDir(sender2.home->filePath("data/velmora/sent")).entryList(QDir::Files), QStringList());
}

void TestCli::probeDoesNotEndAListener()
{
    QTemporaryDir dir;
    makeFile(dir.filePath("src"), 100000);
    Run receiver, sender;
    const int port = startListener(receiver, {"--receive-path", dir.filePath("in"), "--once"});
    QVERIFY(port > 0);
    for (int i = 0; i < 2; ++i) { // a port scan: connect, say nothing, leave
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, quint16(port));
        QVERIFY(probe.waitForConnected(5000));
        QVERIFY(testing::waitFor([&] { return receiver.count(QStringLiteral("connected: 127.0.0.1")) == i + 1; }));
        probe.disconnectFromHost();
        QVERIFY(testing::waitFor([&] {
            return receiver.lines().count(QStringLiteral("listening: %1").arg(port)) == i + 2;
        }));
    }
    // Two that start a TLS handshake, one with garbage and one that stalls in it, are set up side
    // by side and refused, saying why, without the listener ever letting go; a plaintext one that
    // sends a byte that is no message is dropped after 10 s, and the listener listens again.
    const int listens = receiver.count(QStringLiteral("listening: %1").arg(port));
    QTcpSocket garbage, stalled, stray;
    for (auto [socket, first] : {std::pair{&garbage, QByteArray("\x16\x03\x01\x00\x08not tls!", 13)},
                                 std::pair{&stalled, QByteArray("\x16\x03\x01", 3)}}) {
        socket->connectToHost(QHostAddress::LocalHost, quint16(port));
        QVERIFY(socket->waitForConnected(5000));
        socket->write(first);
        QVERIFY(socket->waitForBytesWritten(5000)); // at once: the listener looks at the first bytes
    }
    QVERIFY(testing::waitFor([&] {
        return !receiver.lines().filter(QRegularExpression("^refused: 127\\.0\\.0\\.1 \\(.*not set up within 10 s\\)$")).isEmpty();
    }, 30000));
    QVERIFY2(!receiver.lines().filter(QRegularExpression("^refused: 127\\.0\\.0\\.1 \\(the secure handshake failed: ")).isEmpty(),
             receiver.out.constData());
    QCOMPARE(receiver.count(QStringLiteral("listening: %1").arg(port)), listens);
    stray.connectToHost(QHostAddress::LocalHost, quint16(port));
    QVERIFY(stray.waitForConnected(5000));
    QVERIFY(testing::waitFor([&] { return receiver.count(QStringLiteral("connected: 127.0.0.1")) == 3; }));
    stray.write("M");
    QVERIFY(testing::waitFor([&] { return receiver.count(QStringLiteral("listening: %1").arg(port)) > listens; }, 30000));
    QVERIFY2(receiver.lines().contains(QStringLiteral("dropped: 127.0.0.1 (sent no message in 10 s)")), receiver.out.constData());
    sender.start(connectArgs(port) + QStringList{"--send", dir.filePath("src")});
    QCOMPARE(sender.finish(), 0);
    QCOMPARE(receiver.finish(), 0);
    QCOMPARE(digest(dir.filePath("in")), digest(dir.filePath("src")));
}

// Folders go file by file into the receiver's folder; what is no file is skipped, and a file the
// receiver refuses (a link in its folder leads out of it) fails alone.
// A batch cut in the middle (the receiver is stopped): every file it reported is whole, nothing
// else landed under its name, and nothing hidden is left.
void TestCli::brokenBatchLeavesOnlyWholeFiles()
{
    QTemporaryDir dir;
    QVERIFY(QDir().mkpath(dir.filePath("src/many")));
    // Small files, and every 25th one of 700 kB: the stop comes in the middle of a file's bytes.
    for (int i = 0; i < 2000; ++i)
        QVERIFY(testing::writeFile(dir.filePath(QStringLiteral("src/many/f%1").arg(i, 4, 10, QChar(u'0'))),
                                   QByteArray(i % 25 ? 300 + i % 50 : 700000, char(i))));
    Run pairing[2], receiver, sender;
    testing::pairRuns(Cli, pairing[0], pairing[1]);
    receiver.home = std::move(pairing[0].home);
    sender.home = std::move(pairing[1].home);
    const QStringList security{"--secure", "required"};
    const int port = startListener(receiver, QStringList{"--receive-dir", dir.filePath("in")} + security);
    QVERIFY(port > 0);
    sender.start(connectArgs(port) + QStringList{"--send", dir.filePath("src/many")} + security);
    QVERIFY(testing::waitFor([&] { return receiver.lines().filter(QRegularExpression("^file: ")).size() >= 20; }, 20000));
    ::kill(pid_t(receiver.process->processId()), SIGTERM);
    QCOMPARE(receiver.finish(10000), 143);
    QVERIFY(sender.finish(10000) != 0);
    const QStringList reported = receiver.lines().filter(QRegularExpression("^file: "));
    const QStringList landed = QDir(dir.filePath("in/many")).entryList(QDir::Files | QDir::Hidden);
    QCOMPARE(landed.size(), reported.size());
    for (const QString &name : landed)
        QCOMPARE(digest(dir.filePath("in/many/" + name)), digest(dir.filePath("src/many/" + name)));
}

void TestCli::foldersIntoAReceiveFolder_data()
{
    QTest::addColumn<bool>("secure");
    QTest::addColumn<int>("small"); // more files of a few bytes in photos/, and two of 1.5 MiB
    QTest::newRow("a legacy peer, file by file") << false << 0;
    QTest::newRow("a paired peer, one batch") << true << 1000;
}

// Folders and files land in the receive folder; one that would leave it is refused while the
// others arrive. Between paired peers the whole send is one batch, small files back to back.
void TestCli::foldersIntoAReceiveFolder()
{
    QFETCH(bool, secure);
    QFETCH(int, small);
    QTemporaryDir dir;
    QDir().mkpath(dir.filePath("src/photos/sub"));
    QDir().mkpath(dir.filePath("src/photos/empty"));
    QDir().mkpath(dir.filePath("src/escape"));
    QDir().mkpath(dir.filePath("in"));
    QDir().mkpath(dir.filePath("outside"));
    QStringList files{"photos/a.jpg", "photos/sub/b.jpg", "escape/x.txt", "report.pdf"};
    for (const QString &f : files)
        makeFile(dir.filePath("src/" + f), 1000 + f.size());
    qint64 bytes = 3038;
    for (int i = 0; i < small + (small > 0 ? 2 : 0); ++i) {
        files.append(QStringLiteral("photos/sub/s%1").arg(i, 4, 10, QChar(u'0')));
        const qint64 size = i < small ? i % 97 : 1536 * 1024 + i;
        makeFile(dir.filePath("src/" + files.last()), size);
        bytes += size;
    }
    QVERIFY(QFile::link(dir.filePath("src/photos/a.jpg"), dir.filePath("src/photos/link")));
    QCOMPARE(::mkfifo(QFile::encodeName(dir.filePath("src/photos/fifo")).constData(), 0600), 0);
    QVERIFY(QFile::link(dir.filePath("outside"), dir.filePath("in/escape")));
    Run pairing[2];
    if (secure)
        testing::pairRuns(Cli, pairing[0], pairing[1]);
    const QStringList security{"--secure", secure ? "required" : "off"};
    Run receiver, sender;
    receiver.home = std::move(pairing[0].home);
    sender.home = std::move(pairing[1].home);
    const int port = startListener(receiver, QStringList{"--receive-dir", dir.filePath("in")} + security);
    QVERIFY(port > 0);
    sender.start(connectArgs(port) + QStringList{"--send", dir.filePath("src/photos"), "--send", dir.filePath("src/escape"),
                                                 "--send", dir.filePath("src/report.pdf")} + security);
    QCOMPARE(sender.finish(60000), 1);
    QCOMPARE(receiver.finish(), 0);
    for (const QString &f : files) {
        if (f != files[2])
            QCOMPARE(digest(dir.filePath("in/" + f)), digest(dir.filePath("src/" + f)));
    }
    QVERIFY(QDir(dir.filePath("outside")).isEmpty());
    const QStringList said = sender.lines();
    QVERIFY(said.contains(QStringLiteral("skipped: %1 (not a regular file)").arg(dir.filePath("src/photos/fifo"))));
    QVERIFY(said.contains(QStringLiteral("skipped: %1 (symbolic link)").arg(dir.filePath("src/photos/link"))));
    QVERIFY(said.contains(QStringLiteral("send failed: %1 (错误的文件路径。)").arg(dir.filePath("src/escape/x.txt"))));
    const qsizetype sent = files.size() - 1;
    QVERIFY2(said.last().startsWith(QStringLiteral("sent: %1 of %2 files (%3 bytes) in ").arg(sent).arg(files.size()).arg(bytes)),
             qPrintable(said.last()));
    QCOMPARE(said.filter(QRegularExpression("^batch: ")),
             secure ? QStringList{QStringLiteral("batch: %1 files (%2 bytes) accepted by the peer").arg(files.size()).arg(bytes + 1012)}
                    : QStringList());
    const QStringList heard = receiver.lines();
    QCOMPARE(heard.filter(QRegularExpression("^batch: ")).size(), secure ? 1 : 0);
    if (secure) { // reported after the connection, under the name the peer is paired with
        const qsizetype connectedAt = heard.indexOf(QRegularExpression("connected: .*"));
        const QString peer = QRegularExpression("^secure: TLS 1.3, peer (\\S+)").match(heard.value(connectedAt - 1)).captured(1);
        QCOMPARE(heard.value(connectedAt + 1),
                 QStringLiteral("batch: %1 files (%2 bytes) from %3").arg(files.size()).arg(bytes + 1012).arg(peer));
    }
    QCOMPARE(heard.filter(QRegularExpression("^file: ")).size(), sent);
    QVERIFY2(heard.contains(QStringLiteral("file: %1 (1016 bytes)").arg(dir.filePath("in/photos/sub/b.jpg"))),
             qPrintable(heard.join(u'|')));
    QVERIFY(heard.mid(heard.size() - 2, 1).value(0).startsWith(QStringLiteral("received: %1 files (%2 bytes) in ").arg(sent).arg(bytes)));
}

// A listener that allows one address refuses the others and goes on waiting for it.
void TestCli::onlyAllowedPeersConnect_data()
{
    QTest::addColumn<QStringList>("allow");
    QTest::addColumn<QString>("friendFrom"); // the address the allowed peer connects from, and to
    QTest::addColumn<QString>("friendTo");
    // 127.0.0.2 written as IPv6; an IPv6 network holds no IPv4 peer, not even ::/0.
    QTest::newRow("an IPv4 address written as IPv6") << QStringList{"::ffff:127.0.0.2/128", "::/0"} << "127.0.0.2"
                                                     << "127.0.0.1";
    QTest::newRow("an IPv6 network") << QStringList{"::1/128"} << "::1" << "::1";
}

void TestCli::onlyAllowedPeersConnect()
{
    QFETCH(QStringList, allow);
    QFETCH(QString, friendFrom);
    QFETCH(QString, friendTo);
    if (friendTo.contains(u':') && !testing::loopbackHasIPv6())
        QSKIP("no IPv6 on this machine's loopback (::1): the IPv6 rows do not run");
    Run listener, stranger;
    QTemporaryDir dir;
    makeFile(dir.filePath("let-me-in"), 100);
    QStringList options{"--once"};
    for (const QString &network : allow)
        options << "--allow" << network;
    const int port = startListener(listener, options);
    QVERIFY(port > 0);
    // A file waits for the listener's answer: the stranger cannot be done before it is refused.
    stranger.start(connectArgs(port) + QStringList{"--send", dir.filePath("let-me-in")});
    QCOMPARE(stranger.finish(), 1);
    QVERIFY(testing::waitFor([&] { return listener.lines().contains("refused: 127.0.0.1"); }));
    QTcpSocket friendly;
    QVERIFY(friendly.bind(QHostAddress(friendFrom), 0));
    friendly.connectToHost(QHostAddress(friendTo), quint16(port));
    QVERIFY(friendly.waitForConnected(5000));
    friendly.write("Message:welcome");
    QVERIFY(testing::waitFor([&] { return listener.lines().contains("message: welcome"); }));
    friendly.disconnectFromHost();
    QCOMPARE(listener.finish(), 0);
    QVERIFY(listener.lines().filter(QRegularExpression("^file: ")).isEmpty());
}

// Text from the peer, and names of local files a peer may have chosen, print on one line each.
// The background receiver asks about a legacy peer's offers through desktop notifications,
// shows what arrived, listens on for the next peer and sends for other programs; without a
// notification service it says so.
void TestCli::serveAsksThroughNotifications()
{
    QTemporaryDir dir;
    NotificationService service;
    QVERIFY(service.start());
    Run noService, serve;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("unix:path=") + dir.filePath("no-bus"));
    noService.process->setProcessEnvironment(env);
    noService.start({"--serve", "--listen", "0", "--no-announce", "--receive-dir", dir.filePath("in")});
    QByteArray said;
    QVERIFY(testing::waitFor([&] { return (said += noService.process->readAllStandardError()).contains("no desktop notification service"); }));
    noService.process->terminate();
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), service.address);
    serve.process->setProcessEnvironment(env);
    serve.start({"--serve", "--listen", "0", "--no-announce", "--receive-dir", dir.filePath("in")});
    QRegularExpressionMatch listening;
    QVERIFY(testing::waitFor([&] { return (listening = QRegularExpression("listening: (\\d+)").match(serve.lines().join(u'\n'))).hasMatch(); }));
    QTcpSocket peer;
    peer.connectToHost(QHostAddress::LocalHost, quint16(listening.captured(1).toInt()));
    QVERIFY(peer.waitForConnected(5000));
    const auto offer = [&](const QByteArray &name, const QString &action) {
        const qsizetype before = service.shown.size();
        peer.write("FileDat:" + name + "|5|5|False");
        QVERIFY(testing::waitFor([&] { return service.shown.size() > before; }));
        QVERIFY(!QFile::exists(dir.filePath("in/" + name))); // nothing lands unasked
        service.answer(uint(service.shown.size()), action);
    };
    const auto answer = [&] {
        testing::waitFor([&] { return peer.bytesAvailable() >= 8 || (peer.waitForReadyRead(20), false); });
        return peer.read(8);
    };
    offer("<b>x\x1b.txt", QStringLiteral("accept"));
    QCOMPARE(service.shown.last().summary, QStringLiteral("Accept a file?"));
    QCOMPARE(service.shown.last().body, QStringLiteral("&lt;b&gt;x\\e.txt (5 B) from 127.0.0.1"));
    QCOMPARE(service.shown.last().actions, (QStringList{"accept", "Accept", "decline", "Decline"}));
    QCOMPARE(answer(), QByteArray("SendDat:"));
    peer.write("12345");
    QCOMPARE(answer(), QByteArray("HereisIt"));
    QVERIFY(testing::waitFor([&] { return service.shown.size() == 2; }));
    QCOMPARE(service.shown.last().summary, QStringLiteral("File received"));
    QCOMPARE(service.shown.last().actions, (QStringList{"open-folder", "Open folder"}));
    offer("declined.txt", QStringLiteral("decline"));
    QCOMPARE(answer(), QByteArray("SendErr:"));
    offer("closed.txt", QString());
    QCOMPARE(answer(), QByteArray("SendErr:"));
    QVERIFY(!QFile::exists(dir.filePath("in/declined.txt")) && !QFile::exists(dir.filePath("in/closed.txt")));
    // It runs on across peers, each with a control of its own.
    QTcpSocket second;
    second.connectToHost(QHostAddress::LocalHost, quint16(listening.captured(1).toInt()));
    QVERIFY(second.waitForConnected(5000));
    second.write("Message:alongside");
    QVERIFY(testing::waitFor([&] { return serve.count(QStringLiteral("message: alongside")) == 1; }));
    // Eight peers at most: a ninth takes the place of one that has said nothing yet.
    std::vector<std::unique_ptr<QTcpSocket>> silent;
    for (int i = 0; i < 7; ++i) {
        silent.push_back(std::make_unique<QTcpSocket>());
        silent.back()->connectToHost(QHostAddress::LocalHost, quint16(listening.captured(1).toInt()));
        QVERIFY(silent.back()->waitForConnected(5000));
        QVERIFY(testing::waitFor([&] { return serve.count(QStringLiteral("connected: 127.0.0.1")) == i + 3; }));
    }
    silent.back()->write("Message:made room");
    QVERIFY(testing::waitFor([&] { return serve.count(QStringLiteral("message: made room")) == 1; }));
    QCOMPARE(serve.count(QStringLiteral("dropped: 127.0.0.1 (made room for another peer)")), 1);
    peer.close();
    QVERIFY(testing::waitFor([&] { return serve.count(QStringLiteral("closed")) == 1; }));
    // Other programs send through it.
    Run other;
    const int port = startListener(other, {"--receive-dir", dir.filePath("out"), "--once"});
    const QString to = QStringLiteral("127.0.0.1:%1").arg(port);
    QFile::copy(dir.filePath("in/<b>x\x1b.txt"), dir.filePath("sent"));
    QDBusMessage call = QDBusMessage::createMethodCall("org.velmora.Velmora", "/org/velmora/Velmora",
                                                       "org.velmora.Velmora", "SendFiles");
    call << to << QStringList{dir.filePath("sent")};
    QCOMPARE(QDBusConnection(QStringLiteral("notifications")).call(call).type(), QDBusMessage::ReplyMessage);
    QCOMPARE(other.finish(), 0);
    QVERIFY(testing::waitFor([&] { return serve.count(QStringLiteral("sent to %1: sent 1 of 1 files").arg(to)) == 1; }));
    QCOMPARE(testing::fileDigest(dir.filePath("out/sent")), testing::fileDigest(dir.filePath("sent")));
    serve.process->terminate();
    QCOMPARE(serve.finish(), 143);
}

void TestCli::receivePolicies_data()
{
    QTest::addColumn<QStringList>("policy");
    QTest::addColumn<bool>("secure");
    QTest::addColumn<QByteArray>("typed"); // the answer to the question ("" when none is asked)
    QTest::addColumn<bool>("landed");
    QTest::addColumn<int>("files"); // more than one: a folder, sent as one batch
    QTest::addColumn<int>("grows"); // the file of the batch that grows while the question waits (-1: none)
    const QStringList ask{"--ask"}, paired{"--accept", "paired"}, none{"--accept", "none"};
    QTest::newRow("all, legacy peer") << QStringList() << false << QByteArray() << true << 1 << -1;
    QTest::newRow("ask, legacy peer, yes") << ask << false << QByteArray("y\n") << true << 1 << -1;
    QTest::newRow("ask, legacy peer, no") << ask << false << QByteArray("n\n") << false << 1 << -1;
    QTest::newRow("ask, input closed") << ask << false << QByteArray("\x04") << false << 1 << -1;
    QTest::newRow("paired, unpaired legacy peer is asked") << paired << false << QByteArray("yes\n") << true << 1 << -1;
    QTest::newRow("none, legacy peer") << none << false << QByteArray() << false << 1 << -1;
    QTest::newRow("ask, secure peer, yes") << ask << true << QByteArray("y\n") << true << 1 << -1;
    QTest::newRow("paired, paired secure peer") << paired << true << QByteArray() << true << 1 << -1;
    QTest::newRow("none, secure peer") << none << true << QByteArray() << false << 1 << -1;
    QTest::newRow("ask, secure peer, a batch asked once, yes") << ask << true << QByteArray("y\n") << true << 3 << -1;
    QTest::newRow("ask, secure peer, a batch asked once, no") << ask << true << QByteArray("n\n") << false << 3 << -1;
    QTest::newRow("ask, the last file of the batch grows before the answer") << ask << true << QByteArray("y\n") << true << 3 << 2;
    QTest::newRow("once, a batch: its first file alone") << QStringList{"--once"} << true << QByteArray() << true << 3 << -1;
}

// What each receive policy lets land, asking on the terminal where it must, against a legacy
// peer (raw bytes on the socket) and a secure one (velmora-cli, pairing with the listener's code).
void TestCli::receivePolicies()
{
    QFETCH(QStringList, policy);
    QFETCH(bool, secure);
    QFETCH(QByteArray, typed);
    QFETCH(bool, landed);
    QFETCH(int, files);
    QFETCH(int, grows);
    const bool whole = landed && grows < 0 && !policy.contains(QStringLiteral("--once")); // every file lands
    QTemporaryDir dir;
    Run receiver, sender;
    const QStringList progress = files > 1 ? QStringList{"--progress"} : QStringList();
    receiver.start(QStringList{"--listen", "0", "--timeout", "60", "--receive-dir", dir.filePath("in")} + policy + progress);
    const PairingListener listening = pairingListener(receiver);
    QVERIFY(listening.port > 0);
    const int port = listening.port;
    // A name that would steer the terminal, were it printed as it is.
    const QByteArray name = files > 1 ? "batch/f0" : secure ? "report.pdf" : "re\x1b[31mport.pdf";
    const QByteArray data(2100, 'd');
    QFile::remove(dir.filePath(name)); // make sure nothing but the receive creates it
    QTcpSocket legacy;
    if (secure) {
        QDir().mkpath(dir.filePath("batch"));
        for (int i = 0; i < files; ++i)
            QVERIFY(testing::writeFile(dir.filePath(files > 1 ? QStringLiteral("batch/f%1").arg(i) : QString(name)), data));
        sender.start(connectArgs(port) + QStringList{"--pair", listening.code, "--send",
                                                     dir.filePath(files > 1 ? "batch" : QString(name))} + progress);
    } else {
        legacy.connectToHost(QHostAddress::LocalHost, quint16(port));
        QVERIFY(legacy.waitForConnected(5000));
        legacy.write("FileDat:" + name + "|2100|100000|False");
    }
    if (!typed.isEmpty()) {
        QByteArray asked;
        QVERIFY(testing::waitFor([&] {
            asked += receiver.process->readAllStandardError();
            return asked.contains("? [y/N] ");
        }));
        if (files > 1)
            QVERIFY2(asked.contains(" offers 3 files (6.3 kB) in batch/: accept? [y/N] "), asked);
        else
            QVERIFY2(asked.contains("accept re" + QByteArray(secure ? "" : "\\e[31m") + "port.pdf (2.1 kB) from "), asked);
        QVERIFY(!QFile::exists(dir.filePath("in/" + name))); // nothing lands unasked
        if (grows >= 0) { // past the bytes announced: it fails alone, and the others go on
            QFile grown(dir.filePath(QStringLiteral("batch/f%1").arg(grows)));
            QVERIFY(grown.open(QIODevice::Append) && grown.write("more") == 4);
        }
        if (typed == "\x04")
            receiver.process->closeWriteChannel();
        else
            receiver.process->write(typed);
    }
    if (secure) {
        QCOMPARE(sender.finish(), whole || (landed && files == 1) ? 0 : 1);
        if (grows >= 0)
            QVERIFY2(sender.lines().contains(QStringLiteral("send failed: %1 (Path/File access error: the file is larger "
                                                            "than when its batch was announced)")
                                                 .arg(dir.filePath(QStringLiteral("batch/f%1").arg(grows)))),
                     qPrintable(sender.lines().join(u'|')));
    } else {
        const auto answer = [&] {
            testing::waitFor([&] { return legacy.bytesAvailable() >= 8 || (legacy.waitForReadyRead(20), false); });
            return legacy.read(8);
        };
        QCOMPARE(answer(), landed ? QByteArray("SendDat:") : QByteArray("SendErr:"));
        if (landed) {
            legacy.write(data);
            QCOMPARE(answer(), QByteArray("HereisIt"));
        }
        legacy.close();
    }
    QCOMPARE(receiver.finish(), 0);
    QCOMPARE(QFile::exists(dir.filePath("in/" + name)), landed);
    if (files > 1) {
        const QByteArray said = receiver.process->readAllStandardError();
        QCOMPARE(said.count("? [y/N] "), 0); // asked once, for all of them
        // One progress for the batch, to its last file: received, and settled on the sending side.
        QCOMPARE(said.contains("] 3/3 files  6300/6300 bytes"), whole);
        const QByteArray sending = sender.process->readAllStandardError();
        QVERIFY2(sending.contains("] 3/3 files  6300/6300 bytes") == landed, sending.constData());
        QCOMPARE(receiver.lines().filter(QRegularExpression("^file: ")).size(), whole ? files : landed ? files - 1 - (grows < 0) : 0);
    }
    if (!landed)
        QCOMPARE(receiver.lines().filter(QRegularExpression(files > 1 ? "^declined: 3 files \\(6300 bytes\\) from "
                                                                      : "^declined: re.*port\\.pdf \\(2100 bytes\\) from ")).size(), 1);
}

// The background receiver asks about a batch once, in one notification, and takes all its files.
void TestCli::serveAsksOnceAboutABatch()
{
    QTemporaryDir dir;
    NotificationService service;
    QVERIFY(service.start());
    QDir().mkpath(dir.filePath("batch"));
    for (int i = 0; i < 3; ++i)
        QVERIFY(testing::writeFile(dir.filePath(QStringLiteral("batch/f%1").arg(i)), QByteArray(2100, 'b')));
    Run serve, sender;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), service.address);
    serve.process->setProcessEnvironment(env);
    serve.start({"--serve", "--listen", "0", "--no-announce", "--accept", "ask", "--receive-dir", dir.filePath("in")});
    const PairingListener listening = pairingListener(serve);
    QVERIFY(listening.port > 0);
    sender.start(connectArgs(listening.port) + QStringList{"--pair", listening.code, "--send", dir.filePath("batch")});
    QVERIFY(testing::waitFor([&] { return !service.shown.isEmpty(); }, 20000));
    QCOMPARE(service.shown.first().summary, QStringLiteral("Accept files?"));
    QVERIFY2(service.shown.first().body.contains(" offers 3 files (6.3 kB) in batch/"), qPrintable(service.shown.first().body));
    QCOMPARE(service.shown.first().actions, (QStringList{"accept", "Accept", "decline", "Decline"}));
    QVERIFY(!QFile::exists(dir.filePath("in/batch/f0"))); // nothing lands unasked
    service.answer(1, QStringLiteral("accept"));
    QCOMPARE(sender.finish(), 0);
    for (int i = 0; i < 3; ++i)
        QCOMPARE(testing::fileDigest(dir.filePath(QStringLiteral("in/batch/f%1").arg(i))),
                 testing::fileDigest(dir.filePath(QStringLiteral("batch/f%1").arg(i))));
    int asked = 0;
    for (const NotificationService::Shown &n : service.shown)
        asked += n.summary.startsWith(u"Accept");
    QCOMPARE(asked, 1);
    serve.process->terminate();
    QCOMPARE(serve.finish(), 143);
}

// Each wrong code is said with where it came from; three spend the code, a new listener of the
// same user shows none either, and --new-code brings one to the listener that runs.
void TestCli::wrongCodesAreCountedForTheIdentity()
{
    Run listener;
    listener.start({"--listen", "0", "--timeout", "60"});
    const PairingListener listening = pairingListener(listener);
    QVERIFY(listening.port > 0);
    const QString wrong = QString::number((listening.code.toInt() + 1) % 1000000).rightJustified(6, u'0');
    const QStringList left{"2 more before the code is spent", "1 more before the code is spent", "the code is spent"};
    for (const QString &said : left) {
        Run guesser;
        guesser.start(connectArgs(listening.port) + QStringList{"--pair", wrong, "--say", "in?"});
        QCOMPARE(guesser.finish(), 1);
        QVERIFY2(testing::waitFor([&] {
            return !listener.lines().filter(QRegularExpression("^wrong code: from 127\\.0\\.0\\.1 \\(.+, [0-9A-F ]{19} …\\); " + said + "$")).isEmpty();
        }), listener.out.constData());
    }
    const QRegularExpression none("^pairing code: none until \\d\\d:\\d\\d:\\d\\d \\(spent after 3 wrong codes; velmora-cli --new-code ends the pause\\)$");
    QVERIFY(testing::waitFor([&] { return !listener.lines().filter(none).isEmpty(); }));
    listener.process->terminate();
    QCOMPARE(listener.finish(), 143);
    Run again, renew;
    again.home = std::move(listener.home);
    again.start({"--listen", "0", "--timeout", "60"});
    QVERIFY2(testing::waitFor([&] { return !again.lines().filter(none).isEmpty(); }), again.out.constData());
    renew.home.swap(again.home);
    renew.start({"--new-code"});
    QCOMPARE(renew.finish(), 0);
    renew.home.swap(again.home);
    QVERIFY2(testing::waitFor([&] { return !again.lines().filter(QRegularExpression("^pairing code: \\d{3}-\\d{3}$")).isEmpty(); }),
             again.out.constData());
    again.process->terminate();
    QCOMPARE(again.finish(), 143);
}

void TestCli::peerTextStaysOnOneLine()
{
    QTemporaryDir dir;
    const QString name = QStringLiteral("a\nsent: forged\x1b[31m") + QChar(QChar::ParagraphSeparator) + u'z';
    makeFile(dir.filePath(name), 3);
    Run listener, talker;
    const int port = startListener(listener, {"--receive-dir", dir.filePath("in")});
    QVERIFY(port > 0);
    talker.start(connectArgs(port) + QStringList{"--say", "x\nfile: /etc/passwd (1 bytes)\r\nclosed\t\x1b[31mred\x7f",
                                                 "--say", "del\x7f", "--send", dir.filePath(name)});
    QCOMPARE(talker.finish(), 0);
    QCOMPARE(listener.finish(), 0);
    const QString shown = QStringLiteral("a\\nsent: forged\\e[31m\\u2029z");
    QCOMPARE(listener.lines().mid(0, 6),
             (QStringList{QStringLiteral("listening: %1").arg(port), "plaintext: legacy peer", "connected: 127.0.0.1",
                          "message: x\\nfile: /etc/passwd (1 bytes)\\r\\nclosed\\t\\e[31mred\\x7f", "message: del\\x7f",
                          QStringLiteral("file: %1/%2 (3 bytes)").arg(dir.filePath("in"), shown)}));
    QCOMPARE(listener.lines().last(), QStringLiteral("closed"));
    QCOMPARE(talker.lines().value(1), QStringLiteral("sent: %1/%2 (3 bytes)").arg(dir.path(), shown));
}

void TestCli::fileAboveTwoGiB()
{
    if (qEnvironmentVariable("VELMORA_SLOW_TESTS") != QLatin1String("1"))
        QSKIP("set VELMORA_SLOW_TESTS=1 to move a file above 2^31 bytes");
    QTemporaryDir dir;
    const qint64 size = (qint64(1) << 31) + 12345;
    {
        QFile f(dir.filePath("big"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        QVERIFY(f.resize(size)); // sparse, with a few marked bytes
        for (qint64 at : {qint64(0), qint64(1) << 30, size - 1}) {
            f.seek(at);
            f.write("V");
        }
    }
    Run receiver, sender;
    const int port = startListener(receiver, {"--receive-path", dir.filePath("big.out"), "--once"});
    sender.start(connectArgs(port) + QStringList{"--send", dir.filePath("big"), "--chunk", "4194304", "--timeout", "600"});
    QCOMPARE(sender.finish(600000), 0);
    QCOMPARE(receiver.finish(60000), 0);
    QCOMPARE(QFileInfo(dir.filePath("big.out")).size(), size);
    QCOMPARE(digest(dir.filePath("big.out")), digest(dir.filePath("big")));
}

void TestCli::commandLine_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("encoding"); // VELMORA_WIRE_ENCODING, "" = unset
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("out");      // a pattern for all of stdout
    QTest::addColumn<QString>("error");    // a part of stderr
    const QString version = QRegularExpression::escape(QStringLiteral("velmora-cli " VELMORA_VERSION));
    const QString help = QStringLiteral("^Usage: velmora-cli --listen PORT \\[OPTION\\]\\.\\.\\.\n"
                                        "(.|\n)*--listen <PORT> (.|\n)*--encoding <NAME> (.|\n)*\nExit status:\n");
    QTest::newRow("--help") << QStringList{"--help"} << "" << 0 << help << "";
    QTest::newRow("-h") << QStringList{"-h"} << "" << 0 << help << "";
    QTest::newRow("--version") << QStringList{"--version"} << "" << 0 << "^" + version + "\n$" << "";
    QTest::newRow("-v") << QStringList{"-v"} << "" << 0 << "^velmora-cli 1\\.\\d+\\.\\d+\n$" << "";
    QTest::newRow("--opt=value") << QStringList{"--listen=0", "--timeout=1", "--chunk=7"} << "" << 3
                                 << "^listening: \\d+\npairing code: \\d{3}-\\d{3}\n$" << "timed out after 1 s";
    QTest::newRow("unknown option") << QStringList{"--listen", "0", "--bogus"} << "" << 2 << "^$"
                                    << "velmora-cli: Unknown option 'bogus'.\nusage: velmora-cli";
    QTest::newRow("missing value") << QStringList{"--listen"} << "" << 2 << "^$" << "Missing value after '--listen'";
    QTest::newRow("stray argument") << QStringList{"--listen", "0", "extra"} << "" << 2 << "^$"
                                    << "unknown argument: extra";
    QTest::newRow("bad value after =") << QStringList{"--listen=0", "--chunk=0"} << "" << 2 << "^$"
                                       << "bad chunk size: 0";
    QTest::newRow("unknown encoding") << QStringList{"--listen", "0", "--encoding", "Klingon"} << "" << 2 << "^$"
                                      << "Klingon (from --encoding)";
    QTest::newRow("UTF-16 is no wire encoding") << QStringList{"--listen", "0", "--encoding=UTF-16"} << "" << 2
                                                << "^$" << "UTF-16";
    QTest::newRow("unknown encoding in the environment") << QStringList{"--listen", "0"} << "Klingon" << 2 << "^$"
                                                         << "Klingon (from VELMORA_WIRE_ENCODING)";
    QTest::newRow("--receive-dir with --receive-path") << QStringList{"--listen", "0", "--receive-dir", "a",
                                                                      "--receive-path", "b"}
                                                    << "" << 2 << "^$" << "give one of --receive-path and --receive-dir";
    QTest::newRow("--allow without --listen") << QStringList{"--connect", "127.0.0.1:1", "--allow", "127.0.0.1"} << ""
                                              << 2 << "^$" << "--allow goes with --listen";
    QTest::newRow("--allow, not an address") << QStringList{"--listen", "0", "--allow", "localhost"} << "" << 2 << "^$"
                                             << "bad address to allow: localhost";
    QTest::newRow("--allow, IPv4 and IPv6 networks")
        << QStringList{"--listen", "0", "--timeout", "1", "--allow", "10.0.0.0/8", "--allow", "fe80::/10"} << "" << 3
        << "^listening: \\d+\npairing code: \\d{3}-\\d{3}\n$" << "";
    QTest::newRow("--listen on an IPv6 address") << QStringList{"--listen", "[::1]:0", "--timeout", "1"} << "" << 3
                                                 << "^listening: \\d+\npairing code: \\d{3}-\\d{3}\n$" << "";
    QTest::newRow("--listen on a name") << QStringList{"--listen", "localhost:0"} << "" << 2 << "^$"
                                        << "--listen needs PORT, ADDRESS:PORT or [IPv6]:PORT: localhost:0";
    QTest::newRow("--connect to an IPv6 address") << QStringList{"--connect", "[::1]:1", "--say", "x"} << "" << 1
                                                  << "^error 10061: " << "";
    QTest::newRow("--connect, IPv6 without brackets") << QStringList{"--connect", "::1:5000", "--say", "x"} << "" << 2
                                                      << "^$" << "with the address in brackets: ::1:5000";
    QTest::newRow("--allow, a leading zero") << QStringList{"--listen", "0", "--allow", "127.0.0.010"} << "" << 2 << "^$"
                                             << "bad address to allow: 127.0.0.010 (give four decimal numbers";
    QTest::newRow("--allow, a short form") << QStringList{"--listen", "0", "--allow", "127.1/8"} << "" << 2 << "^$"
                                           << "bad address to allow: 127.1/8";
    QTest::newRow("--accept, an unknown policy") << QStringList{"--listen", "0", "--accept", "friends"} << "" << 2
                                                 << "^$" << "bad --accept: friends (give all, paired, ask or none)";
    QTest::newRow("--serve sends nothing") << QStringList{"--serve", "--send", "x"} << "" << 2 << "^$"
                                           << "--serve receives: it goes with --listen";
    QTest::newRow("--retry without --send") << QStringList{"--connect", "127.0.0.1:1", "--retry", "3"} << "" << 2 << "^$"
                                            << "--retry goes with --connect and --send";
    QTest::newRow("--drop-partial with nothing kept") << QStringList{"--drop-partial"} << "" << 0
                                                      << "^dropped: 0 partly received files\n$" << "";
    QTest::newRow("the option wins") << QStringList{"--listen", "0", "--timeout", "1", "--encoding", "GB18030"}
                                     << "Klingon" << 3 << "^listening: \\d+\npairing code: \\d{3}-\\d{3}\n$" << "";
}

void TestCli::commandLine()
{
    QFETCH(QStringList, args);
    QFETCH(QString, encoding);
    QFETCH(int, status);
    QFETCH(QString, out);
    QFETCH(QString, error);
    if (args.join(u' ').contains(QStringLiteral("[::1]")) && !testing::loopbackHasIPv6())
        QSKIP("no IPv6 on this machine's loopback (::1): the IPv6 rows do not run");
    Run run;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("VELMORA_WIRE_ENCODING"));
    if (!encoding.isEmpty())
        env.insert(QStringLiteral("VELMORA_WIRE_ENCODING"), encoding);
    run.process->setProcessEnvironment(env);
    run.start(args);
    QCOMPARE(run.finish(), status);
    const QString stdOut = QString::fromUtf8(run.out);
    QVERIFY2(QRegularExpression(out).match(stdOut).hasMatch(), qPrintable(stdOut));
    const QString stdErr = run.error();
    QVERIFY2(stdErr.contains(error), qPrintable(stdErr));
}

void TestCli::sendPlans_data()
{
    // The tree made in a folder, one entry each: "NAME" a file, "NAME/" a folder, "NAME>TARGET" a
    // link, "NAME|" a FIFO; "%x" in a name is the byte 0xff. "deep/" is a chain of folders too
    // long for a path, with a file at its end. %1 stands for the folder.
    QTest::addColumn<QStringList>("tree");
    QTest::addColumn<QStringList>("send");
    QTest::addColumn<QStringList>("announced");
    QTest::addColumn<QStringList>("skipped");
    QTest::addColumn<int>("failures");
    QTest::addColumn<QString>("encoding"); // the wire encoding; "" for the system's own
    QTest::newRow("a folder: links and FIFOs inside are only listed")
        << QStringList{"f/", "f/a", "f/s/", "f/s/b", "f/l>a", "f/p|"} << QStringList{"%1/f"} << QStringList{"f/a", "f/s/b"}
        << QStringList{"%1/f/l (symbolic link)", "%1/f/p (not a regular file)"} << 0 << QString();
    QTest::newRow("named paths that are no file to send")
        << QStringList{"dangling>nowhere", "loop>loop", "fifo|"} << QStringList{"%1/dangling", "%1/loop", "%1/fifo", "/dev/null"}
        << QStringList{}
        << QStringList{"%1/dangling (no such file or folder)", "%1/loop (too many levels of symbolic links)",
                       "%1/fifo (not a regular file)", "/dev/null (not a regular file)"}
        << 4 << QString();
    QTest::newRow("a named link is followed") << QStringList{"a", "l>a"} << QStringList{"%1/l"} << QStringList{"l"}
                                              << QStringList{} << 0 << QString();
    QTest::newRow("a folder's files in the order of their paths")
        << QStringList{"f/", "f/a/", "f/a/x", "f/a-c", "f/a.txt", "f/b"} << QStringList{"%1/f"}
        << QStringList{"f/a-c", "f/a.txt", "f/a/x", "f/b"} << QStringList{} << 0 << QString();
    QTest::newRow("two files announced alike")
        << QStringList{"monday/", "monday/report.txt", "friday/", "friday/report.txt"}
        << QStringList{"%1/monday/report.txt", "%1/friday/report.txt"} << QStringList{"report.txt"}
        << QStringList{"%1/friday/report.txt (report.txt is announced for an earlier file already)"} << 1 << QString();
    QTest::newRow("two folders announced alike")
        << QStringList{"a/", "a/photos/", "a/photos/x", "b/", "b/photos/", "b/photos/x", "b/photos/y"}
        << QStringList{"%1/a/photos", "%1/b/photos"} << QStringList{"photos/x", "photos/y"}
        << QStringList{"%1/b/photos/x (photos/x is announced for an earlier file already)"} << 1 << QString();
    QTest::newRow("a name that is not UTF-8")
        << QStringList{"f/", "f/%x.txt", "f/ok.txt", "f/%xdir/", "f/%xdir/inside"} << QStringList{"%1/f"}
        << QStringList{"f/ok.txt"}
        << QStringList{"%1/f/\\xff.txt (name is not valid UTF-8)", "%1/f/\\xffdir (name is not valid UTF-8)"} << 2 << QString();
    QTest::newRow("a file too deep for a path") << QStringList{"f/", "f/ok", "f/deep/"} << QStringList{"%1/f"}
                                                << QStringList{"f/ok"} << QStringList{"path longer than 4095 bytes)"}
                                                << 1 << QString();
    QTest::newRow("a name the wire encoding cannot hold")
        << QStringList{"f/", "f/猫.txt", "f/smile😀.txt"} << QStringList{"%1/f"} << QStringList{"f/猫.txt"}
        << QStringList{"%1/f/smile😀.txt (f/smile😀.txt cannot be written in the wire encoding GBK)"} << 1 << "GBK";
}

void TestCli::sendPlans()
{
    QFETCH(QStringList, tree);
    QFETCH(QStringList, send);
    QFETCH(QStringList, announced);
    QFETCH(QStringList, skipped);
    QFETCH(int, failures);
    QFETCH(QString, encoding);
    QVERIFY(platform::setWireEncoding(encoding));
    const auto systemEncoding = qScopeGuard([] { platform::setWireEncoding(QString()); });
    QTemporaryDir dir;
    const QByteArray root = QFile::encodeName(dir.path());
    for (const QString &entry : tree) {
        const bool fifo = entry.endsWith(u'|');
        const QString name = entry.section(u'>', 0, 0).remove(u'|');
        const QByteArray native = root + '/' + QFile::encodeName(name).replace("%x", "\xff");
        if (name == u"f/deep/") {
            // Folders of 200 bytes each, one beneath the other, past what a path can name.
            int at = ::open(QByteArray(root + "/f").constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            QByteArray level("deep");
            for (int i = 0; i < 22 && at >= 0; ++i) {
                ::mkdirat(at, level.constData(), 0700);
                const int next = ::openat(at, level.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
                ::close(at);
                at = next;
                level = QByteArray(200, 'd');
            }
            QVERIFY(at >= 0);
            ::close(::openat(at, "file", O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
            ::close(at);
        } else if (name.endsWith(u'/')) {
            QCOMPARE(::mkdir(native.constData(), 0700), 0);
        } else if (entry.contains(u'>')) {
            QCOMPARE(::symlink(QFile::encodeName(entry.section(u'>', 1)).constData(), native.constData()), 0);
        } else if (fifo) {
            QCOMPARE(::mkfifo(native.constData(), 0600), 0);
        } else {
            const int fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
            QVERIFY(fd >= 0 && ::write(fd, "abc", 3) == 3);
            ::close(fd);
        }
    }
    for (QString &path : send)
        path.replace(QStringLiteral("%1"), dir.path());
    const SendPlan plan = planSends(send, std::nullopt);
    QStringList planned, left;
    for (const SendItem &item : plan.items)
        planned << item.announced;
    for (const SendSkipped &s : plan.skipped)
        left << s.path + QStringLiteral(" (") + s.reason + u')';
    QCOMPARE(planned, announced);
    if (skipped.value(0).startsWith(u"path longer")) // the deep path itself is too long to compare
        QVERIFY2(left.size() == 1 && left[0].endsWith(skipped[0]), qPrintable(left.join(u'|')));
    else
        QCOMPARE(left, skipped.replaceInStrings(QStringLiteral("%1"), dir.path()));
    QCOMPARE(plan.failures, failures);
    const SendList list(send, std::nullopt);
    QCOMPARE(list.count(), announced.size());
    QCOMPARE(list.bytes(), 3 * announced.size());
}

// A receiver run by another user, in a folder everybody may write to: it says so, keeps what
// arrives unreadable to others until it is whole, and refuses a file it may not write.
void TestCli::receiverOfAnotherUserInASharedFolder()
{
    if (geteuid() != 0)
        QSKIP("running the receiver as another user needs root");
    QTemporaryDir dir;
    ::chmod(QFile::encodeName(dir.path()).constData(), 0777); // anyone may write, no sticky bit
    makeFile(dir.filePath("ro.txt"), 10);
    ::chmod(QFile::encodeName(dir.filePath("ro.txt")).constData(), 0444);
    const QByteArray before = digest(dir.filePath("ro.txt"));
    Run receiver;
    receiver.process->setChildProcessModifier([] {
        ::umask(022);
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(126);
    });
    const int port = startListener(receiver, {"--receive-dir", dir.path(), "--secure", "off"});
    if (port == 0 && receiver.finish() == 126)
        QSKIP("cannot run velmora-cli as nobody here");
    QVERIFY(port > 0);
    QVERIFY(receiver.error().contains(QStringLiteral("velmora-cli: %1 may be written by other users and has no "
                                                     "sticky bit: they can rename or replace what arrives there")
                                          .arg(dir.path())));
    QTcpSocket peer;
    peer.connectToHost(QHostAddress::LocalHost, quint16(port));
    QVERIFY(peer.waitForConnected(5000));
    QByteArray answers;
    const auto answered = [&](const QByteArray &expected) {
        return testing::waitFor([&] { return (answers += peer.readAll()) == expected; });
    };
    peer.write("FileDat:ro.txt|5|100|True");
    QVERIFY2(answered("SendErr:"), answers.constData());
    QCOMPARE(digest(dir.filePath("ro.txt")), before);
    peer.write("FileDat:new.txt|10|100|False");
    QVERIFY2(answered("SendErr:SendDat:"), answers.constData());
    peer.write("12345");
    QFileInfo part;
    QVERIFY(testing::waitFor([&] {
        const QFileInfoList parts = QDir(dir.path()).entryInfoList({".new.txt.velmora-*"}, QDir::Files | QDir::Hidden);
        part = parts.value(0);
        return !parts.isEmpty() && part.size() == 5;
    }));
    QCOMPARE(int(part.permissions() & 0x0777), 0x0600); // its owner's alone while it arrives
    peer.write("67890");
    QVERIFY2(answered("SendErr:SendDat:HereisIt"), answers.constData());
    QCOMPARE(QFileInfo(dir.filePath("new.txt")).permissions() & 0x0777, 0x0644); // as a new file is made
    peer.disconnectFromHost();
    QCOMPARE(receiver.finish(), 0);
}

// A peer that writes GBK, as a Chinese-language Windows system does: velmora-cli with
// --encoding GBK reads its message and its file with a Chinese name, and answers in GBK.
void TestCli::gbkPeerBothWays()
{
    QTemporaryDir dir;
    QStringEncoder gbk("GBK");
    // The peer sends.
    {
        Run receiver;
        const int port = startListener(receiver, {"--encoding", "GBK", "--once"});
        QVERIFY(port > 0);
        QTcpSocket peer;
        peer.connectToHost(QHostAddress::LocalHost, quint16(port));
        QVERIFY(peer.waitForConnected(5000));
        peer.write("Message:" + QByteArray(gbk.encode(QStringLiteral("你好，世界"))));
        QVERIFY(testing::waitFor([&] {
            return receiver.lines().contains(QStringLiteral("message: 你好，世界"));
        }));
        const QString target = dir.filePath(QStringLiteral("文件.txt"));
        peer.write("FileDat:" + QByteArray(gbk.encode(target)) + "|5|100|False");
        QByteArray answers;
        QVERIFY(testing::waitFor([&] { return (answers += peer.readAll()) == "SendDat:"; }));
        peer.write("12345");
        QVERIFY(testing::waitFor([&] { return (answers += peer.readAll()) == "SendDat:HereisIt"; }));
        QCOMPARE(receiver.finish(), 0);
        QVERIFY2(receiver.lines().contains(QStringLiteral("file: %1 (5 bytes)").arg(target)), receiver.out.constData());
        QFile stored(target);
        QVERIFY(stored.open(QIODevice::ReadOnly));
        QCOMPARE(stored.readAll(), QByteArray("12345"));
    }
    // velmora-cli sends.
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        makeFile(dir.filePath("src"), 5);
        const QString announced = dir.filePath(QStringLiteral("回信.txt"));
        Run sender;
        sender.start({"--connect", QStringLiteral("127.0.0.1:%1").arg(server.serverPort()), "--timeout", "60",
                      "--encoding", "GBK", "--say", "收到了", "--send", dir.filePath("src"), "--receive-path", announced});
        QVERIFY(server.waitForNewConnection(10000));
        QTcpSocket *peer = server.nextPendingConnection();
        const QByteArray expected = "Message:" + QByteArray(gbk.encode(QStringLiteral("收到了"))) + "FileDat:"
            + QByteArray(gbk.encode(announced)) + "|5|4194304|False";
        QByteArray got;
        QVERIFY(testing::waitFor([&] { return (got += peer->readAll()).size() >= expected.size(); }, 10000));
        QCOMPARE(got, expected);
        peer->write("SendDat:");
        QVERIFY(testing::waitFor([&] { return (got += peer->readAll()).size() >= expected.size() + 5; }));
        peer->write("HereisIt");
        QVERIFY(peer->waitForBytesWritten(5000));
        QCOMPARE(sender.finish(), 0);
        QVERIFY(sender.lines().contains(QStringLiteral("sent: %1 (5 bytes)").arg(dir.filePath("src"))));
    }
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
