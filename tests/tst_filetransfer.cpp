#include "controlfixtures.h"
#include "numberedfiles.h"
#include "testhelpers.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace sender;
using namespace testing;
using platform::NumberedFiles;
using platform::VariantFalse;

namespace {

QByteArray pattern(qsizetype size, int seed = 1)
{
    QByteArray b(size, '\0');
    for (qsizetype i = 0; i < size; ++i)
        b[i] = char((i * 31 + seed * 7 + i / 251) & 0xff);
    return b;
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(bytes), bytes.size());
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

bool idle(Peer &p) { return p->Busy() == VariantFalse; }

} // namespace

class TestFileTransfer : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void threeChunksWithProgress();
    void wholeChunksAndShortFiles_data();
    void wholeChunksAndShortFiles();
    void bothDirections();
    void emptyFileCreatedWithoutDataPhase();
    void presentTargetSameLength();
    void presentTargetOtherLength();
    void folderCreationOneLevel();
    void unusablePathsAnsweredSendErr_data();
    void unusablePathsAnsweredSendErr();
    void headerPathRules();
    void refusalsWithMessageBoxes();
    void missingFileFailsWithoutCreatingOrSending();
    void headerRefusedBySocketLeavesSendAnnounced();
    void stopSendOnSenderAndWatchdogOnReceiver();
    void stopSendOnReceiver();
    void peerCloseMidTransfer();
    void messageToSendingControlIsDropped();
    void exactBytesAgainstRawReceiver();
    void exactBytesAgainstRawSender();
    void malformedHeadersChangeNothing();
    void emptyAnnouncementWithPresentTarget();
    void emptySendAnsweredSendDatEnds();
    void crossingHeaders();
    void shrunkFileEndsWithError();

private:
    QString path(const QString &name) const { return dir->filePath(name); }
    /// Connects a (listening) and b, both with Interval 1.
    void pair(Peer &a, Peer &b);
    /// Connects a and b with Interval 0 and has a announce 3000 bytes in chunks of 1000; true once
    /// b accepted, so that only the test's own calls of the tick handler send data.
    bool startManualSend(Peer &a, Peer &b);
    std::unique_ptr<QTemporaryDir> dir;
};

void TestFileTransfer::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
}

void TestFileTransfer::pair(Peer &a, Peer &b)
{
    QVERIFY(connectControls(*a, *b));
    a->setInterval(1);
    b->setInterval(1);
    a.site.changed.clear();
    b.site.changed.clear();
}

bool TestFileTransfer::startManualSend(Peer &a, Peer &b)
{
    if (!connectControls(*a, *b))
        return false;
    writeFile(path("src"), pattern(3000));
    a->setBufferSize(1000);
    a->setReciveFilePath(path("dst"));
    a->SendFile(path("src"));
    return waitFor([&] { return a->sendTimer().Enabled(); });
}

void TestFileTransfer::threeChunksWithProgress()
{
    Peer a, b;
    QVERIFY(connectControls(*a, *b)); // Interval 0: the ticks below are the only ones
    const QByteArray data = pattern(2500);
    writeFile(path("src"), data);
    a->setBufferSize(1000);
    a->setReciveFilePath(path("dst"));
    QCOMPARE(a->SendFile(path("src")), false);
    QCOMPARE(a->transferState(), TransferState::Sending);
    QCOMPARE(a->fields().TotalBytes, 2500.0);
    QVERIFY(waitFor([&] { return a->sendTimer().Enabled(); }));
    QCOMPARE(b->transferState(), TransferState::Receiving);
    QCOMPARE(b->BufferSize(), 1000); // taken from the header
    QList<int> progress;
    QList<qsizetype> chunkSizes;
    for (int i = 0; i < 4; ++i) {
        a->sendTimerTick();
        progress << a->ProgressValue();
        chunkSizes << a->fields().ChunkBuffer.size();
    }
    QCOMPARE(progress, (QList<int>{40, 80, 100, 100}));
    QCOMPARE(chunkSizes, (QList<qsizetype>{1000, 1000, 500, 500})); // the fourth tick sent nothing
    QVERIFY(waitFor([&] { return idle(a) && idle(b); }));
    QCOMPARE(readFile(path("dst")), data);
    QCOMPARE(b->ProgressValue(), qint16(100));
    QCOMPARE(a->fields().TransferMode, qint16(0));
    QVERIFY(!a->sendTimer().Enabled());
    const auto files = b.events.of(FileSenderEvent::ReciveFile);
    QCOMPARE(files.size(), 1);
    QCOMPARE(files[0].args[0].toDouble(), 2500.0);
    QVERIFY(!NumberedFiles::IsOpen(b->fields().FileNumber));
    QVERIFY(!NumberedFiles::IsOpen(a->fields().FileNumber));
    QVERIFY(a.events.events.isEmpty());
}

void TestFileTransfer::wholeChunksAndShortFiles_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("bufferSize");
    QTest::newRow("n x BufferSize") << 3000 << 1000;
    QTest::newRow("shorter than BufferSize") << 10 << 1000;
    QTest::newRow("one byte") << 1 << 7;
    QTest::newRow("several MiB, odd chunk") << 3 * 1024 * 1024 + 17 << 65537;
}

void TestFileTransfer::wholeChunksAndShortFiles()
{
    QFETCH(int, size);
    QFETCH(int, bufferSize);
    Peer a, b;
    pair(a, b);
    const QByteArray data = pattern(size, size);
    writeFile(path("src"), data);
    a->setBufferSize(bufferSize);
    a->setReciveFilePath(path("dst"));
    a->SendFile(path("src"), false);
    QVERIFY(waitFor([&] { return idle(a) && b.events.of(FileSenderEvent::ReciveFile).size() == 1; }, 20000));
    QCOMPARE(readFile(path("dst")), data);
    QCOMPARE(a->ProgressValue(), qint16(100));
    QCOMPARE(a->fields().DoneBytes, double(size));
    QCOMPARE(b->fields().DoneBytes, double(size));
}

void TestFileTransfer::bothDirections()
{
    Peer a, b;
    pair(a, b);
    writeFile(path("fromA"), pattern(5000, 1));
    writeFile(path("fromB"), pattern(7000, 2));
    a->setReciveFilePath(path("atB"));
    a->SendFile(path("fromA"));
    QVERIFY(waitFor([&] { return idle(a) && !b.events.of(FileSenderEvent::ReciveFile).isEmpty(); }));
    QCOMPARE(b->ReciveFilePath(), path("atB")); // taken from the header
    a->setReciveFilePath(path("atA"));           // where A keeps what it receives
    b->setReciveFilePath(path("announcedByB"));
    b->SendFile(path("fromB"));
    QVERIFY(waitFor([&] { return idle(b) && !a.events.of(FileSenderEvent::ReciveFile).isEmpty(); }));
    QCOMPARE(readFile(path("atB")), pattern(5000, 1));
    QCOMPARE(readFile(path("atA")), pattern(7000, 2));
    QVERIFY(!QFile::exists(path("announcedByB")));
    QVERIFY(a.events.of(FileSenderEvent::Error).isEmpty());
    QVERIFY(b.events.of(FileSenderEvent::Error).isEmpty());
}

void TestFileTransfer::emptyFileCreatedWithoutDataPhase()
{
    Peer a, b;
    pair(a, b);
    writeFile(path("empty"), QByteArray());
    a->setReciveFilePath(path("sub/created"));
    QDir().mkpath(path("sub"));
    QSignalSpy busyNever(b.control.get(), &FileSender::ReciveFile);
    a->SendFile(path("empty"), true);
    QVERIFY(waitFor([&] { return idle(a) && busyNever.count() == 1; }));
    QVERIFY(QFile::exists(path("sub/created")));
    QCOMPARE(QFileInfo(path("sub/created")).size(), 0);
    QCOMPARE(b->transferState(), TransferState::Idle);
    QCOMPARE(b.events.of(FileSenderEvent::ReciveFile)[0].args[0].toDouble(), 0.0);
    QVERIFY(!NumberedFiles::IsOpen(b->fields().FileNumber));
}

void TestFileTransfer::presentTargetSameLength()
{
    Peer a, b;
    pair(a, b);
    writeFile(path("src"), pattern(4000, 1));
    writeFile(path("dst"), pattern(4000, 9)); // same length, other contents
    b->setReciveFilePath(path("dst"));
    a->SendFile(path("src"), false);
    QVERIFY(waitFor([&] { return idle(a) && b.events.of(FileSenderEvent::ReciveFile).size() == 1; }));
    QCOMPARE(readFile(path("dst")), pattern(4000, 9)); // skipped: only the length is compared
    QCOMPARE(a->ProgressValue(), qint16(0));           // nothing was sent
    a->SendFile(path("src"), true);
    QVERIFY(waitFor([&] { return idle(a) && b.events.of(FileSenderEvent::ReciveFile).size() == 2; }));
    QCOMPARE(readFile(path("dst")), pattern(4000, 1)); // received again with overwrite
}

void TestFileTransfer::presentTargetOtherLength()
{
    for (const int existing : {100, 9000}) {
        Peer a, b;
        pair(a, b);
        writeFile(path("src"), pattern(4000, 3));
        writeFile(path("dst"), pattern(existing, 4));
        b->setReciveFilePath(path("dst"));
        a->SendFile(path("src"), false);
        QVERIFY(waitFor([&] { return idle(a) && b.events.of(FileSenderEvent::ReciveFile).size() == 1; }));
        QCOMPARE(readFile(path("dst")), pattern(4000, 3)); // a longer old file is cut to the new length
    }
}

void TestFileTransfer::folderCreationOneLevel()
{
    Peer a, b;
    pair(a, b);
    writeFile(path("src"), pattern(300));
    a->setReciveFilePath(path("newfolder/dst"));
    a->SendFile(path("src"));
    QVERIFY(waitFor([&] { return idle(a) && !b.events.of(FileSenderEvent::ReciveFile).isEmpty(); }));
    QCOMPARE(readFile(path("newfolder/dst")), pattern(300));
}

void TestFileTransfer::unusablePathsAnsweredSendErr_data()
{
    QTest::addColumn<QString>("target");
    QTest::newRow("two missing levels") << "missing1/missing2/dst";
    QTest::newRow("relative") << "relative/dst";
    QTest::newRow("windows style") << "C:\\2.txt";
    QTest::newRow("a folder") << ".";
}

void TestFileTransfer::unusablePathsAnsweredSendErr()
{
    QFETCH(QString, target);
    Peer a, b;
    pair(a, b);
    writeFile(path("src"), pattern(300));
    const QString announced = target.contains(u'/') && !target.startsWith(u"relative") ? path(target)
                                : target == u"." ? dir->path() : target;
    a->setReciveFilePath(announced);
    bool busyDuringHandler = false;
    connect(a.control.get(), &FileSender::Error, a.control.get(),
            [&](qint16, QString &, qint32, const QString &, const QString &, qint32, platform::VariantBool &) {
                busyDuringHandler = a->Busy() != VariantFalse;
            });
    a->SendFile(path("src"));
    QVERIFY(waitFor([&] { return idle(a); }));
    const auto errors = a.events.of(FileSenderEvent::Error);
    QCOMPARE(errors.size(), 1);
    QCOMPARE(errors[0].args, (QVariantList{0, QStringLiteral("错误的文件路径。"), 0, QString(), QString(), 0, false}));
    QVERIFY(busyDuringHandler);
    QCOMPARE(b->transferState(), TransferState::Idle);
    QCOMPARE(b->fields().TotalBytes, 300.0); // the header's values were stored all the same
    QVERIFY(!QDir(path("missing1")).exists());
    QVERIFY(b.events.of(FileSenderEvent::ReciveFile).isEmpty());
}

void TestFileTransfer::headerPathRules()
{
    Peer a, b;
    pair(a, b);
    writeFile(path("src"), pattern(50));
    a->setReciveFilePath(path("first"));
    a->SendFile(path("src"));
    QVERIFY(waitFor([&] { return idle(a) && b.events.of(FileSenderEvent::ReciveFile).size() == 1; }));
    QCOMPARE(b->ReciveFilePath(), path("first"));      // taken from the header, no notification
    QVERIFY(b.site.changed.isEmpty());
    a->setReciveFilePath(path("second"));
    a->SendFile(path("src"), true);
    QVERIFY(waitFor([&] { return idle(a) && b.events.of(FileSenderEvent::ReciveFile).size() == 2; }));
    QVERIFY(!QFile::exists(path("second")));          // the first path was kept
    a->setReciveFilePath(QString());
    b->setReciveFilePath(path("hostpath"));
    a->SendFile(path("src"));
    QVERIFY(waitFor([&] { return idle(a) && b.events.of(FileSenderEvent::ReciveFile).size() == 3; }));
    QCOMPARE(readFile(path("hostpath")), pattern(50)); // an empty header path never replaces anything
}

void TestFileTransfer::refusalsWithMessageBoxes()
{
    Peer a, b;
    writeFile(path("src"), pattern(10));
    a->setBufferSize(0);
    QCOMPARE(a->SendFile(path("src")), false);
    a->setBufferSize(100);
    a->SendFile(path("src"));
    pair(a, b);
    b->setReciveFilePath(path("dst"));
    a->SendFile(path("src"));
    a->SendFile(path("src")); // still busy with the first
    QCOMPARE(a.site.boxes, (QStringList{"发送块大小不能为0。", "连接已关闭。", "忙"}));
    QCOMPARE(a.site.boxStyles, (QList<int>{32, 32, 32}));
    QCOMPARE(a.site.boxTitles, (QStringList{QString(), QString(), QString()}));
    QVERIFY(waitFor([&] { return idle(a); }));
    QCOMPARE(readFile(path("dst")), pattern(10));
}

void TestFileTransfer::missingFileFailsWithoutCreatingOrSending()
{
    Peer p;
    RawPeer raw;
    QVERIFY(raw.connectTo(*p));
    QVERIFY_AUTOMATION_ERROR(p->SendFile(path("typo")), platform::err::FileNotFound);
    QVERIFY(!QFile::exists(path("typo")));
    QCOMPARE(p->Busy(), VariantFalse);
    QTest::qWait(50);
    QVERIFY(raw.received().isEmpty());
    QVariantList args{path("typo")};
    const auto r = p->dispatch().invoke(dispid::SendFile, platform::InvokeKind::Method, args);
    QCOMPARE(r.error->number, int(platform::err::FileNotFound));
}

void TestFileTransfer::headerRefusedBySocketLeavesSendAnnounced()
{
    Peer p;
    writeFile(path("src"), pattern(10));
    p->Listen();
    QVERIFY_AUTOMATION_ERROR(p->SendFile(path("src")), platform::SocketComponent::WrongProtocolOrState);
    QCOMPARE(p->transferState(), TransferState::Sending);
    QCOMPARE(p->StopSend(), false);
    QCOMPARE(p->transferState(), TransferState::Idle);
    QVERIFY(!NumberedFiles::IsOpen(p->fields().FileNumber));
}

void TestFileTransfer::stopSendOnSenderAndWatchdogOnReceiver()
{
    Peer a, b;
    QVERIFY(startManualSend(a, b));
    a->sendTimerTick();
    QVERIFY(waitFor([&] { return b->fields().DoneBytes == 1000.0; }));
    a->StopSend();
    QCOMPARE(a->transferState(), TransferState::Idle);
    QCOMPARE(b->transferState(), TransferState::Receiving);
    const qint16 stalledTarget = b->fields().FileNumber;
    for (int i = 0; i < 5; ++i)
        b->timeCountTick();
    QCOMPARE(b->transferState(), TransferState::Receiving);
    b->timeCountTick(); // the sixth tick after the last arrival releases it
    QCOMPARE(b->transferState(), TransferState::Idle);
    QCOMPARE(b->fields().IdleTicks, qint16(0));
    QCOMPARE(b->ProgressValue(), qint16(33));
    QVERIFY(NumberedFiles::IsOpen(stalledTarget)); // left open until a new target is opened
    a->setInterval(1);
    a->SendFile(path("src"), true);
    QVERIFY(waitFor([&] { return idle(a) && !b.events.of(FileSenderEvent::ReciveFile).isEmpty(); }));
    QVERIFY(!NumberedFiles::IsOpen(stalledTarget));
    QCOMPARE(readFile(path("dst")), pattern(3000));
}

void TestFileTransfer::stopSendOnReceiver()
{
    Peer a, b;
    QVERIFY(startManualSend(a, b));
    a->sendTimerTick();
    QVERIFY(waitFor([&] { return b->fields().DoneBytes == 1000.0; }));
    b->StopSend();
    QCOMPARE(b->transferState(), TransferState::Idle);
    QVERIFY(!NumberedFiles::IsOpen(b->fields().FileNumber));
    a->sendTimerTick(); // reaches an idle control and is dropped there
    QTest::qWait(50);
    QCOMPARE(b->fields().DoneBytes, 1000.0);
    QCOMPARE(QFileInfo(path("dst")).size(), 1000);
    a->StopSend();
}

void TestFileTransfer::peerCloseMidTransfer()
{
    Peer a, b;
    QVERIFY(startManualSend(a, b));
    bool idleAtOnClose = false;
    connect(a.control.get(), &FileSender::OnClose, a.control.get(), [&] {
        idleAtOnClose = a->Busy() == VariantFalse && a->fields().TransferMode == 0;
    });
    const qint16 senderFile = a->fields().FileNumber;
    b->CloseAll();
    QVERIFY(waitFor([&] { return !a.events.of(FileSenderEvent::OnClose).isEmpty(); }));
    QVERIFY(idleAtOnClose);
    QVERIFY(!NumberedFiles::IsOpen(senderFile));
    QCOMPARE(a->State(), qint16(8));
}

void TestFileTransfer::messageToSendingControlIsDropped()
{
    Peer a, b;
    QVERIFY(connectControls(*a, *b));
    writeFile(path("src"), pattern(3000));
    a->setReciveFilePath(path("dst"));
    a->SendFile(path("src"));
    QVERIFY(waitFor([&] { return a->sendTimer().Enabled(); }));
    b->SendMessage(QStringLiteral("while you send"));
    QTest::qWait(100);
    QVERIFY(a.events.messages().isEmpty());
    QCOMPARE(a->transferState(), TransferState::Sending);
    a->StopSend();
}

void TestFileTransfer::exactBytesAgainstRawReceiver()
{
    Peer p;
    RawPeer raw;
    QVERIFY(raw.connectTo(*p));
    const QByteArray data = pattern(1234);
    writeFile(path("src"), data);
    p->setInterval(1);
    p->setBufferSize(500);
    p->setReciveFilePath(QStringLiteral("C:\\2.txt"));
    p->SendFile(path("src"), true);
    const QByteArray header("FileDat:C:\\2.txt|1234|500|True");
    QCOMPARE(raw.receive(header.size()), header);
    QTest::qWait(30);
    QCOMPARE(raw.received(), header); // nothing more until an answer
    raw.send("SendDat:");
    QCOMPARE(raw.receive(header.size() + 1234, 5000), header + data);
    QCOMPARE(p->ProgressValue(), qint16(100));
    raw.send("HereisIt");
    QVERIFY(waitFor([&] { return idle(p); }));
    QVERIFY(!p->sendTimer().Enabled());

    p->SendFile(path("src"));
    QVERIFY(waitFor([&] { return raw.received().size() == header.size() * 2 + 1234 + 1; }));
    QVERIFY(raw.received().endsWith("FileDat:C:\\2.txt|1234|500|False"));
    raw.send("SendErr:");
    QVERIFY(waitFor([&] { return idle(p); }));
    QCOMPARE(p.events.of(FileSenderEvent::Error).size(), 1);
}

void TestFileTransfer::exactBytesAgainstRawSender()
{
    Peer p;
    RawPeer raw;
    QVERIFY(raw.connectTo(*p));
    const QByteArray data = pattern(4096);
    raw.send("FileDat:" + path("dst").toUtf8() + "|4096|1024|False");
    QCOMPARE(raw.receive(8), QByteArray("SendDat:"));
    QCOMPARE(p->BufferSize(), 1024);
    raw.send(data.left(1000));
    QVERIFY(waitFor([&] { return p->fields().DoneBytes == 1000.0; }));
    QCOMPARE(p->ProgressValue(), qint16(24)); // 24.4
    // The last bytes and a message behind them in one arrival: the message is not lost.
    raw.send(data.mid(1000) + "Message:right behind");
    QCOMPARE(raw.receive(16), QByteArray("SendDat:HereisIt"));
    QVERIFY(waitFor([&] { return p.events.messages() == QStringList{"right behind"}; }));
    QCOMPARE(readFile(path("dst")), data);
    QCOMPARE(p.events.of(FileSenderEvent::ReciveFile).size(), 1);
    // Same file again, same length, no overwrite: answered at once.
    raw.send("FileDat:" + path("other").toUtf8() + "|4096|1024|False");
    QCOMPARE(raw.receive(24), QByteArray("SendDat:HereisItHereisIt"));
}

void TestFileTransfer::malformedHeadersChangeNothing()
{
    Peer p;
    RawPeer raw;
    QVERIFY(raw.connectTo(*p));
    const QList<QByteArray> bad{"FileDat:", "FileDat:/tmp/x|5|5", "FileDat:/tmp/x|five|5|True",
                                "FileDat:/tmp/x|-5|5|True", "FileDat:/tmp/x|5|many|True",
                                "FileDat:/tmp/x|5|99999999999|True", "FileDat:/tmp/x|2.5|5|True"};
    for (const QByteArray &h : bad) {
        raw.send(h);
        QTest::qWait(20);
    }
    QCOMPARE(raw.receive(8 * bad.size()), QByteArray("SendErr:").repeated(bad.size()));
    QCOMPARE(p->ReciveFilePath(), QString());
    QCOMPARE(p->BufferSize(), 100000);
    QCOMPARE(p->fields().TotalBytes, 0.0);
    QCOMPARE(p->transferState(), TransferState::Idle);
}

void TestFileTransfer::emptyAnnouncementWithPresentTarget()
{
    Peer p;
    RawPeer raw;
    QVERIFY(raw.connectTo(*p));
    writeFile(path("dst"), pattern(77));
    p->setReciveFilePath(path("dst"));
    raw.send("FileDat:|0|10|False");
    QCOMPARE(raw.receive(8), QByteArray("HereisIt"));
    QCOMPARE(QFileInfo(path("dst")).size(), 0); // made empty, not left waiting for bytes
    raw.send("FileDat:|0|10|True");
    QCOMPARE(raw.receive(16), QByteArray("HereisItHereisIt"));
    QCOMPARE(p->transferState(), TransferState::Idle);
    QCOMPARE(p.events.of(FileSenderEvent::ReciveFile).size(), 2);
}

void TestFileTransfer::emptySendAnsweredSendDatEnds()
{
    Peer p;
    RawPeer raw;
    QVERIFY(raw.connectTo(*p));
    writeFile(path("empty"), QByteArray());
    p->setInterval(1);
    p->SendFile(path("empty"), true);
    QCOMPARE(raw.receive(19), QByteArray("FileDat:|0|100000|True"));
    raw.send("SendDat:");
    QVERIFY(waitFor([&] { return idle(p); }));
    QVERIFY(!p->sendTimer().Enabled());
}

void TestFileTransfer::crossingHeaders()
{
    Peer a, b;
    pair(a, b);
    writeFile(path("src"), pattern(100));
    a->setReciveFilePath(path("x"));
    b->setReciveFilePath(path("y"));
    a->SendFile(path("src"));
    b->SendFile(path("src")); // before either header arrived
    QVERIFY(waitFor([&] {
        return idle(a) && idle(b) && !a.events.of(FileSenderEvent::Error).isEmpty()
            && !b.events.of(FileSenderEvent::Error).isEmpty();
    }));
    for (Peer *p : {&a, &b}) {
        const auto e = p->events.of(FileSenderEvent::Error);
        QCOMPARE(e.size(), 1);
        QCOMPARE(e[0].args[0].toInt(), 0);
        QCOMPARE(e[0].args[1].toString(), QStringLiteral("对方同时在发送文件，本次发送已取消。"));
    }
    QVERIFY(!QFile::exists(path("x")) && !QFile::exists(path("y")));
    // Both can go on afterwards.
    a->SendFile(path("src"));
    QVERIFY(waitFor([&] { return idle(a) && QFile::exists(path("y")); }));
}

void TestFileTransfer::shrunkFileEndsWithError()
{
    Peer a, b;
    QVERIFY(startManualSend(a, b));
    QVERIFY(QFile::resize(path("src"), 1500));
    a->sendTimerTick();
    a->sendTimerTick(); // 500 bytes: what is left of the shrunk file
    QCOMPARE(a->fields().DoneBytes, 1500.0);
    a->sendTimerTick(); // nothing left to read
    QCOMPARE(a->transferState(), TransferState::Idle);
    const auto e = a.events.of(FileSenderEvent::Error);
    QCOMPARE(e.size(), 1);
    QCOMPARE(e[0].args[0].toInt(), 62);
    QCOMPARE(e[0].args[1].toString(), QStringLiteral("Input past end of file"));
}

QTEST_MAIN(TestFileTransfer)
#include "tst_filetransfer.moc"
