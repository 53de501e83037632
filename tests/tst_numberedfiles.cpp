#include "numberedfiles.h"
#include "testhelpers.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace platform;

class TestNumberedFiles : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        QVERIFY(dir.isValid());
        QFile::remove(path("fifo"));
        QCOMPARE(::mkfifo(QFile::encodeName(path("fifo")).constData(), 0600), 0);
    }
    void freeFileIsLowestUnused();
    void readWriteCreatesAndWritesInSequence();
    void readOnlyReadsInSequenceAndStopsAtEnd();
    void setLengthTruncates();
    void handleAndSeek();
    void openErrors_data();
    void openErrors();
    void failedWriteSaysWhy();
    void closeOfUnknownNumberDoesNothing();
    void largeOffsetsAre64Bit();

private:
    QString path(const QString &name) const { return name.startsWith(u'/') ? name : dir.filePath(name); }
    QTemporaryDir dir;
};

void TestNumberedFiles::freeFileIsLowestUnused()
{
    const int openBefore = NumberedFiles::OpenCount();
    const qint16 first = NumberedFiles::FreeFile();
    NumberedFiles::Open(first, path("a"), FileAccess::ReadWrite);
    const qint16 second = NumberedFiles::FreeFile();
    QVERIFY(second > first);
    NumberedFiles::Open(second, path("b"), FileAccess::ReadWrite);
    QCOMPARE(NumberedFiles::OpenCount(), openBefore + 2);
    NumberedFiles::Close(first);
    QCOMPARE(NumberedFiles::FreeFile(), first);
    NumberedFiles::Close(second);
    QCOMPARE(NumberedFiles::OpenCount(), openBefore);
}

void TestNumberedFiles::handleAndSeek()
{
    const qint16 n = NumberedFiles::FreeFile();
    NumberedFiles::Open(n, path("h.bin"), FileAccess::ReadWrite);
    NumberedFiles::Put(n, QByteArray("abc"));
    const int fd = NumberedFiles::Handle(n);
    QCOMPARE(::pwrite(fd, "XY", 2, 5), ssize_t(2)); // a move through the descriptor, at its own offset
    QCOMPARE(NumberedFiles::Loc(n), qint64(3));
    QCOMPARE(NumberedFiles::Lof(n), qint64(7));
    NumberedFiles::Seek(n, 7);
    NumberedFiles::Put(n, QByteArray("!"));
    NumberedFiles::Seek(n, 1);
    NumberedFiles::Put(n, QByteArray("Q"));
    QCOMPARE(NumberedFiles::Loc(n), qint64(2));
    QVERIFY_AUTOMATION_ERROR(NumberedFiles::Seek(n, -1), err::InvalidCall);
    NumberedFiles::Close(n);
    QVERIFY_AUTOMATION_ERROR(NumberedFiles::Handle(n), err::BadFileNameOrNumber);
    QVERIFY_AUTOMATION_ERROR(NumberedFiles::Seek(n, 0), err::BadFileNameOrNumber);
    QFile f(path("h.bin"));
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), QByteArray("aQc\0\0XY!", 8));
}

void TestNumberedFiles::readWriteCreatesAndWritesInSequence()
{
    const qint16 n = NumberedFiles::FreeFile();
    NumberedFiles::Open(n, path("w.bin"), FileAccess::ReadWrite);
    QVERIFY(NumberedFiles::IsOpen(n));
    NumberedFiles::Put(n, QByteArray("hello "));
    NumberedFiles::Put(n, QByteArray("world", 5));
    QCOMPARE(NumberedFiles::Loc(n), qint64(11));
    QCOMPARE(NumberedFiles::Lof(n), qint64(11));
    NumberedFiles::Close(n);
    QVERIFY(!NumberedFiles::IsOpen(n));
    QFile f(path("w.bin"));
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), QByteArray("hello world"));
    QCOMPARE(NumberedFiles::FileLen(path("w.bin")), qint64(11));

    // Reopening keeps the bytes and starts at the first byte again.
    NumberedFiles::Open(n, path("w.bin"), FileAccess::ReadWrite);
    NumberedFiles::Put(n, QByteArray("J"));
    NumberedFiles::Close(n);
    QVERIFY(f.seek(0));
    QCOMPARE(f.readAll(), QByteArray("Jello world"));
}

void TestNumberedFiles::readOnlyReadsInSequenceAndStopsAtEnd()
{
    QFile f(path("r.bin"));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("0123456789");
    f.close();
    const qint16 n = NumberedFiles::FreeFile();
    NumberedFiles::Open(n, path("r.bin"), FileAccess::Read);
    QByteArray chunk(4, '\0');
    NumberedFiles::Get(n, chunk);
    QCOMPARE(chunk, QByteArray("0123"));
    NumberedFiles::Get(n, chunk);
    QCOMPARE(chunk, QByteArray("4567"));
    QCOMPARE(NumberedFiles::Loc(n), qint64(8));
    QVERIFY_AUTOMATION_ERROR(NumberedFiles::Get(n, chunk), err::InputPastEndOfFile);
    chunk.resize(2);
    NumberedFiles::Get(n, chunk);
    QCOMPARE(chunk, QByteArray("89"));
    QVERIFY_AUTOMATION_ERROR(NumberedFiles::Put(n, QByteArray("x")), err::BadFileNameOrNumber);
    NumberedFiles::Close(n);
    QVERIFY_AUTOMATION_ERROR(NumberedFiles::Get(n, chunk), err::BadFileNameOrNumber);
}

void TestNumberedFiles::setLengthTruncates()
{
    const qint16 n = NumberedFiles::FreeFile();
    NumberedFiles::Open(n, path("t.bin"), FileAccess::ReadWrite);
    NumberedFiles::Put(n, QByteArray(100, 'x'));
    NumberedFiles::SetLength(n, 40);
    NumberedFiles::Close(n);
    QCOMPARE(NumberedFiles::FileLen(path("t.bin")), qint64(40));
}

void TestNumberedFiles::openErrors_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("readOnly");
    QTest::addColumn<int>("error");
    QTest::newRow("missing file read-only") << "missing.bin" << true << int(err::FileNotFound);
    QTest::newRow("missing folder") << "nofolder/x.bin" << false << int(err::PathNotFound);
    QTest::newRow("a folder") << "." << false << int(err::PathFileAccessError);
    QTest::newRow("a FIFO, read-write") << "fifo" << false << int(err::PathFileAccessError);
    QTest::newRow("a FIFO, read-only") << "fifo" << true << int(err::PathFileAccessError);
    QTest::newRow("a device") << "/dev/null" << false << int(err::PathFileAccessError);
    QTest::newRow("a NUL in the name") << QStringLiteral("nul") + QChar(0) + QStringLiteral("byte") << false
                                       << int(err::PathFileAccessError);
}

void TestNumberedFiles::openErrors()
{
    QFETCH(QString, name);
    QFETCH(bool, readOnly);
    QFETCH(int, error);
    const qint16 n = NumberedFiles::FreeFile();
    QVERIFY_AUTOMATION_ERROR(NumberedFiles::Open(n, path(name), readOnly ? FileAccess::Read : FileAccess::ReadWrite),
                             error);
    QVERIFY(!NumberedFiles::IsOpen(n));
    QCOMPARE(NumberedFiles::OpenCount(), 0);
    QVERIFY(!QFile::exists(path("missing.bin")));
    QVERIFY(!QFile::exists(path("nul")));
}

void TestNumberedFiles::failedWriteSaysWhy()
{
    // A file-size limit stands in for a full disk: the write fails at once, with the system's reason.
    const qint16 n = NumberedFiles::FreeFile();
    NumberedFiles::Open(n, path("limited.bin"), FileAccess::ReadWrite);
    rlimit old{};
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 4096;
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
    AutomationError failure;
    try {
        NumberedFiles::Put(n, QByteArray(8192, 'x'));
    } catch (const AutomationError &e) {
        failure = e;
    }
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    NumberedFiles::Close(n);
    QCOMPARE(failure.number, int(err::PathFileAccessError));
    QCOMPARE(failure.description, QStringLiteral("Path/File access error: File too large"));
}

void TestNumberedFiles::closeOfUnknownNumberDoesNothing()
{
    NumberedFiles::Close(0);
    NumberedFiles::Close(300);
    const qint16 n = NumberedFiles::FreeFile();
    NumberedFiles::Open(n, path("dup"), FileAccess::ReadWrite);
    QVERIFY_AUTOMATION_ERROR(NumberedFiles::Open(n, path("dup2"), FileAccess::ReadWrite), err::FileAlreadyOpen);
    QVERIFY_AUTOMATION_ERROR(NumberedFiles::Open(0, path("dup2"), FileAccess::ReadWrite), err::BadFileNameOrNumber);
    NumberedFiles::Close(n);
    QVERIFY_AUTOMATION_ERROR(NumberedFiles::FileLen(path("nothing")), err::FileNotFound);
}

void TestNumberedFiles::largeOffsetsAre64Bit()
{
    const qint16 n = NumberedFiles::FreeFile();
    NumberedFiles::Open(n, path("sparse.bin"), FileAccess::ReadWrite);
    const qint64 big = qint64(3) << 30; // 3 GiB, sparse
    NumberedFiles::SetLength(n, big);
    QCOMPARE(NumberedFiles::Lof(n), big);
    NumberedFiles::Close(n);
    QCOMPARE(NumberedFiles::FileLen(path("sparse.bin")), big);
}

QTEST_GUILESS_MAIN(TestNumberedFiles)
#include "tst_numberedfiles.moc"
