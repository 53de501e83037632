#include "testhelpers.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

const QString Cli = QStringLiteral(VELMORA_CLI_PATH);

struct Run
{
    std::unique_ptr<QProcess> process = std::make_unique<QProcess>();
    QByteArray out;

    void start(const QStringList &args)
    {
        process->start(Cli, args);
        QVERIFY(process->waitForStarted());
    }
    int finish(int timeoutMs = 60000)
    {
        if (!process->waitForFinished(timeoutMs))
            return -1;
        out += process->readAllStandardOutput();
        return process->exitCode();
    }
    QStringList lines() const { return QString::fromUtf8(out).split(u'\n', Qt::SkipEmptyParts); }
    QString error() const { return QString::fromUtf8(process->readAllStandardError()); }
};

// Starts a listening run and returns the port it reports.
int startListener(Run &run, const QStringList &args, bool json = false)
{
    run.start(QStringList{"--listen", "0", "--timeout", "60"} + args + (json ? QStringList{"--json"} : QStringList{}));
    int port = 0;
    testing::waitFor([&] {
        run.out += run.process->readAllStandardOutput();
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

QByteArray digest(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash h(QCryptographicHash::Sha256);
    h.addData(&f);
    return h.result();
}

void makeFile(const QString &path, qint64 size)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QRandomGenerator rng{quint32(size)};
    QByteArray block(1 << 16, '\0');
    for (qint64 done = 0; done < size; done += block.size()) {
        for (qsizetype i = 0; i < block.size(); i += 4)
            *reinterpret_cast<quint32 *>(block.data() + i) = rng.generate();
        f.write(block.constData(), qMin<qint64>(block.size(), size - done));
    }
}

} // namespace

class TestCli : public QObject
{
    Q_OBJECT
private slots:
    void messagesFromConnectingSide();
    void messagesFromListeningSideAsJson();
    void filesBothWays();
    void refusedPathExitsOne();
    void usageConnectionErrorAndTimeout();
    void fileAboveTwoGiB();
};

void TestCli::messagesFromConnectingSide()
{
    Run listener, talker;
    const int port = startListener(listener, {});
    QVERIFY(port > 0);
    talker.start(connectArgs(port) + QStringList{"--say", "hello", "--say", "", "--say", "中文 | FileDat:x"});
    QCOMPARE(talker.finish(), 0);
    QCOMPARE(listener.finish(), 0);
    QCOMPARE(listener.lines(), (QStringList{QStringLiteral("listening: %1").arg(port), "connected: 127.0.0.1",
                                            "message: hello", "message: ", "message: 中文 | FileDat:x", "closed"}));
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
    sender.start(connectArgs(port) + QStringList{"--send", dir.filePath("src"), "--receive-path", "/nonexistent-a/b/c"});
    QCOMPARE(sender.finish(), 1);
    QVERIFY(sender.lines().contains(QStringLiteral("error 0: 错误的文件路径。")));
    QCOMPARE(receiver.finish(), 0);
    // A file to send that does not exist.
    Run receiver2, sender2;
    const int port2 = startListener(receiver2, {});
    sender2.start(connectArgs(port2) + QStringList{"--send", dir.filePath("typo")});
    QCOMPARE(sender2.finish(), 1);
    QVERIFY(sender2.lines().contains(QStringLiteral("error 53: File not found")));
    QVERIFY(!QFile::exists(dir.filePath("typo")));
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

    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 closedPort = probe.serverPort();
    probe.close();
    Run refused;
    refused.start({"--connect", QStringLiteral("127.0.0.1:%1").arg(closedPort), "--say", "x"});
    QCOMPARE(refused.finish(), 1);
    QVERIFY(refused.lines().contains("error 10061: Connection is forcefully rejected"));

    Run lonely;
    lonely.start({"--listen", "0", "--timeout", "1"});
    QCOMPARE(lonely.finish(), 3);
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

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
