#include "controlfixtures.h"
#include "keptparts.h"
#include "sentcheckpoints.h"
#include "numberedfiles.h"
#include "testhelpers.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <functional>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <ctime>
#include <unistd.h>

using namespace sender;
using namespace testing;
using platform::NumberedFiles;
using platform::VariantFalse;

namespace {

using testing::readFile;

bool idle(Peer &p) { return p->Busy() == VariantFalse; }

QStringList errorTexts(const Peer &p)
{
    QStringList out;
    for (const RecordedEvent &e : p.events.of(FileSenderEvent::Error))
        out.append(e.args.value(1).toString());
    return out;
}

// Runs `count` ticks of the once-a-second counter by hand.
void tick(Peer &p, int count)
{
    for (int i = 0; i < count; ++i)
        p->timeCountTick();
}

const QString ReceiveStalledStart = QStringLiteral("对方超过5秒没有发送数据，接收已中断");

// A local user who may write in the receive folder, doing the same thing again and again on a
// thread of its own while the test receives.
class LocalUser
{
public:
    explicit LocalUser(std::function<void()> act)
        : m_thread([this, act = std::move(act)] {
            while (!m_stop)
                act();
        })
    {
    }
    ~LocalUser()
    {
        m_stop = true;
        m_thread.join();
    }

private:
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

} // namespace

class TestFileTransfer : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void keptFilesAreSwept_data();
    void keptFilesAreSwept();
    void keptDigestsCountWhileTheFileIsUnchanged_data();
    void keptDigestsCountWhileTheFileIsUnchanged();
    void threeChunksWithProgress_data();
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
    void unsendableFilesFailWithoutSending_data();
    void unsendableFilesFailWithoutSending();
    void changedSourceFailsTheSend();
    void headerRefusedBySocketLeavesSendAnnounced();
    void stopSendOnSenderAndWatchdogOnReceiver();
    void stopSendOnReceiver();
    void interruptedReceiveLeavesTheTargetAsItWas_data();
    void interruptedReceiveLeavesTheTargetAsItWas();
    void peerCloseMidTransfer_data();
    void peerCloseMidTransfer();
    void splitHeaders_data();
    void splitHeaders();
    void senderGivesUpOnWrongOrMissingAnswers_data();
    void senderGivesUpOnWrongOrMissingAnswers();
    void messageToSendingControlIsDropped();
    void exactBytesAgainstRawReceiver();
    void exactBytesAgainstRawSender();
    void heldOffers_data();
    void heldOffers();
    void malformedHeadersChangeNothing();
    void emptyAnnouncementWithPresentTarget();
    void emptySendAnsweredSendDatEnds();
    void crossingHeaders();
    void failuresInATickEndTheSend_data();
    void failuresInATickEndTheSend();
    void fileCutShortUnderAQueuedChunkEndsTheSend();
    void localUserCannotLeadAReceiveOut_data();
    void localUserCannotLeadAReceiveOut();

private:
    QString path(const QString &name) const { return dir->filePath(name); }
    /// The hidden files receives write into, left in the folder.
    QStringList partFiles() const
    {
        return QDir(dir->path()).entryList({QStringLiteral(".*.velmora-*")}, QDir::Files | QDir::Hidden);
    }
    /// Connects a (listening) and b, both with Interval 1.
    void pair(Peer &a, Peer &b);
    /// Connects a and b with Interval 0 and has a announce 3000 bytes in chunks of 1000; true once
    /// b accepted, so that only the test's own calls of the tick handler send data.
    bool startManualSend(Peer &a, Peer &b, bool overwrite = false);
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

bool TestFileTransfer::startManualSend(Peer &a, Peer &b, bool overwrite)
{
    if (!connectControls(*a, *b) || !writeFile(path("src"), pattern(3000)))
        return false;
    a->setBufferSize(1000);
    a->setReciveFilePath(path("dst"));
    a->SendFile(path("src"), overwrite);
    return waitFor([&] { return a->sendTimer().Enabled(); });
}

void TestFileTransfer::threeChunksWithProgress_data()
{
    QTest::addColumn<int>("chunk");
    QTest::addColumn<QList<qsizetype>>("buffered"); // ChunkBuffer's size after each tick
    QTest::newRow("chunks of 1000") << 1000 << QList<qsizetype>{1000, 1000, 500, 500};
    // Chunks above 4 MiB go out in slices; progress still moves once per chunk, at its tick.
    QTest::newRow("chunks of 10 MiB") << 10 * 1024 * 1024 << QList<qsizetype>{4 << 20, 4 << 20, 4 << 20, 4 << 20};
}

void TestFileTransfer::threeChunksWithProgress()
{
    QFETCH(int, chunk);
    QFETCH(QList<qsizetype>, buffered);
    Peer a, b;
    QVERIFY(connectControls(*a, *b)); // Interval 0: the ticks below are the only ones
    const QByteArray data = pattern(chunk * 5 / 2);
    QVERIFY(writeFile(path("src"), data));
    a->setBufferSize(chunk);
    a->setReciveFilePath(path("dst"));
    QCOMPARE(a->SendFile(path("src")), false);
    QCOMPARE(a->transferState(), TransferState::Sending);
    QCOMPARE(a->fields().TotalBytes, double(data.size()));
    QVERIFY(waitFor([&] { return a->sendTimer().Enabled(); }));
    QCOMPARE(b->transferState(), TransferState::Receiving);
    QCOMPARE(b->BufferSize(), chunk); // taken from the header
    QList<int> progress;
    QList<qsizetype> chunkSizes;
    for (int i = 0; i < 4; ++i) {
        a->sendTimerTick();
        progress << a->ProgressValue();
        chunkSizes << a->fields().ChunkBuffer.size();
        if (i < 2) // the chunk is out before the next tick; the last two ticks come back to back
            QVERIFY(waitFor([&] { return b->fields().DoneBytes == a->fields().DoneBytes; }));
    }
    QCOMPARE(progress, (QList<int>{40, 80, 100, 100}));
    QCOMPARE(chunkSizes, buffered); // the fourth tick sent nothing
    QVERIFY(waitFor([&] { return idle(a) && idle(b); }));
    QCOMPARE(readFile(path("dst")), data);
    QCOMPARE(b->ProgressValue(), qint16(100));
    QCOMPARE(a->fields().TransferMode, qint16(0));
    QVERIFY(!a->sendTimer().Enabled());
    const auto files = b.events.of(FileSenderEvent::ReciveFile);
    QCOMPARE(files.size(), 1);
    QCOMPARE(files[0].args[0].toDouble(), double(data.size()));
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
    QTest::newRow("chunk far above a 4 MiB slice") << 10 * 1024 * 1024 + 3 << 2147483647;
}

void TestFileTransfer::wholeChunksAndShortFiles()
{
    QFETCH(int, size);
    QFETCH(int, bufferSize);
    Peer a, b;
    pair(a, b);
    const QByteArray data = pattern(size, size);
    QVERIFY(writeFile(path("src"), data));
    a->setBufferSize(bufferSize);
    a->setReciveFilePath(path("dst"));
    a->SendFile(path("src"), false);
    QVERIFY(waitFor([&] { return idle(a) && b.events.of(FileSenderEvent::ReciveFile).size() == 1; }, 20000));
    QCOMPARE(readFile(path("dst")), data);
    QCOMPARE(a->ProgressValue(), qint16(100));
    QCOMPARE(a->fields().DoneBytes, double(size));
    QCOMPARE(b->fields().DoneBytes, double(size));
    // A huge chunk goes out in slices: the buffer never holds more than one.
    QVERIFY(a->fields().ChunkBuffer.capacity() <= qMin(bufferSize, 4 * 1024 * 1024) + 64);
}

void TestFileTransfer::bothDirections()
{
    Peer a, b;
    pair(a, b);
    QVERIFY(writeFile(path("fromA"), pattern(5000, 1)));
    QVERIFY(writeFile(path("fromB"), pattern(7000, 2)));
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
    QVERIFY(writeFile(path("empty"), QByteArray()));
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
    QVERIFY(writeFile(path("src"), pattern(4000, 1)));
    QVERIFY(writeFile(path("dst"), pattern(4000, 9))); // same length, other contents
    QVERIFY(QFile::setPermissions(path("dst"), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
    const auto permissions = QFile::permissions(path("dst"));
    b->setReciveFilePath(path("dst"));
    a->SendFile(path("src"), false);
    QVERIFY(waitFor([&] { return idle(a) && b.events.of(FileSenderEvent::ReciveFile).size() == 1; }));
    QCOMPARE(readFile(path("dst")), pattern(4000, 9)); // skipped: only the length is compared
    QCOMPARE(a->ProgressValue(), qint16(0));           // nothing was sent
    QCOMPARE(b->fields().DoneBytes, 4000.0);           // all of it is there
    a->SendFile(path("src"), true);
    QVERIFY(waitFor([&] { return idle(a) && b.events.of(FileSenderEvent::ReciveFile).size() == 2; }));
    QCOMPARE(readFile(path("dst")), pattern(4000, 1)); // received again with overwrite
    QCOMPARE(QFile::permissions(path("dst")), permissions); // the replaced copy's permissions
    // The very file being sent, overwritten by its own copy, stays whole.
    b->setReciveFilePath(path("src"));
    a->SendFile(path("src"), true);
    QVERIFY(waitFor([&] { return idle(a) && b.events.of(FileSenderEvent::ReciveFile).size() == 3; }));
    QCOMPARE(readFile(path("src")), pattern(4000, 1));
    // An empty file next: nothing of the transfer before stays counted.
    QVERIFY(writeFile(path("empty"), QByteArray()));
    a->SendFile(path("empty"), true);
    QVERIFY(waitFor([&] { return idle(a) && b.events.of(FileSenderEvent::ReciveFile).size() == 4; }));
    QCOMPARE(b->fields().TotalBytes, 0.0);
    QCOMPARE(b->fields().DoneBytes, 0.0);
}

void TestFileTransfer::presentTargetOtherLength()
{
    for (const int existing : {100, 9000}) {
        Peer a, b;
        pair(a, b);
        QVERIFY(writeFile(path("src"), pattern(4000, 3)));
        QVERIFY(writeFile(path("dst"), pattern(existing, 4)));
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
    QVERIFY(writeFile(path("src"), pattern(300)));
    // A name of 240 bytes: its hidden file's name must be cut to fit the file system's 255.
    const QString longName = QStringLiteral("newfolder/") + QString(80, QChar(0x4E2D));
    a->setReciveFilePath(path(longName));
    a->SendFile(path("src"));
    QVERIFY(waitFor([&] { return idle(a) && !b.events.of(FileSenderEvent::ReciveFile).isEmpty(); }));
    QCOMPARE(readFile(path(longName)), pattern(300));
    QVERIFY(a.events.events.isEmpty());
}

void TestFileTransfer::unusablePathsAnsweredSendErr_data()
{
    // %1 stands for the test's folder.
    QTest::addColumn<QString>("target");
    QTest::newRow("two missing levels") << "%1/missing1/missing2/dst";
    QTest::newRow("relative") << "relative/dst";
    QTest::newRow("windows style") << "C:\\2.txt";
    QTest::newRow("a folder") << "%1";
    QTest::newRow("a FIFO") << "%1/fifo";
    QTest::newRow("a device") << "/dev/null";
    QTest::newRow("a NUL in the name") << QStringLiteral("%1/nul") + QChar(0) + QStringLiteral("byte.bin");
    QTest::newRow("a name longer than the file system takes") << QStringLiteral("%1/") + QString(256, u'n');
}

void TestFileTransfer::unusablePathsAnsweredSendErr()
{
    QFETCH(QString, target);
    Peer a, b;
    pair(a, b);
    QVERIFY(writeFile(path("src"), pattern(300)));
    QCOMPARE(::mkfifo(QFile::encodeName(path("fifo")).constData(), 0600), 0);
    const QString announced = QString(target).replace(QStringLiteral("%1"), dir->path());
    a->setReciveFilePath(announced);
    a->setBufferSize(4321);
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
    // A refused header's size and block size are taken; its path is not.
    QCOMPARE(b->fields().TotalBytes, 300.0);
    QCOMPARE(b->BufferSize(), 4321);
    QCOMPARE(b->ReciveFilePath(), QString());
    QVERIFY(!QDir(path("missing1")).exists());
    QVERIFY(!QFile::exists(path("nul")));
    QCOMPARE(partFiles(), QStringList());
    QVERIFY(b.events.of(FileSenderEvent::ReciveFile).isEmpty());
}

void TestFileTransfer::headerPathRules()
{
    Peer a, b;
    pair(a, b);
    QVERIFY(writeFile(path("src"), pattern(50)));
    a->setReciveFilePath(path("first"));
    a->SendFile(path("src"));
    QVERIFY(waitFor([&] { return idle(a) && b.events.of(FileSenderEvent::ReciveFile).size() == 1; }));
    QCOMPARE(b->ReciveFilePath(), path("first"));      // taken from the header, no notification
    QVERIFY(b.site.changed.isEmpty());
    // A refused header (a relative path) leaves the taken path as it was and spoils nothing.
    a->setReciveFilePath(QStringLiteral("relative/x"));
    a->SendFile(path("src"));
    QVERIFY(waitFor([&] { return idle(a) && a.events.of(FileSenderEvent::Error).size() == 1; }));
    QCOMPARE(b->ReciveFilePath(), path("first"));
    // A later header's path replaces a path taken from a header: the first file stays as it is.
    QVERIFY(writeFile(path("src2"), pattern(50, 2)));
    a->setReciveFilePath(path("second"));
    a->SendFile(path("src2"));
    QVERIFY(waitFor([&] { return idle(a) && b.events.of(FileSenderEvent::ReciveFile).size() == 2; }));
    QCOMPARE(readFile(path("second")), pattern(50, 2));
    QCOMPARE(readFile(path("first")), pattern(50));
    QCOMPARE(b->ReciveFilePath(), path("second"));
    a->setReciveFilePath(QString());
    a->SendFile(path("src"), true);
    QVERIFY(waitFor([&] { return idle(a) && b.events.of(FileSenderEvent::ReciveFile).size() == 3; }));
    QCOMPARE(readFile(path("second")), pattern(50)); // an empty header path never replaces anything
    // A path the host set wins over every header and is never replaced.
    b->setReciveFilePath(path("hostpath"));
    qsizetype received = 3;
    for (const QString &announced : {QString(), path("third")}) {
        a->setReciveFilePath(announced);
        a->SendFile(path("src"), true);
        ++received;
        QVERIFY(waitFor([&] { return idle(a) && b.events.of(FileSenderEvent::ReciveFile).size() == received; }));
        QCOMPARE(readFile(path("hostpath")), pattern(50));
        QCOMPARE(b->ReciveFilePath(), path("hostpath"));
    }
    QVERIFY(!QFile::exists(path("third")));
}

void TestFileTransfer::refusalsWithMessageBoxes()
{
    Peer a, b;
    QVERIFY(writeFile(path("src"), pattern(10)));
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

void TestFileTransfer::unsendableFilesFailWithoutSending_data()
{
    // %1 stands for the test's folder.
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("announced");
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("description");
    QTest::newRow("a file that does not exist") << "%1/typo" << "" << 53 << "File not found";
    QTest::newRow("a \"|\" in the path announced") << "%1/src" << "/in|out" << 52 << "Bad file name or number";
    QTest::newRow("a FIFO") << "%1/fifo" << "" << 75 << "Path/File access error: not a regular file";
    QTest::newRow("no length, but content") << "/proc/self/status" << "" << 75
                                            << "Path/File access error: the file reports a length of 0 but is not empty";
}

void TestFileTransfer::unsendableFilesFailWithoutSending()
{
    QFETCH(QString, file);
    QFETCH(QString, announced);
    QFETCH(int, number);
    QFETCH(QString, description);
    Peer p;
    RawPeer raw;
    QVERIFY(raw.connectTo(*p));
    QVERIFY(writeFile(path("src"), pattern(10)));
    QCOMPARE(::mkfifo(QFile::encodeName(path("fifo")).constData(), 0600), 0);
    file.replace(QStringLiteral("%1"), dir->path());
    p->setReciveFilePath(announced);
    QVariantList args{file};
    const auto r = p->dispatch().invoke(dispid::SendFile, platform::InvokeKind::Method, args);
    QCOMPARE(r.error->number, number);
    QCOMPARE(r.error->description, description);
    QVERIFY(!QFile::exists(path("typo")));
    QCOMPARE(p->Busy(), VariantFalse);
    QCOMPARE(NumberedFiles::OpenCount(), 0);
    QVERIFY(raw.settle(*p));
    QVERIFY(raw.received().isEmpty());
}

void TestFileTransfer::changedSourceFailsTheSend()
{
    Peer a, b;
    QVERIFY(startManualSend(a, b));
    a->sendTimerTick();
    a->sendTimerTick();
    QVERIFY(writeFile(path("src"), pattern(3000, 5))); // the same length, other bytes
    a->sendTimerTick();
    QVERIFY(waitFor([&] { return idle(a) && idle(b); }));
    QCOMPARE(errorTexts(a), QStringList{"Path/File access error: the source changed during the send"});
    QCOMPARE(a.events.of(FileSenderEvent::Error)[0].args[0].toInt(), 75);
}

void TestFileTransfer::headerRefusedBySocketLeavesSendAnnounced()
{
    Peer p;
    QVERIFY(writeFile(path("src"), pattern(10)));
    p->Listen();
    QVERIFY_AUTOMATION_ERROR(p->SendFile(path("src")), platform::SocketComponent::WrongProtocolOrState);
    tick(p, 40); // without a peer, nobody is waited for
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
    // The host is told, with what arrived and what was announced.
    QCOMPARE(errorTexts(b), QStringList{ReceiveStalledStart + QStringLiteral("（已收到 1000 字节，共 3000 字节）。")});
    QCOMPARE(b.events.of(FileSenderEvent::Error)[0].args[0].toInt(), 0);
    // What arrived is dropped: no target, nothing hidden left behind.
    QVERIFY(!NumberedFiles::IsOpen(stalledTarget));
    QVERIFY(!QFile::exists(path("dst")));
    QCOMPARE(partFiles(), QStringList());
    // The control owns no number it did not open: another owner's file survives its clean-ups.
    const qint16 other = NumberedFiles::FreeFile();
    NumberedFiles::Open(other, path("others"), platform::FileAccess::ReadWrite);
    b->StopSend();
    a->setInterval(1);
    a->SendFile(path("src"), true);
    QVERIFY(waitFor([&] { return idle(a) && !b.events.of(FileSenderEvent::ReciveFile).isEmpty(); }));
    QCOMPARE(readFile(path("dst")), pattern(3000));
    b->CloseAll();
    QVERIFY(NumberedFiles::IsOpen(other));
    NumberedFiles::Close(other);
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
    QVERIFY(settle(*a, *b));
    QCOMPARE(b->fields().DoneBytes, 1000.0);
    QVERIFY(!QFile::exists(path("dst")));
    QCOMPARE(partFiles(), QStringList());
    a->StopSend();
}

void TestFileTransfer::interruptedReceiveLeavesTheTargetAsItWas_data()
{
    QTest::addColumn<QString>("interruption");
    QTest::newRow("StopSend on the receiver") << "stop";
    QTest::newRow("the sender closes") << "close";
    QTest::newRow("the watchdog") << "watchdog";
}

void TestFileTransfer::interruptedReceiveLeavesTheTargetAsItWas()
{
    QFETCH(QString, interruption);
    Peer a, b;
    QVERIFY(writeFile(path("dst"), pattern(2000, 9))); // an old copy
    QVERIFY(startManualSend(a, b, true));
    a->sendTimerTick();
    QVERIFY(waitFor([&] { return b->fields().DoneBytes == 1000.0; }));
    if (interruption == u"stop") {
        b->StopSend();
    } else if (interruption == u"close") {
        a->CloseAll();
        QVERIFY(waitFor([&] { return b->State() == 8; }));
        b->CloseAll();
        QVERIFY(connectControls(*a, *b));
    } else {
        tick(b, 6);
    }
    QVERIFY(idle(b));
    a->StopSend();
    // The old copy is whole; what arrived is gone.
    QCOMPARE(readFile(path("dst")), pattern(2000, 9));
    QCOMPARE(partFiles(), QStringList());
    a->setInterval(1);
    a->SendFile(path("src"), false);
    QVERIFY(waitFor([&] { return idle(a) && b.events.of(FileSenderEvent::ReciveFile).size() == 1; }));
    QCOMPARE(readFile(path("dst")), pattern(3000));
}

void TestFileTransfer::peerCloseMidTransfer_data()
{
    QTest::addColumn<bool>("senderCloses");
    QTest::newRow("the sender calls CloseAll") << true;
    QTest::newRow("the receiver calls CloseAll") << false;
}

void TestFileTransfer::peerCloseMidTransfer()
{
    QFETCH(bool, senderCloses);
    Peer a, b;
    QVERIFY(startManualSend(a, b));
    a->sendTimerTick();
    QVERIFY(waitFor([&] { return b->fields().DoneBytes == 1000.0; }));
    Peer &closer = senderCloses ? a : b;
    Peer &other = senderCloses ? b : a;
    bool idleAtOnClose = false;
    connect(other.control.get(), &FileSender::OnClose, other.control.get(), [&] {
        idleAtOnClose = other->Busy() == VariantFalse && other->fields().TransferMode == 0;
    });
    const qint16 closerFile = closer->fields().FileNumber;
    const qint16 otherFile = other->fields().FileNumber;
    closer->CloseAll();
    QCOMPARE(closer->transferState(), TransferState::Idle);
    QCOMPARE(closer->State(), qint16(0));
    QVERIFY(!NumberedFiles::IsOpen(closerFile));
    QVERIFY(waitFor([&] { return !other.events.of(FileSenderEvent::OnClose).isEmpty(); }));
    QVERIFY(idleAtOnClose);
    QVERIFY(!NumberedFiles::IsOpen(otherFile));
    QCOMPARE(other->State(), qint16(8));
    QVERIFY(!QFile::exists(path("dst")));
    QCOMPARE(partFiles(), QStringList());
}

void TestFileTransfer::splitHeaders_data()
{
    // Each piece is one arrival; %1 stands for the target's path.
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<QByteArray>("answers");
    QTest::addColumn<QStringList>("messages");
    const QByteArray data("0123456789");
    const QByteArray ok("SendDat:HereisIt");
    QTest::newRow("inside the overwrite word") << QList<QByteArray>{"FileDat:%1|10|100000|Fa", "lse", data} << ok
                                               << QStringList();
    QTest::newRow("before the fourth field") << QList<QByteArray>{"FileDat:%1|10|100000|", "True", data} << ok
                                             << QStringList();
    QTest::newRow("inside the size") << QList<QByteArray>{"FileDat:%1|1", "0|100000|False", data} << ok
                                     << QStringList();
    QTest::newRow("right after the tag") << QList<QByteArray>{"FileDat:", "%1|10|100000|False", data} << ok
                                         << QStringList();
    QTest::newRow("in three pieces") << QList<QByteArray>{"FileDat:%1", "|10|100", "000|F", "alse", data} << ok
                                     << QStringList();
    QTest::newRow("a new header's tag comes split instead of the rest")
        << QList<QByteArray>{"FileDat:%1|10|100000|Fa", "File", "Dat:%1|10|100000|False", data}
        << QByteArray("SendErr:SendDat:HereisIt") << QStringList();
    QTest::newRow("the start of False, no tag") << QList<QByteArray>{"FileDat:%1|10|100000|", "F", "alse", data} << ok
                                                << QStringList();
    QTest::newRow("a tag comes instead of the rest")
        << QList<QByteArray>{"FileDat:%1|10|100000|Fa", "Message:next"} << QByteArray("SendErr:")
        << QStringList{"next"};
    QTest::newRow("grows past 8 KiB") << QList<QByteArray>{"FileDat:%1" + QByteArray(9000, 'a')}
                                      << QByteArray("SendErr:") << QStringList();
    QTest::newRow("the rest never comes") << QList<QByteArray>{"FileDat:%1|10|100000|Tr"}
                                          << QByteArray("SendErr:") << QStringList();
    // A piece every 700 ms does not keep it waiting: 5 s count from the first piece.
    QTest::newRow("the rest trickles in") << QList<QByteArray>{"FileDat:%1", "/", "a", "b", "c", "d", "e", "f", "g", "h", "i", "j"}
                                          << QByteArray("SendErr:") << QStringList();
}

void TestFileTransfer::splitHeaders()
{
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(QByteArray, answers);
    QFETCH(QStringList, messages);
    Peer p;
    RawPeer raw;
    QVERIFY(raw.connectTo(*p));
    const bool trickle = pieces.size() > 5;
    for (QByteArray piece : pieces) {
        raw.send(piece.replace("%1", path("dst").toUtf8()));
        QVERIFY(raw.settle(*p)); // each piece an arrival of its own
        if (trickle)
            QTest::qWait(700);
    }
    if (trickle) // refused while the pieces still came
        QCOMPARE(raw.received(), answers);
    QCOMPARE(raw.receive(answers.size(), 10000), answers);
    QVERIFY(waitFor([&] { return p.events.messages() == messages; }));
    QVERIFY(raw.settle(*p));
    QCOMPARE(raw.received(), answers);
    if (answers.endsWith("HereisIt")) {
        QCOMPARE(readFile(path("dst")), QByteArray("0123456789"));
        QCOMPARE(p.events.of(FileSenderEvent::ReciveFile).size(), 1);
    } else {
        QVERIFY(!QFile::exists(path("dst")));
        QCOMPARE(p->fields().TotalBytes, 0.0);
    }
    QCOMPARE(p->transferState(), TransferState::Idle);
}

void TestFileTransfer::senderGivesUpOnWrongOrMissingAnswers_data()
{
    // The raw receiver answers the header with `answer` (nothing when empty), the sender sends
    // with `interval`, then waits `ticks` ticks (the real once-a-second ticks may add to them),
    // with a message from the peer before each when `chatty`; an empty `error` means it is
    // still sending.
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<int>("interval");
    QTest::addColumn<QByteArray>("later");
    QTest::addColumn<int>("ticks");
    QTest::addColumn<bool>("chatty");
    QTest::addColumn<QString>("error");
    const QString early = QStringLiteral("对方在文件发送完之前确认已收到，本次发送失败。");
    const QString silent = QStringLiteral("对方超过30秒没有应答，本次发送已取消。");
    QTest::newRow("HereisIt before every byte was sent") << QByteArray("SendDat:") << 0 << QByteArray("HereisIt") << 0
                                                         << false << early;
    QTest::newRow("no answer to the header") << QByteArray() << 0 << QByteArray() << 31 << false << silent;
    QTest::newRow("every byte taken, no HereisIt") << QByteArray("SendDat:") << 1 << QByteArray() << 31 << false
                                                   << silent;
    QTest::newRow("messages are no answer") << QByteArray() << 0 << QByteArray() << 31 << true << silent;
    QTest::newRow("25 s are not enough") << QByteArray() << 0 << QByteArray() << 25 << false << QString();
    QTest::newRow("bytes still owed keep it waiting") << QByteArray("SendDat:") << 0 << QByteArray() << 40 << false
                                                      << QString();
}

void TestFileTransfer::senderGivesUpOnWrongOrMissingAnswers()
{
    QFETCH(QByteArray, answer);
    QFETCH(int, interval);
    QFETCH(QByteArray, later);
    QFETCH(int, ticks);
    QFETCH(bool, chatty);
    QFETCH(QString, error);
    Peer p;
    RawPeer raw;
    QVERIFY(raw.connectTo(*p));
    QVERIFY(writeFile(path("src"), pattern(5000)));
    p->setReciveFilePath(QStringLiteral("/x"));
    p->setInterval(interval);
    p->SendFile(path("src"));
    const QByteArray header("FileDat:/x|5000|100000|False");
    QCOMPARE(raw.receive(header.size()), header);
    if (!answer.isEmpty()) {
        raw.send(answer);
        QVERIFY(waitFor([&] { return p->sendTimer().Enabled(); }));
    }
    if (interval > 0)
        QCOMPARE(raw.receive(header.size() + 5000).size(), header.size() + 5000);
    if (!later.isEmpty()) {
        raw.send(later);
        QVERIFY(waitFor([&] { return idle(p); }));
    }
    QVERIFY(waitFor([&] { return p->socket().bytesNotYetDelivered() == 0; }));
    for (int i = 0; i < ticks; ++i) {
        if (chatty) {
            raw.send("Message:still here");
            QVERIFY(raw.settle(*p));
        }
        p->timeCountTick();
    }
    QCOMPARE(errorTexts(p), error.isEmpty() ? QStringList() : QStringList{error});
    QCOMPARE(p->transferState(), error.isEmpty() ? TransferState::Sending : TransferState::Idle);
    QVERIFY(error.isEmpty() ? NumberedFiles::IsOpen(p->fields().FileNumber) : !NumberedFiles::IsOpen(p->fields().FileNumber));
}

void TestFileTransfer::messageToSendingControlIsDropped()
{
    Peer a, b;
    QVERIFY(connectControls(*a, *b));
    QVERIFY(writeFile(path("src"), pattern(3000)));
    a->setReciveFilePath(path("dst"));
    a->SendFile(path("src"));
    QVERIFY(waitFor([&] { return a->sendTimer().Enabled(); }));
    b->SendMessage(QStringLiteral("while you send"));
    QVERIFY(settle(*a, *b));
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
    QVERIFY(writeFile(path("src"), data));
    p->setInterval(3600000); // an hour: the ticks below are the only ones that come
    p->setBufferSize(500);
    p->setReciveFilePath(QStringLiteral("C:\\2.txt"));
    p->SendFile(path("src"), true);
    const QByteArray header("FileDat:C:\\2.txt|1234|500|True");
    QCOMPARE(raw.receive(header.size()), header);
    QVERIFY(raw.settle(*p));
    QCOMPARE(raw.received(), header); // nothing more until an answer
    QVERIFY(!p->sendTimer().Enabled());
    // The first chunk goes as soon as "SendDat:" comes; each later one waits for a tick.
    raw.send("SendDat:");
    QCOMPARE(raw.receive(header.size() + 500), header + data.left(500));
    QVERIFY(raw.settle(*p));
    QCOMPARE(raw.received().size(), header.size() + 500);
    p->sendTimerTick();
    p->sendTimerTick();
    QCOMPARE(raw.receive(header.size() + 1234), header + data);
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
    // A byte sent urgent (out of band) is a byte of the stream like any other, and no stop to it.
    // The last bytes and a message behind them in one arrival: the message is not lost.
    const int fd = int(raw.socket().socketDescriptor());
    const QByteArray rest = data.mid(1501) + "Message:right behind";
    QCOMPARE(::send(fd, data.constData() + 1000, 500, 0), 500);
    QCOMPARE(::send(fd, data.constData() + 1500, 1, MSG_OOB), 1);
    QCOMPARE(::send(fd, rest.constData(), size_t(rest.size()), 0), rest.size());
    QCOMPARE(raw.receive(16), QByteArray("SendDat:HereisIt"));
    QVERIFY(waitFor([&] { return p.events.messages() == QStringList{"right behind"}; }));
    QCOMPARE(readFile(path("dst")), data);
    QCOMPARE(p.events.of(FileSenderEvent::ReciveFile).size(), 1);
    // Same file again, same length, no overwrite: answered at once.
    raw.send("FileDat:" + path("dst").toUtf8() + "|4096|1024|False");
    QCOMPARE(raw.receive(24), QByteArray("SendDat:HereisItHereisIt"));
}

void TestFileTransfer::heldOffers_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QByteArray>("answers");
    QTest::addColumn<bool>("landed");
    QTest::addColumn<int>("settled");
    QTest::newRow("accepted") << "accept" << QByteArray("SendDat:HereisIt") << true << 1;
    QTest::newRow("declined") << "decline" << QByteArray("SendErr:") << false << 0;
    QTest::newRow("left unanswered") << "nothing" << QByteArray("SendErr:") << false << 0;
    QTest::newRow("a second offer while one waits") << "second" << QByteArray("SendErr:SendDat:HereisIt") << true << 1;
    QTest::newRow("our own send while one waits") << "send" << QByteArray("SendErr:FileDat:") << false << 0;
    QTest::newRow("the peer leaves") << "close" << QByteArray() << false << 0;
}

void TestFileTransfer::heldOffers()
{
    QFETCH(QString, host);
    QFETCH(QByteArray, answers);
    QFETCH(bool, landed);
    QFETCH(int, settled);
    Peer p;
    RawPeer raw;
    QVERIFY(raw.connectTo(*p));
    p->setHoldOffers(true);
    p->setOfferTimeLimit(host == u"nothing" ? 50 : 60000);
    QList<FileOffer> offers;
    QList<bool> outcomes;
    QObject::connect(p.control.get(), &FileSender::fileOffered, [&](const FileOffer &o) { offers << o; });
    QObject::connect(p.control.get(), &FileSender::offerSettled, [&](bool accepted) { outcomes << accepted; });
    const QByteArray data = pattern(300);
    raw.send("FileDat:" + path("dst").toUtf8() + "|300|100|False");
    QVERIFY(waitFor([&] { return p->offerPending(); }));
    QCOMPARE(offers.size(), 1);
    QCOMPARE(offers[0].target, path("dst"));
    QCOMPARE(offers[0].size, 300.0);
    QCOMPARE(offers[0].peer, QStringLiteral("127.0.0.1"));
    QVERIFY(raw.settle(*p));
    QCOMPARE(raw.received(), QByteArray()); // the peer waits for the answer
    QVERIFY(partFiles().isEmpty());
    if (host == u"second") {
        raw.send("FileDat:" + path("other").toUtf8() + "|3|1|False");
        QVERIFY(raw.settle(*p));
        QVERIFY(p->offerPending());
    }
    if (host == u"accept" || host == u"second") {
        tick(p, 10); // the user takes a while: the peer's silence meanwhile is no stall
        p->answerOffer(true);
        tick(p, 1);
    }
    else if (host == u"decline")
        p->answerOffer(false);
    else if (host == u"send") {
        QVERIFY(writeFile(path("mine"), "mine"));
        p->setReciveFilePath(QStringLiteral("theirs"));
        p->SendFile(path("mine"));
    } else if (host == u"close")
        raw.socket().close();
    QVERIFY(waitFor([&] { return !p->offerPending(); }));
    if (answers.startsWith("SendErr:SendDat:") || answers.startsWith("SendDat:")) {
        QVERIFY(raw.receive(answers.size() - 8).endsWith("SendDat:"));
        raw.send(data);
    }
    if (!answers.isEmpty())
        QVERIFY(raw.receive(answers.size()).startsWith(answers));
    if (host != u"close")
        QVERIFY(raw.settle(*p));
    QCOMPARE(outcomes.size(), 1);
    QCOMPARE(int(outcomes[0]), settled);
    QCOMPARE(offers.size(), 1); // the second offer was refused, never shown
    QCOMPARE(readFile(path("dst")), landed ? data : QByteArray("<missing>"));
    QVERIFY(!QFile::exists(path("other")));
    QVERIFY(partFiles().isEmpty());
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
        QVERIFY(raw.settle(*p));
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
    QVERIFY(writeFile(path("dst"), pattern(77)));
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
    QVERIFY(writeFile(path("empty"), QByteArray()));
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
    QVERIFY(writeFile(path("src"), pattern(100)));
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

void TestFileTransfer::failuresInATickEndTheSend_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<double>("doneBefore");
    QTest::addColumn<int>("number");
    QTest::addColumn<int>("scode");
    QTest::addColumn<QString>("description");
    QTest::newRow("the file shrank") << "shrink" << 1500.0 << 62 << 62 << "Input past end of file";
    QTest::newRow("BufferSize set to 0") << "zero block" << 1000.0 << 380 << 380 << "Invalid property value";
    QTest::newRow("BufferSize set below 0") << "negative block" << 1000.0 << 380 << 380 << "Invalid property value";
    // 40006 does not fit the 16-bit Number: 0 there, never a wrapped value; Scode has it whole.
    QTest::newRow("the connection is gone") << "no connection" << 1000.0 << 0 << 40006
                                            << "Wrong protocol or connection state for the requested transaction or request";
}

void TestFileTransfer::failuresInATickEndTheSend()
{
    QFETCH(QString, fault);
    QFETCH(double, doneBefore);
    QFETCH(int, number);
    QFETCH(int, scode);
    QFETCH(QString, description);
    Peer a, b;
    QVERIFY(startManualSend(a, b));
    if (fault == u"shrink") {
        QVERIFY(QFile::resize(path("src"), 1500));
        a->sendTimerTick();
    }
    a->sendTimerTick(); // with a shrunk file, the 500 bytes left of it
    QCOMPARE(a->fields().DoneBytes, doneBefore);
    if (fault == u"zero block")
        a->setBufferSize(0);
    else if (fault == u"negative block")
        a->setBufferSize(-5);
    else if (fault == u"no connection")
        a->socket().Close();
    a->sendTimerTick(); // fails
    QCOMPARE(a->transferState(), TransferState::Idle);
    QVERIFY(!a->sendTimer().Enabled());
    QCOMPARE(a->fields().DoneBytes, doneBefore);
    const auto e = a.events.of(FileSenderEvent::Error);
    QCOMPARE(e.size(), 1);
    QCOMPARE(e[0].args[0].toInt(), number);
    QCOMPARE(e[0].args[1].toString(), description);
    QCOMPARE(e[0].args[2].toInt(), scode);
}

void TestFileTransfer::fileCutShortUnderAQueuedChunkEndsTheSend()
{
    Peer a, b;
    QVERIFY(connectControls(*a, *b)); // Interval 0: only the tick below sends
    QVERIFY(writeFile(path("src"), pattern(24 * 1024 * 1024)));
    a->setBufferSize(4 * 1024 * 1024);
    a->setReciveFilePath(path("dst"));
    a->SendFile(path("src"));
    QVERIFY(waitFor([&] { return a->sendTimer().Enabled(); }));
    a->sendTimerTick();
    QVERIFY(a->socket().bytesToWrite() > 0); // more than the network takes before b reads
    QVERIFY(QFile::resize(path("src"), 1024 * 1024));
    QVERIFY(waitFor([&] { return idle(a); }, 10000));
    const auto e = a.events.of(FileSenderEvent::Error);
    QCOMPARE(e.size(), 1);
    QCOMPARE(e[0].args[0].toInt(), int(platform::err::InputPastEndOfFile));
}

void TestFileTransfer::localUserCannotLeadAReceiveOut_data()
{
    QTest::addColumn<QString>("swap");
    QTest::addColumn<int>("files");
    QTest::addColumn<int>("size"); // in chunks of 2000 bytes, one a millisecond
    QTest::addColumn<bool>("older"); // each target has an older copy that what arrives replaces
    QTest::newRow("the sub-folder swapped for a link outside") << "folder" << 200 << 1000 << true;
    QTest::newRow("the hidden file swapped for a link outside") << "hidden" << 30 << 20000 << true;
    QTest::newRow("the hidden file swapped for a link outside, new targets") << "hidden" << 30 << 20000 << false;
    QTest::newRow("the sub-folder moved out once a file arrived in it") << "away" << 3 << 1 << true;
}

void TestFileTransfer::localUserCannotLeadAReceiveOut()
{
    QFETCH(QString, swap);
    QFETCH(int, files);
    QFETCH(int, size);
    QFETCH(bool, older);
    const QByteArray sub = QFile::encodeName(path("in/sub"));
    const QByteArray link = QFile::encodeName(path("in/link"));
    const QByteArray outside = QFile::encodeName(path("outside"));
    const QByteArray key = outside + "/key";
    QVERIFY(QDir().mkpath(path("in/sub")) && QDir().mkpath(path("outside")));
    QVERIFY(writeFile(path("outside/key"), "secret"));
    QCOMPARE(::chmod(key.constData(), 0600), 0);
    for (int i = 0; i < files && older; ++i)
        QVERIFY(writeFile(path("in/sub/f%1").arg(i), "old"));
    Peer a, b;
    pair(a, b);
    b->setReceiveFolder(path("in"));
    QVERIFY(writeFile(path("src"), pattern(size)));
    a->setBufferSize(2000);
    QStringList reported;
    connect(b.control.get(), &FileSender::ReciveFile, b.control.get(), [&] { reported << b->ReciveFilePath(); });
    // The folder and a link to the outside trade names, and back: "sub" is always one of them.
    QCOMPARE(::symlink(outside.constData(), link.constData()), 0);
    const std::function<void()> swapFolder = [=] {
        for (int i = 0; i < 2; ++i)
            ::renameat2(AT_FDCWD, sub.constData(), AT_FDCWD, link.constData(), RENAME_EXCHANGE);
    };
    const std::function<void()> swapHidden = [=] {
        DIR *dir = ::opendir(sub.constData());
        while (const dirent *e = dir ? ::readdir(dir) : nullptr) {
            if (QByteArray(e->d_name).contains(".velmora-")) {
                ::symlink(key.constData(), QByteArray(sub + "/planted").constData());
                ::rename(QByteArray(sub + "/planted").constData(), QByteArray(sub + '/' + e->d_name).constData());
            }
        }
        if (dir)
            ::closedir(dir);
    };
    {
        std::optional<LocalUser> user;
        if (swap != u"away")
            user.emplace(swap == u"folder" ? swapFolder : swapHidden);
        for (int i = 0; i < files; ++i) {
            // Between two files the folder that took the first goes out of the receive folder.
            if (swap == u"away" && i == 1)
                QCOMPARE(::rename(sub.constData(), QFile::encodeName(path("away")).constData()), 0);
            a->setReciveFilePath(QStringLiteral("sub/f%1").arg(i));
            a->SendFile(path("src"), true);
            QVERIFY(waitFor([&] { return idle(a); }, 20000));
        }
    }
    // Nothing outside the folder was made, written or changed.
    QCOMPARE(QDir(path("outside")).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
             QStringList{"key"});
    QCOMPARE(readFile(path("outside/key")), QByteArray("secret"));
    QCOMPARE(int(QFileInfo(path("outside/key")).permissions() & 0x0777), 0x0600); // its owner's alone, as it was
    // A folder moved out of the receive folder gets nothing after the file that was there.
    for (const QString &name : QDir(path("away")).entryList(QDir::Files | QDir::Hidden))
        QVERIFY2(name == u"f0" || readFile(path("away/") + name) == "old", qPrintable(name));
    // What was reported received is there, whole, as a file of its own.
    for (const QString &received : reported) {
        if (swap == u"away" && received.endsWith(u"/f0"))
            continue; // moved away with its folder
        QVERIFY2(!QFileInfo(received).isSymLink(), qPrintable(received));
        QCOMPARE(readFile(received), pattern(size));
    }
}

QTEST_MAIN(TestFileTransfer)
void TestFileTransfer::keptFilesAreSwept_data()
{
    QTest::addColumn<int>("ageDays");
    QTest::addColumn<QString>("state"); // "idle", "in use" (a receive holds it), "replaced" (another file has its name)
    QTest::addColumn<qint64>("maxAge"); // the week, or 0: every one (--drop-partial)
    QTest::addColumn<bool>("swept");
    const qint64 week = sender::KeptParts::MaxAgeMsec;
    QTest::newRow("six days old") << 6 << "idle" << week << false;
    QTest::newRow("eight days old") << 8 << "idle" << week << true;
    QTest::newRow("eight days old, being received into") << 8 << "in use" << week << false;
    QTest::newRow("eight days old, its name taken by another file") << 8 << "replaced" << week << true;
    QTest::newRow("a fresh one, when all are dropped") << 0 << "idle" << qint64(0) << true;
}

void TestFileTransfer::keptFilesAreSwept()
{
    QFETCH(int, ageDays);
    QFETCH(QString, state);
    QFETCH(qint64, maxAge);
    QFETCH(bool, swept);
    const qint64 now = 1800000000000;
    const sender::KeptParts parts(path("entries"), [&] { return now; });
    const QByteArray hidden = ".f.velmora-0000abcd";
    QVERIFY(testing::writeFile(path(QString::fromLatin1(hidden)), "kept bytes"));
    struct stat info = {};
    QCOMPARE(::stat(QFile::encodeName(path(hidden)).constData(), &info), 0);
    const sender::KeptPart part{"peer", "f", 10, dir->path(), "f", hidden, quint64(info.st_dev), quint64(info.st_ino),
                                now - ageDays * 24LL * 3600 * 1000, {}, 0, 0};
    QVERIFY(parts.keep(part));
    const int held = ::open(QFile::encodeName(path(hidden)).constData(), O_RDONLY | O_CLOEXEC);
    if (state == u"in use")
        QCOMPARE(::flock(held, LOCK_EX), 0);
    if (state == u"replaced") {
        QVERIFY(QFile::remove(path(hidden)));
        QVERIFY(testing::writeFile(path(hidden), "someone else's"));
    }
    // The checkpoints a send keeps go by the same age.
    const QString checkpoint = path("sent/801-2a");
    QFile aged(checkpoint);
    QVERIFY(QDir().mkpath(path("sent")) && aged.open(QIODevice::WriteOnly));
    QVERIFY(aged.setFileTime(QDateTime::fromMSecsSinceEpoch(part.keptAtMsec), QFileDevice::FileModificationTime));
    aged.close();
    sender::SentCheckpoints(path("sent")).sweep(now, maxAge);
    QCOMPARE(QFile::exists(checkpoint), maxAge > 0 && ageDays < 7);
    parts.sweep(maxAge);
    ::close(held);
    // The file goes with its entry, but never a file that is not the one kept.
    QCOMPARE(QFile::exists(path(hidden)), !swept || state == u"replaced");
    QCOMPARE(parts.find("peer", "f", 10, dir->path(), "f").has_value(), !swept);
}

void TestFileTransfer::keptDigestsCountWhileTheFileIsUnchanged_data()
{
    QTest::addColumn<QString>("kept");   // "checkpoints" (a sending side's) or "receive" (a kept receive's digest)
    QTest::addColumn<QString>("change"); // what happens to the file or to what was kept of it
    QTest::addColumn<int>("upToMiB");    // checkpoints: the bytes the receiver holds
    QTest::addColumn<int>("knownMiB");   // the bytes whose digest is taken up again (0: none)
    QTest::newRow("checkpoints, the file unchanged") << "checkpoints" << "" << 5 << 5;
    QTest::newRow("checkpoints, less held than the first one") << "checkpoints" << "" << 0 << 0;
    QTest::newRow("checkpoints, the file written since") << "checkpoints" << "written" << 5 << 0;
    QTest::newRow("checkpoints, written, its modification time put back") << "checkpoints" << "time put back" << 5 << 0;
    QTest::newRow("checkpoints, the last record cut short") << "checkpoints" << "cut" << 100 << 7;
    QTest::newRow("checkpoints, cut short, then a send goes on") << "checkpoints" << "cut, then more" << 100 << 8;
    QTest::newRow("checkpoints, a record whose fields do not fit together") << "checkpoints" << "damaged" << 5 << 4;
    QTest::newRow("receive, the file unchanged") << "receive" << "" << 0 << 8;
    QTest::newRow("receive, the file written since") << "receive" << "written" << 0 << 0;
    QTest::newRow("receive, written, its modification time put back") << "receive" << "time put back" << 0 << 0;
    QTest::newRow("receive, a digest of fewer bytes than the file") << "receive" << "shorter" << 0 << 0;
}

// A digest kept beside a broken transfer spares reading the file again only while the file is
// the one it was taken of: any write since, and any record that is not whole and consistent,
// means the bytes are read (or the file is sent whole).
void TestFileTransfer::keptDigestsCountWhileTheFileIsUnchanged()
{
    QFETCH(QString, kept);
    QFETCH(QString, change);
    QFETCH(int, upToMiB);
    QFETCH(int, knownMiB);
    constexpr qint64 MiB = 1024 * 1024;
    const QByteArray bytes = pattern(8 * MiB, 7);
    QVERIFY(writeFile(path("f"), bytes));
    const int file = ::open(QFile::encodeName(path("f")).constData(), O_RDWR | O_CLOEXEC);
    QVERIFY(file >= 0);
    SentCheckpoints checkpoints(path("sent"));
    platform::FileDigest digest;
    KeptPart part;
    if (kept == u"checkpoints") {
        // One each MiB, as a send of 8 MiB takes them, its bytes added 256 KiB at a time.
        QVERIFY(checkpoints.begin(file, 0));
        digest.setCheckpoints(SentCheckpoints::spacing(8 * MiB), [&](const platform::FileDigest &d) { checkpoints.record(d); });
        for (qint64 at = 0; at < bytes.size(); at += 256 * 1024)
            digest.add(bytes.constData() + at, 256 * 1024);
        checkpoints.close();
    } else {
        digest.add(bytes.constData(), change == u"shorter" ? bytes.size() - 1 : bytes.size());
        part.setDigest(file, digest);
    }
    if (change == u"written" || change == u"time put back") {
        struct stat before = {};
        QCOMPARE(::fstat(file, &before), 0);
        // Written once the clock that stamps files has moved on, so that the write shows.
        QVERIFY(waitFor([&] {
            timespec now = {};
            ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
            return now.tv_sec > before.st_ctim.tv_sec || now.tv_nsec > before.st_ctim.tv_nsec;
        }));
        QCOMPARE(::pwrite(file, bytes.constData() + 4096, 1, 4096), 1); // the same byte again
        if (change == u"time put back") {
            const timespec times[2] = {before.st_atim, before.st_mtim};
            QCOMPARE(::futimens(file, times), 0);
        }
    }
    const QString recorded = QDir(path("sent")).filePath(QDir(path("sent")).entryList(QDir::Files).value(0));
    if (change.startsWith(u"cut"))
        QVERIFY(QFile::resize(recorded, QFileInfo(recorded).size() - 200));
    if (change == u"cut, then more") {
        QVERIFY(checkpoints.begin(file, 7 * MiB));
        checkpoints.record(digest); // where the whole file's digest stands
        checkpoints.close();
    }
    if (change == u"damaged") {
        // The fifth record's count of buffered bytes, past what its buffer holds.
        QFile records(recorded);
        QVERIFY(records.open(QIODevice::ReadWrite));
        const qint64 record = records.size() / 8;
        QVERIFY(records.seek(4 * record + 4 + 5 * 8 + 1 + 8) && records.write("\xff\xff", 2) == 2);
    }
    const std::optional<platform::FileDigest> known
        = kept == u"checkpoints" ? std::optional(checkpoints.latest(file, upToMiB * MiB)) : part.digestOf(file);
    ::close(file);
    QCOMPARE(known ? known->length() : 0, knownMiB * MiB);
    if (knownMiB > 0) {
        platform::FileDigest expected;
        expected.add(bytes.constData(), knownMiB * MiB);
        QCOMPARE(known->value(), expected.value());
    }
}

#include "tst_filetransfer.moc"
