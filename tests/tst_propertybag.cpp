#include "propertybag.h"

#include <QTemporaryDir>
#include <QTest>

using namespace platform;

class TestPropertyBag : public QObject
{
    Q_OBJECT
private slots:
    void defaultsAreNeverStored();
    void equalityAcrossNumericTypes();
    void roundTripThroughFiles_data();
    void roundTripThroughFiles();
    void unreadableFile();
};

void TestPropertyBag::defaultsAreNeverStored()
{
    PropertyBag bag;
    bag.write("BufferSize", 100000, 100000);
    QVERIFY(!bag.contains("BufferSize"));
    QCOMPARE(bag.read("BufferSize", 100000), QVariant(100000));
    bag.write("BufferSize", 65536, 100000);
    QCOMPARE(bag.read("BufferSize", 100000), QVariant(65536));
    bag.write("BufferSize", 100000, 100000); // back to the default: removed again
    QVERIFY(!bag.contains("BufferSize"));
    bag.write("RemoteHost", QString(), QString());
    QVERIFY(bag.keys().isEmpty());
}

void TestPropertyBag::equalityAcrossNumericTypes()
{
    QVERIFY(PropertyBag::sameValue(QVariant::fromValue<qint16>(0), QVariant(0)));
    QVERIFY(PropertyBag::sameValue(QVariant(false), QVariant::fromValue<qint16>(0)));
    QVERIFY(PropertyBag::sameValue(QVariant(true), QVariant(-1)));
    QVERIFY(!PropertyBag::sameValue(QVariant(QStringLiteral("0")), QVariant(0)));
    QVERIFY(!PropertyBag::sameValue(QVariant(1), QVariant(0)));
}

void TestPropertyBag::roundTripThroughFiles_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::newRow("json") << "bag.json";
    QTest::newRow("ini") << "bag.ini";
}

void TestPropertyBag::roundTripThroughFiles()
{
    QFETCH(QString, fileName);
    QTemporaryDir dir;
    PropertyBag bag;
    bag.write("TimeCounter", 495, 0);
    bag.write("ReciveFilePath", QStringLiteral("/tmp/接收.txt"), QString());
    const QString path = dir.filePath(fileName);
    QVERIFY(bag.saveToFile(path));
    PropertyBag loaded;
    QVERIFY(loaded.loadFromFile(path));
    QCOMPARE(loaded.keys().size(), 2);
    QCOMPARE(loaded.read("TimeCounter", 0).toInt(), 495);
    QCOMPARE(loaded.read("ReciveFilePath", QString()).toString(), QStringLiteral("/tmp/接收.txt"));
    QCOMPARE(loaded.read("BufferSize", 100000), QVariant(100000));
}

void TestPropertyBag::unreadableFile()
{
    PropertyBag bag;
    QVERIFY(!bag.loadFromFile("/nonexistent/folder/bag.json"));
}

QTEST_GUILESS_MAIN(TestPropertyBag)
#include "tst_propertybag.moc"
