// Fault injection with real velmora-cli processes: a peer killed at a random moment, a listener
// probed hundreds of times, a receiving disk that fills up.

#include "clirun.h"
#include "testhelpers.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

using testing::CliRun;

namespace {

const QString Cli = QStringLiteral(VELMORA_CLI_PATH);
constexpr qint64 FileSize = 32 * 1024 * 1024;

int startListener(CliRun &run, const QStringList &args)
{
    run.start(Cli, QStringList{"--listen", "0", "--timeout", "120"} + args);
    int port = 0;
    testing::waitFor([&] {
        for (const QString &line : run.lines())
            if (line.startsWith("listening: "))
                port = line.mid(11).toInt();
        return port > 0;
    }, 10000);
    return port;
}

// True while the main thread of process `pid` waits inside a write to a file.
bool blockedInWrite(qint64 pid)
{
    QFile syscall(QStringLiteral("/proc/%1/syscall").arg(pid));
    if (!syscall.open(QIODevice::ReadOnly))
        return false;
    const long number = syscall.readAll().split(' ').value(0).toLong();
    return number == SYS_splice || number == SYS_pwrite64 || number == SYS_write;
}

QStringList connectArgs(int port)
{
    return {"--connect", QStringLiteral("127.0.0.1:%1").arg(port), "--timeout", "120"};
}

} // namespace

class TestFaults : public QObject
{
    Q_OBJECT
private slots:
    void peerKilledMidTransfer_data();
    void peerKilledMidTransfer();
    void listenerSurvivesProbes();
    void fullDiskEndsBothSides_data();
    void fullDiskEndsBothSides();
    void stalledDiskStillEndsOnSignal();

private:
    QTemporaryDir m_dir;
    QByteArray m_sourceDigest;
};

void TestFaults::peerKilledMidTransfer_data()
{
    QTest::addColumn<bool>("killSender");
    for (int i = 1; i <= 10; ++i) {
        QTest::addRow("sender killed %d", i) << true;
        QTest::addRow("receiver killed %d", i) << false;
    }
}

void TestFaults::peerKilledMidTransfer()
{
    QFETCH(bool, killSender);
    const QString source = m_dir.filePath("source");
    if (!QFile::exists(source)) {
        testing::makeRandomFile(source, FileSize);
        m_sourceDigest = testing::fileDigest(source);
    }
    const QString target = m_dir.filePath(QStringLiteral("target-%1").arg(QTest::currentDataTag()).replace(u' ', u'-'));
    // The moment: once the target holds this many bytes (at least one, so the header has arrived).
    const qint64 killAt = 1 + QRandomGenerator::global()->bounded(FileSize - 1);
    qInfo("killing once %lld bytes have arrived", killAt);

    CliRun receiver, sender;
    const int port = startListener(receiver, {"--receive-path", target, "--once"});
    QVERIFY(port > 0);
    // Paced (1 MiB every 10 ms) so that every moment of the transfer can be hit.
    sender.start(Cli, connectArgs(port) + QStringList{"--send", source, "--chunk", "1048576", "--interval", "10"});
    testing::waitFor([&] {
        return testing::receivedSoFar(target) >= killAt || receiver.process->state() != QProcess::Running;
    }, 60000);
    CliRun &victim = killSender ? sender : receiver;
    CliRun &survivor = killSender ? receiver : sender;
    const bool killed = victim.process->state() == QProcess::Running;
    if (killed)
        ::kill(pid_t(victim.process->processId()), SIGKILL);
    victim.finish(10000);
    const int status = survivor.finish(10000);
    QVERIFY2(status >= 0, "the survivor did not end within 10 s of its peer");
    const QString said = survivor.lines().join(u'|');
    if (!killed || status == 0) {
        // The transfer ended before the kill: then it is whole.
        QCOMPARE(status, 0);
        QCOMPARE(testing::fileDigest(target), m_sourceDigest);
    } else {
        QCOMPARE(status, 1);
        if (killSender) {
            const QString incomplete = survivor.lines().filter("incomplete: ").value(0);
            QVERIFY2(incomplete.startsWith(QStringLiteral("incomplete: %1 (").arg(target))
                         && incomplete.endsWith(QStringLiteral(" of %1 bytes)").arg(FileSize)),
                     qPrintable(said));
        } else {
            QVERIFY2(!survivor.lines().filter(QStringLiteral("send failed: %1").arg(source)).isEmpty(), qPrintable(said));
        }
    }
    QCOMPARE(testing::fileDigest(source), m_sourceDigest);

    // Sent again without --overwrite: answered "already here" only when it is, whole and the same.
    CliRun receiver2, sender2;
    const int port2 = startListener(receiver2, {"--receive-path", target, "--once"});
    QVERIFY(port2 > 0);
    sender2.start(Cli, connectArgs(port2) + QStringList{"--send", source, "--chunk", "1048576"});
    QCOMPARE(sender2.finish(), 0);
    QCOMPARE(receiver2.finish(), 0);
    QCOMPARE(testing::fileDigest(target), m_sourceDigest);
    QCOMPARE(testing::fileDigest(source), m_sourceDigest);
    QFile::remove(target);
}

void TestFaults::listenerSurvivesProbes()
{
    const QString source = m_dir.filePath("probe-source");
    testing::makeRandomFile(source, 100000);
    const QString target = m_dir.filePath("probe-target");
    CliRun receiver;
    const int port = startListener(receiver, {"--receive-path", target, "--once"});
    QVERIFY(port > 0);
    const QString listening = QStringLiteral("listening: %1").arg(port);
    const int before = receiver.openDescriptors();
    for (int i = 1; i <= 300; ++i) { // connect, say nothing, leave
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, quint16(port));
        QVERIFY2(probe.waitForConnected(5000), qPrintable(QStringLiteral("probe %1").arg(i)));
        probe.disconnectFromHost();
        if (probe.state() != QAbstractSocket::UnconnectedState)
            probe.waitForDisconnected(1000);
        QVERIFY2(testing::waitFor([&] { return receiver.count(listening) == i + 1; }, 10000),
                 qPrintable(QStringLiteral("no listening again after probe %1").arg(i)));
    }
    const int after = receiver.openDescriptors();
    QVERIFY2(qAbs(after - before) <= 2, qPrintable(QStringLiteral("%1 descriptors before, %2 after").arg(before).arg(after)));
    CliRun sender;
    sender.start(Cli, connectArgs(port) + QStringList{"--send", source});
    QCOMPARE(sender.finish(), 0);
    QCOMPARE(receiver.finish(), 0);
    QCOMPARE(testing::fileDigest(target), testing::fileDigest(source));
}

void TestFaults::fullDiskEndsBothSides_data()
{
    QTest::addColumn<bool>("resuming");
    QTest::newRow("a new file") << false;
    QTest::newRow("a file a paired peer resumes") << true;
}

void TestFaults::fullDiskEndsBothSides()
{
    QFETCH(bool, resuming);
    const QString small = m_dir.filePath("small");
    QVERIFY(QDir().mkpath(small));
    if (geteuid() != 0 || QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=1m", "tmpfs", small}) != 0)
        QSKIP("cannot mount a 1 MiB tmpfs here (needs root)");
    const auto unmount = qScopeGuard([&] { QProcess::execute("umount", {"-l", small}); });
    const QString source = m_dir.filePath("big-source");
    testing::makeRandomFile(source, 4 * 1024 * 1024);
    const QString next = m_dir.filePath("next-source"); // there is room for it once the first is gone
    testing::makeRandomFile(next, 1000);
    CliRun receiver, sender;
    const QStringList security{"--secure", resuming ? "required" : "off"};
    if (resuming) {
        // A first try breaks with half of the room taken; the next one resumes and fills it.
        CliRun pairing[2], first[2];
        testing::pairRuns(Cli, pairing[0], pairing[1]);
        first[0].home = std::move(pairing[0].home);
        first[1].home = std::move(pairing[1].home);
        const int port = startListener(first[0], QStringList{"--receive-dir", small, "--once"} + security);
        first[1].start(Cli, connectArgs(port) + QStringList{"--send", source, "--chunk", "65536", "--interval", "10"}
                                + security);
        QVERIFY(testing::waitFor([&] { return testing::receivedSoFar(small + "/big-source") > 512 * 1024; }, 20000));
        first[1].process->kill();
        first[1].finish();
        first[0].finish();
        receiver.home = std::move(first[0].home);
        sender.home = std::move(first[1].home);
    }
    const int port = startListener(receiver, QStringList{"--receive-dir", small, "--once"} + security);
    QVERIFY(port > 0);
    sender.start(Cli, connectArgs(port) + QStringList{"--send", source, "--send", next, "--chunk", "100000"} + security);
    // Once the receiver has said why (it says so before it lets the receive go), it soon holds
    // nothing on the full disk any more.
    QVERIFY(testing::waitFor([&] { return !receiver.lines().filter("No space left on device").isEmpty(); }, 30000));
    QStringList held;
    QVERIFY2(testing::waitFor([&] {
        held = receiver.descriptorTargets().filter(QRegularExpression("^" + QRegularExpression::escape(small)));
        return held.isEmpty();
    }), qPrintable(held.join(u' ')));
    QCOMPARE(sender.finish(), 1);
    QCOMPARE(receiver.finish(), 1);
    // The receiver names the system's reason.
    QVERIFY2(receiver.lines().contains("error 75: Path/File access error: No space left on device"),
             qPrintable(receiver.lines().join(u'|')));
    const QString said = sender.lines().join(u'|');
    // "SendErr:" reaches the sender as the refusal it reports.
    QVERIFY2(sender.lines().contains(QStringLiteral("error 0: 错误的文件路径。")), qPrintable(said));
    QVERIFY2(!sender.lines().filter("send failed: " + source).isEmpty(), qPrintable(said));
    // What reached the disk is counted, the last partial write included: all of the 1 MiB. The
    // receiver ends there: a --once receiver takes no next file after a failed one.
    QVERIFY(receiver.lines().contains("incomplete: " + small + "/big-source (1048576 of 4194304 bytes)"));
    QVERIFY2(receiver.lines().filter("file: ").isEmpty(), qPrintable(receiver.lines().join(u'|')));
    QCOMPARE(sender.lines().filter("resumed: " + source + " from ").size(), resuming ? 1 : 0);
    // Nothing is kept on the full disk to continue: the room goes back.
    QCOMPARE(QDir(small).entryList(QDir::Files | QDir::Hidden), QStringList());
}

void TestFaults::stalledDiskStillEndsOnSignal()
{
    // A FUSE file system whose daemon is stopped: a write into it waits until the daemon goes on.
    const QString backing = m_dir.filePath("backing");
    const QString stalled = m_dir.filePath("stalled");
    QVERIFY(QDir().mkpath(backing) && QDir().mkpath(stalled));
    QProcess daemon;
    daemon.start("bindfs", {"-f", backing, stalled});
    struct stat folder = {}, parent = {};
    const auto mounted = [&] {
        return ::stat(QFile::encodeName(stalled).constData(), &folder) == 0
            && ::stat(QFile::encodeName(m_dir.path()).constData(), &parent) == 0 && folder.st_dev != parent.st_dev;
    };
    if (geteuid() != 0 || !daemon.waitForStarted() || !testing::waitFor(mounted, 10000))
        QSKIP("cannot mount a FUSE file system here (needs root, /dev/fuse and bindfs)");
    const auto unmount = qScopeGuard([&] {
        ::kill(pid_t(daemon.processId()), SIGCONT);
        QProcess::execute("umount", {"-l", stalled});
        testing::exitStatusOf(daemon, 10000);
    });
    const QString source = m_dir.filePath("stall-source");
    testing::makeRandomFile(source, 16 * 1024 * 1024);
    CliRun receiver, sender;
    const int port = startListener(receiver, {"--receive-path", stalled + "/in", "--once"});
    QVERIFY(port > 0);
    sender.start(Cli, connectArgs(port) + QStringList{"--send", source, "--chunk", "65536", "--interval", "10"});
    QVERIFY(testing::waitFor([&] { return testing::receivedSoFar(backing + "/in") > 0; }, 30000));
    ::kill(pid_t(daemon.processId()), SIGSTOP);
    const qint64 pid = receiver.process->processId();
    QVERIFY(testing::waitFor([&] { return blockedInWrite(pid); }, 30000));
    // The event loop cannot see the signal while the write waits; the run is ended all the same.
    // (The system holds a process that ends until its files are closed, which on this file
    // system waits for the daemon.)
    ::kill(pid_t(pid), SIGTERM);
    QByteArray said;
    QVERIFY(testing::waitFor([&] { return (said += receiver.process->readAllStandardError()).contains("ended by signal 15"); },
                             15000));
    ::kill(pid_t(daemon.processId()), SIGCONT);
    QCOMPARE(receiver.finish(10000), 143);
    // The hidden file it was receiving into went with it.
    QCOMPARE(QDir(backing).entryList(QDir::Files | QDir::Hidden), QStringList());
    sender.finish(30000);
}

QTEST_GUILESS_MAIN(TestFaults)
#include "tst_faults.moc"
