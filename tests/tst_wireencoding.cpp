// The wire encoding against raw peers. The choice is process-wide, so these tests run in a
// program of their own; ctest starts it with VELMORA_WIRE_ENCODING=GBK.

#include "controlfixtures.h"
#include "conversions.h"
#include "testhelpers.h"

#include <QDir>
#include <QFile>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTest>

using namespace platform;
using testing::Peer;
using testing::RawPeer;
using testing::waitFor;

namespace {

QByteArray gbk(const QString &text)
{
    QStringEncoder encoder("GBK");
    return encoder.encode(text);
}

} // namespace

class TestWireEncoding : public QObject
{
    Q_OBJECT
private slots:
    void environmentChoosesWhenTheProgramDoesNot();
    void cleanup();
    void choosing_data();
    void choosing();
    void conversions_data();
    void conversions();
    void gbkPeerBothWays();
    void invalidBytesFromPeer_data();
    void invalidBytesFromPeer();

private:
    QTemporaryDir dir;
};

void TestWireEncoding::environmentChoosesWhenTheProgramDoesNot()
{
    // First of all: nothing has chosen yet in this process.
    if (qEnvironmentVariable(WireEncodingVariable) != QLatin1String("GBK"))
        QSKIP("run through ctest, which sets VELMORA_WIRE_ENCODING=GBK");
    QCOMPARE(toWireBytes(QStringLiteral("中")), QByteArray("\xd6\xd0"));
    QCOMPARE(wireEncoding(), QStringLiteral("GBK"));
}

void TestWireEncoding::cleanup()
{
    qunsetenv(WireEncodingVariable);
    QVERIFY(setWireEncoding(QString()));
}

void TestWireEncoding::choosing_data()
{
    QTest::addColumn<QString>("environment"); // "" = unset
    QTest::addColumn<QVariant>("option");     // invalid = not given
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("chosen");      // after the call; "Big5" was chosen before it
    QTest::addColumn<QString>("errorNames");  // what the error text names
    QTest::newRow("nothing: the system's own") << "" << QVariant() << true << "" << "";
    QTest::newRow("environment") << "GBK" << QVariant() << true << "GBK" << "";
    QTest::newRow("option wins") << "GBK" << QVariant("GB18030") << true << "GB18030" << "";
    QTest::newRow("empty option: the system's own") << "GBK" << QVariant("") << true << "" << "";
    QTest::newRow("name in any case") << "" << QVariant("gbk") << true << "GBK" << "";
    QTest::newRow("unknown option") << "GBK" << QVariant("Klingon") << false << "Big5" << "Klingon (from --encoding)";
    QTest::newRow("unknown in environment") << "Klingon" << QVariant() << false << "Big5"
                                            << "Klingon (from VELMORA_WIRE_ENCODING)";
    QTest::newRow("UTF-16 is not 8-bit") << "" << QVariant("UTF-16") << false << "Big5" << "UTF-16";
    QTest::newRow("EBCDIC changes ASCII") << "" << QVariant("IBM037") << false << "Big5" << "IBM037";
}

void TestWireEncoding::choosing()
{
    QFETCH(QString, environment);
    QFETCH(QVariant, option);
    QFETCH(bool, ok);
    QFETCH(QString, chosen);
    QFETCH(QString, errorNames);
    QVERIFY(setWireEncoding(QStringLiteral("Big5")));
    if (environment.isEmpty())
        qunsetenv(WireEncodingVariable);
    else
        qputenv(WireEncodingVariable, environment.toUtf8());
    QString error;
    QCOMPARE(chooseWireEncoding(option.isValid() ? std::optional(option.toString()) : std::nullopt, &error), ok);
    QCOMPARE(wireEncoding(), chosen);
    QCOMPARE(error.isEmpty(), ok);
    QVERIFY2(error.contains(errorNames), qPrintable(error));
}

void TestWireEncoding::conversions_data()
{
    QTest::addColumn<QString>("encoding");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("faithful"); // when true, the text also encodes back to the bytes
    QTest::newRow("GBK") << "GBK" << QByteArray("Message:\xc4\xe3\xba\xc3 ok") << "Message:你好 ok" << true;
    QTest::newRow("GB18030") << "GB18030" << QByteArray("\xd6\xd0\xce\xc4") << "中文" << true;
    QTest::newRow("Big5") << "Big5" << QByteArray("\xa4\xa4\xa4\xe5") << "中文" << true;
    QTest::newRow("system's own, UTF-8") << "" << QByteArray("\xe4\xb8\xad\xe6\x96\x87") << "中文" << true;
    QTest::newRow("GBK, bad second byte") << "GBK" << QByteArray("ab\x81\x20" "cd") << "ab\ufffd cd" << false;
    QTest::newRow("GBK, cut at the end") << "GBK" << QByteArray("\xd6\xd0\xce") << "中" << false;
    QTest::newRow("UTF-8, bad byte") << "" << QByteArray("a\xff" "b") << "a\ufffdb" << false;
}

void TestWireEncoding::conversions()
{
    QFETCH(QString, encoding);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    QFETCH(bool, faithful);
    QVERIFY(setWireEncoding(encoding));
    const WireText read = fromWireBytes(bytes);
    QCOMPARE(read.text, text);
    QCOMPARE(read.faithful, faithful);
    if (faithful)
        QCOMPARE(toWireBytes(text), bytes);
}

void TestWireEncoding::gbkPeerBothWays()
{
    QVERIFY(setWireEncoding(QStringLiteral("GBK")));
    Peer p;
    RawPeer raw;
    QVERIFY(raw.connectTo(*p));

    raw.send("Message:" + gbk(QStringLiteral("你好，世界")));
    QVERIFY(waitFor([&] { return !p.events.messages().isEmpty(); }));
    QCOMPARE(p.events.messages(), QStringList{QStringLiteral("你好，世界")});

    // A header whose path has Chinese characters: stored under that name.
    const QString target = dir.filePath(QStringLiteral("收到的文件.txt"));
    raw.send("FileDat:" + gbk(target) + "|5|1024|False");
    QCOMPARE(raw.receive(8), QByteArray("SendDat:"));
    raw.send("12345");
    QCOMPARE(raw.receive(16), QByteArray("SendDat:HereisIt"));
    QFile stored(target);
    QVERIFY(stored.open(QIODevice::ReadOnly));
    QCOMPARE(stored.readAll(), QByteArray("12345"));
    QCOMPARE(p->ReciveFilePath(), target);

    // And back: a message and a header in GBK.
    p->SendMessage(QStringLiteral("收到了"));
    const QByteArray message = "SendDat:HereisItMessage:" + gbk(QStringLiteral("收到了"));
    QCOMPARE(raw.receive(message.size()), message);
    const QString announced = dir.filePath(QStringLiteral("回信.txt"));
    p->setReciveFilePath(announced);
    p->setInterval(1);
    p->SendFile(target, false);
    const QByteArray header = message + "FileDat:" + gbk(announced) + "|5|" + QByteArray::number(p->BufferSize()) + "|False";
    QCOMPARE(raw.receive(header.size()), header);
    raw.send("SendDat:");
    QCOMPARE(raw.receive(header.size() + 5), header + "12345");
    raw.send("HereisIt");
    QVERIFY(waitFor([&] { return p->Busy() == VariantFalse; }));
    QVERIFY(p.events.of(sender::FileSenderEvent::Error).isEmpty());
}

void TestWireEncoding::invalidBytesFromPeer_data()
{
    QTest::addColumn<QString>("encoding");
    QTest::addColumn<QByteArray>("arrival"); // "{dir}" stands for the test's folder
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<QByteArray>("answer");
    QTest::newRow("GBK message: replacement characters")
        << "GBK" << QByteArray("Message:ok\x81\x20" "end") << QStringList{"ok\ufffd end"} << QByteArray();
    QTest::newRow("GBK header path: refused")
        << "GBK" << QByteArray("FileDat:{dir}/bad\x81\x20name|5|1024|False") << QStringList() << QByteArray("SendErr:");
    QTest::newRow("UTF-8 header path: refused")
        << "" << QByteArray("FileDat:{dir}/bad\xffname|5|1024|False") << QStringList() << QByteArray("SendErr:");
    QTest::newRow("GBK header, valid path: taken")
        << "GBK" << QByteArray("FileDat:{dir}/\xd6\xd0|5|1024|False") << QStringList() << QByteArray("SendDat:");
}

void TestWireEncoding::invalidBytesFromPeer()
{
    QFETCH(QString, encoding);
    QFETCH(QByteArray, arrival);
    QFETCH(QStringList, messages);
    QFETCH(QByteArray, answer);
    QVERIFY(setWireEncoding(encoding));
    QTemporaryDir folder;
    Peer p;
    RawPeer raw;
    QVERIFY(raw.connectTo(*p));
    raw.send(arrival.replace("{dir}", folder.path().toUtf8()));
    if (!messages.isEmpty())
        QVERIFY(waitFor([&] { return !p.events.messages().isEmpty(); }));
    QCOMPARE(p.events.messages(), messages);
    QCOMPARE(raw.receive(answer.size(), answer.isEmpty() ? 200 : 5000), answer);
    if (answer == "SendErr:") { // nothing was taken from the refused header
        QCOMPARE(QDir(folder.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
        QCOMPARE(p->ReciveFilePath(), QString());
        QCOMPARE(p->Busy(), VariantFalse);
    }
}

QTEST_MAIN(TestWireEncoding)
#include "tst_wireencoding.moc"
