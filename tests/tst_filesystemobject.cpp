#include "filesystemobject.h"
#include "testhelpers.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace platform;

class TestFileSystemObject : public QObject
{
    Q_OBJECT
private slots:
    void driveAndParent_data();
    void driveAndParent();
    void existence();
    void createFolderMakesOneLevel();
};

void TestFileSystemObject::driveAndParent_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("drive");
    QTest::addColumn<QString>("parent");
    QTest::newRow("absolute file") << "/tmp/a/b.txt" << "/" << "/tmp/a";
    QTest::newRow("file in root") << "/b.txt" << "/" << "/";
    QTest::newRow("root") << "/" << "/" << "";
    QTest::newRow("trailing slash") << "/tmp/a/" << "/" << "/tmp";
    QTest::newRow("relative") << "a/b.txt" << "" << "a";
    QTest::newRow("bare name") << "b.txt" << "" << "";
    QTest::newRow("empty") << "" << "" << "";
    QTest::newRow("windows style") << "C:\\2.txt" << "" << "";
}

void TestFileSystemObject::driveAndParent()
{
    QFETCH(QString, path);
    QFETCH(QString, drive);
    QFETCH(QString, parent);
    FileSystemObject fso;
    QCOMPARE(fso.GetDriveName(path), drive);
    QCOMPARE(fso.GetParentFolderName(path), parent);
}

void TestFileSystemObject::existence()
{
    QTemporaryDir dir;
    FileSystemObject fso;
    QVERIFY(fso.DriveExists("/"));
    QVERIFY(!fso.DriveExists(""));
    QVERIFY(!fso.DriveExists("C:"));
    QVERIFY(fso.FolderExists(dir.path()));
    QVERIFY(!fso.FolderExists(""));
    QVERIFY(!fso.FileExists(dir.path()));
    QVERIFY(!fso.FileExists(""));
    QFile f(dir.filePath("x"));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.close();
    QVERIFY(fso.FileExists(dir.filePath("x")));
    QVERIFY(!fso.FolderExists(dir.filePath("x")));
}

void TestFileSystemObject::createFolderMakesOneLevel()
{
    QTemporaryDir dir;
    FileSystemObject fso;
    fso.CreateFolder(dir.filePath("one"));
    QVERIFY(fso.FolderExists(dir.filePath("one")));
    QVERIFY_AUTOMATION_ERROR(fso.CreateFolder(dir.filePath("one")), err::FileAlreadyExists);
    QVERIFY_AUTOMATION_ERROR(fso.CreateFolder(dir.filePath("two/three")), err::PathNotFound);
    QVERIFY(!QDir(dir.filePath("two")).exists());
}

QTEST_GUILESS_MAIN(TestFileSystemObject)
#include "tst_filesystemobject.moc"
