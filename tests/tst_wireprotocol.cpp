#include "receivefolder.h"
#include "wireprotocol.h"

#include <QTest>

using namespace sender::wire;

Q_DECLARE_METATYPE(sender::wire::Tag)

class TestWireProtocol : public QObject
{
    Q_OBJECT
private slots:
    void tags_data();
    void tags();
    void tagPrefixes_data();
    void tagPrefixes();
    void headerEncoding_data();
    void headerEncoding();
    void headerParsing_data();
    void headerParsing();
    void headerCompleteness_data();
    void headerCompleteness();
    void progress_data();
    void progress();
    void receiveFolderMapping_data();
    void receiveFolderMapping();
};

void TestWireProtocol::tags_data()
{
    QTest::addColumn<QByteArray>("arrival");
    QTest::addColumn<Tag>("tag");
    QTest::newRow("message") << QByteArray("Message:hello") << Tag::Message;
    QTest::newRow("empty message") << QByteArray("Message:") << Tag::Message;
    QTest::newRow("header") << QByteArray("FileDat:/a|1|2|True") << Tag::FileData;
    QTest::newRow("send data") << QByteArray("SendDat:") << Tag::SendData;
    QTest::newRow("here is it") << QByteArray("HereisIt") << Tag::HereIsIt;
    QTest::newRow("send error") << QByteArray("SendErr:") << Tag::SendError;
    QTest::newRow("case matters") << QByteArray("message:x") << Tag::None;
    QTest::newRow("HereIsIt is not HereisIt") << QByteArray("HereIsIt") << Tag::None;
    QTest::newRow("short") << QByteArray("Message") << Tag::None;
    QTest::newRow("binary") << QByteArray("\x00\x01\x02\x03\x04\x05\x06\x07\x08", 9) << Tag::None;
}

void TestWireProtocol::tags()
{
    QFETCH(QByteArray, arrival);
    QFETCH(Tag, tag);
    QCOMPARE(tagOf(arrival), tag);
}

void TestWireProtocol::tagPrefixes_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("prefix");
    QTest::newRow("M") << QByteArray("M") << true;
    QTest::newRow("Here") << QByteArray("Here") << true;
    QTest::newRow("SendD") << QByteArray("SendD") << true;
    QTest::newRow("SendE") << QByteArray("SendE") << true;
    QTest::newRow("FileDat") << QByteArray("FileDat") << true;
    QTest::newRow("whole tag is no prefix") << QByteArray("HereisIt") << false;
    QTest::newRow("other") << QByteArray("Hello") << false;
    QTest::newRow("empty") << QByteArray() << false;
}

void TestWireProtocol::tagPrefixes()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, prefix);
    QCOMPARE(isTagPrefix(bytes), prefix);
}

void TestWireProtocol::headerEncoding_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<double>("size");
    QTest::addColumn<int>("block");
    QTest::addColumn<bool>("overwrite");
    QTest::addColumn<QString>("wire");
    QTest::newRow("documented example") << "C:\\2.txt" << 1234.0 << 500000 << false
                                        << "FileDat:C:\\2.txt|1234|500000|False";
    QTest::newRow("empty path, empty file") << "" << 0.0 << 100000 << true << "FileDat:|0|100000|True";
    QTest::newRow("largest 32-bit size") << "/x" << 2147483647.0 << 1 << false << "FileDat:/x|2147483647|1|False";
    QTest::newRow("above 32 bits") << "/x" << 3221225472.0 << 4194304 << true << "FileDat:/x|3221225472|4194304|True";
    QTest::newRow("chinese path") << "/tmp/文件.txt" << 5.0 << 2 << false << "FileDat:/tmp/文件.txt|5|2|False";
}

void TestWireProtocol::headerEncoding()
{
    QFETCH(QString, path);
    QFETCH(double, size);
    QFETCH(int, block);
    QFETCH(bool, overwrite);
    QFETCH(QString, wire);
    const QString encoded = encodeHeader({path, size, block, overwrite});
    QCOMPARE(encoded, wire);
    const auto back = parseHeader(encoded.mid(TagLength));
    QVERIFY(back.has_value());
    QCOMPARE(back->path, path);
    QCOMPARE(back->size, size);
    QCOMPARE(back->blockSize, block);
    QCOMPARE(back->overwrite, overwrite);
}

void TestWireProtocol::headerParsing_data()
{
    QTest::addColumn<QString>("payload");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<bool>("overwrite");
    QTest::addColumn<int>("block");
    QTest::newRow("True") << "/a|1|2|True" << true << true << 2;
    QTest::newRow("False") << "/a|1|2|False" << true << false << 2;
    QTest::newRow("lower true") << "/a|1|2|true" << true << false << 2;
    QTest::newRow("first four chars count") << "/a|1|2|Truely" << true << true << 2;
    QTest::newRow("Tru") << "/a|1|2|Tru" << true << false << 2;
    QTest::newRow("other text") << "/a|1|2|yes" << true << false << 2;
    QTest::newRow("fields after the fourth ignored") << "/a|1|2|True|extra|more" << true << true << 2;
    QTest::newRow("block rounds half to even") << "/a|1|2.5|False" << true << false << 2;
    QTest::newRow("negative block is read") << "/a|1|-5|False" << true << false << -5;
    QTest::newRow("three fields") << "/a|1|2" << false << false << 0;
    QTest::newRow("nothing") << "" << false << false << 0;
    QTest::newRow("size not a number") << "/a|x|2|True" << false << false << 0;
    QTest::newRow("size negative") << "/a|-1|2|True" << false << false << 0;
    QTest::newRow("size fraction") << "/a|1.5|2|True" << false << false << 0;
    QTest::newRow("size empty") << "/a||2|True" << false << false << 0;
    QTest::newRow("size beyond 2^53") << "/a|18014398509481984|2|True" << false << false << 0;
    QTest::newRow("size 2^53 + 1 would round") << "/a|9007199254740993|2|True" << false << false << 0;
    QTest::newRow("size 2^53") << "/a|9007199254740992|2|True" << false << false << 0;
    QTest::newRow("largest exact size") << "/a|9007199254740991|2|True" << true << true << 2;
    QTest::newRow("block not a number") << "/a|1|big|True" << false << false << 0;
    QTest::newRow("block beyond 32 bits") << "/a|1|2147483648|True" << false << false << 0;
}

void TestWireProtocol::headerCompleteness_data()
{
    QTest::addColumn<QString>("payload");
    QTest::addColumn<bool>("complete");
    QTest::newRow("whole, False") << "/a|1|2|False" << true;
    QTest::newRow("whole, True") << "/a|1|2|True" << true;
    QTest::newRow("other word") << "/a|1|2|yes" << true;
    QTest::newRow("longer than the word") << "/a|1|2|Falsey" << true;
    QTest::newRow("fifth field") << "/a|1|2|Fa|" << true;
    QTest::newRow("lower-case start") << "/a|1|2|fa" << true;
    QTest::newRow("inside False") << "/a|1|2|Fa" << false;
    QTest::newRow("inside True") << "/a|1|2|Tru" << false;
    QTest::newRow("empty fourth field") << "/a|1|2|" << false;
    QTest::newRow("three fields") << "/a|1|2" << false;
    QTest::newRow("nothing yet") << "" << false;
}

void TestWireProtocol::headerCompleteness()
{
    QFETCH(QString, payload);
    QFETCH(bool, complete);
    QCOMPARE(isHeaderComplete(payload), complete);
}

void TestWireProtocol::headerParsing()
{
    QFETCH(QString, payload);
    QFETCH(bool, valid);
    QFETCH(bool, overwrite);
    QFETCH(int, block);
    const auto h = parseHeader(payload);
    QCOMPARE(h.has_value(), valid);
    if (valid) {
        QCOMPARE(h->overwrite, overwrite);
        QCOMPARE(h->blockSize, block);
    }
}

void TestWireProtocol::progress_data()
{
    QTest::addColumn<double>("done");
    QTest::addColumn<double>("total");
    QTest::addColumn<int>("percent");
    QTest::newRow("1 of 8 is 12") << 1.0 << 8.0 << 12;
    QTest::newRow("3 of 8 is 38") << 3.0 << 8.0 << 38;
    QTest::newRow("5 of 200 is 2") << 5.0 << 200.0 << 2;
    QTest::newRow("7 of 200 is 4") << 7.0 << 200.0 << 4;
    QTest::newRow("2 of 5 is 40") << 2.0 << 5.0 << 40;
    QTest::newRow("all") << 8.0 << 8.0 << 100;
    QTest::newRow("nothing yet") << 0.0 << 8.0 << 0;
}

void TestWireProtocol::progress()
{
    QFETCH(double, done);
    QFETCH(double, total);
    QFETCH(int, percent);
    QCOMPARE(int(progressPercent(done, total)), percent);
}

void TestWireProtocol::receiveFolderMapping_data()
{
    // Where a receive folder /in keeps a file announced as `announced` ("" = refused).
    QTest::addColumn<QString>("announced");
    QTest::addColumn<QString>("kept");
    QTest::newRow("a name") << "report.pdf" << "/in/report.pdf";
    QTest::newRow("sub-folders") << "photos/2026/a.jpg" << "/in/photos/2026/a.jpg";
    QTest::newRow("Windows separators") << "photos\\a.jpg" << "/in/photos/a.jpg";
    QTest::newRow("dots and doubled separators") << "./photos//./a.jpg" << "/in/photos/a.jpg";
    QTest::newRow("absolute, inside") << "/in/photos/a.jpg" << "/in/photos/a.jpg";
    QTest::newRow("absolute, outside") << "/home/user/.bashrc" << "/in/.bashrc";
    QTest::newRow("absolute, beside") << "/inbox/a.jpg" << "/in/a.jpg";
    QTest::newRow("a Windows drive") << "C:\\Users\\x\\2.txt" << "/in/2.txt";
    QTest::newRow("a Windows drive, relative") << "C:2.txt" << "/in/2.txt";
    QTest::newRow("a Windows share") << "\\\\server\\share\\2.txt" << "/in/2.txt";
    QTest::newRow("climbs out") << "photos/../../etc/passwd" << "";
    QTest::newRow("climbs out, absolute") << "/in/../etc/passwd" << "";
    QTest::newRow("a NUL") << QStringLiteral("a") + QChar(0) + QStringLiteral("b") << "";
    QTest::newRow("empty") << "" << "";
    QTest::newRow("the root") << "/" << "";
    QTest::newRow("the folder itself: only its name is kept") << "/in" << "/in/in";
    QTest::newRow("a drive alone") << "C:" << "";
}

void TestWireProtocol::receiveFolderMapping()
{
    QFETCH(QString, announced);
    QFETCH(QString, kept);
    QCOMPARE(sender::ReceiveFolder(QStringLiteral("/in")).map(announced).value_or(QString()), kept);
}

QTEST_GUILESS_MAIN(TestWireProtocol)
#include "tst_wireprotocol.moc"
