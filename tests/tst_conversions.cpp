#include "conversions.h"
#include "testhelpers.h"

#include <QTest>

#include <cmath>
#include <limits>

using namespace platform;

class TestConversions : public QObject
{
    Q_OBJECT
private slots:
    void wholeNumbers_data();
    void wholeNumbers();
    void wholeNumberOverflow();
    void leadingNumber_data();
    void leadingNumber();
    void wholeInt32FromText_data();
    void wholeInt32FromText();
    void numberToText_data();
    void numberToText();
    void boolToText();
};

void TestConversions::wholeNumbers_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<int>("expected");
    QTest::newRow("2.5 goes to even 2") << 2.5 << 2;
    QTest::newRow("3.5 goes to even 4") << 3.5 << 4;
    QTest::newRow("12.5 goes to 12") << 12.5 << 12;
    QTest::newRow("37.5 goes to 38") << 37.5 << 38;
    QTest::newRow("-2.5 goes to -2") << -2.5 << -2;
    QTest::newRow("2.4999 down") << 2.4999 << 2;
    QTest::newRow("2.5001 up") << 2.5001 << 3;
    QTest::newRow("progress 40") << 40.0 << 40;
}

void TestConversions::wholeNumbers()
{
    QFETCH(double, value);
    QFETCH(int, expected);
    QCOMPARE(int(wholeInt32(value)), expected);
    QCOMPARE(int(wholeInt16(value)), expected);
}

void TestConversions::wholeNumberOverflow()
{
    QCOMPARE(int(wholeInt16(32767.4)), 32767);
    QVERIFY_AUTOMATION_ERROR(wholeInt16(32767.5), err::Overflow); // rounds to 32768
    QCOMPARE(int(wholeInt16(-32768.5)), -32768);                  // rounds to the even -32768
    QVERIFY_AUTOMATION_ERROR(wholeInt16(-32769), err::Overflow);
    QCOMPARE(wholeInt32(2147483647.0), 2147483647);
    QVERIFY_AUTOMATION_ERROR(wholeInt32(2147483648.0), err::Overflow);
    QVERIFY_AUTOMATION_ERROR(wholeInt32(std::nan("")), err::Overflow);
    QVERIFY_AUTOMATION_ERROR(wholeInt32(std::numeric_limits<double>::infinity()), err::Overflow);
}

void TestConversions::leadingNumber_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("expected");
    QTest::newRow("digits") << "1001" << 1001.0;
    QTest::newRow("digits then letters") << "1001abc" << 1001.0;
    QTest::newRow("letters alone") << "abc" << 0.0;
    QTest::newRow("empty") << "" << 0.0;
    QTest::newRow("blanks anywhere") << " 1 0\t0\n1 " << 1001.0;
    QTest::newRow("CR ends") << "10\r01" << 10.0;
    QTest::newRow("CR LF ends") << "7\r\n1" << 7.0;
    QTest::newRow("form feed ends") << "3\f4" << 3.0;
    QTest::newRow("comma ends") << "1,5" << 1.0;
    QTest::newRow("decimal") << "3.25x" << 3.25;
    QTest::newRow("leading point") << ".5" << 0.5;
    QTest::newRow("negative") << "-42" << -42.0;
    QTest::newRow("plus") << "+7" << 7.0;
    QTest::newRow("exponent") << "1.5e3" << 1500.0;
    QTest::newRow("exponent D") << "2D2" << 200.0;
    QTest::newRow("more digits than 64 bits hold") << "1234567890123456789012345" << 1234567890123456789012345.0;
    QTest::newRow("bare exponent letter") << "12e" << 12.0;
    QTest::newRow("hex") << "&H10" << 16.0;
    QTest::newRow("hex lower") << "&hff" << 255.0;
    QTest::newRow("hex 16-bit wraps") << "&HFFFF" << -1.0;
    QTest::newRow("octal") << "&O17" << 15.0;
    QTest::newRow("hex without digits") << "&Hxyz" << 0.0;
    QTest::newRow("sign alone") << "-" << 0.0;
}

void TestConversions::leadingNumber()
{
    QFETCH(QString, text);
    QFETCH(double, expected);
    QCOMPARE(platform::leadingNumber(text), expected);
}

void TestConversions::wholeInt32FromText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("expected");
    QTest::addColumn<int>("error");
    QTest::newRow("plain") << "1001" << 1001 << 0;
    QTest::newRow("surrounding blanks") << "  500000 " << 500000 << 0;
    QTest::newRow("2.5 to 2") << "2.5" << 2 << 0;
    QTest::newRow("3.5 to 4") << "3.5" << 4 << 0;
    QTest::newRow("negative") << "-7" << -7 << 0;
    QTest::newRow("hex") << "&H10" << 16 << 0;
    QTest::newRow("letters") << "abc" << 0 << int(err::TypeMismatch);
    QTest::newRow("digits then letters") << "10abc" << 0 << int(err::TypeMismatch);
    QTest::newRow("empty") << "" << 0 << int(err::TypeMismatch);
    QTest::newRow("inner blank") << "1 0" << 0 << int(err::TypeMismatch);
    QTest::newRow("too large") << "2147483648" << 0 << int(err::Overflow);
    QTest::newRow("largest") << "2147483647" << 2147483647 << 0;
}

void TestConversions::wholeInt32FromText()
{
    QFETCH(QString, text);
    QFETCH(int, expected);
    QFETCH(int, error);
    qint32 got = 0;
    QCOMPARE(testing::errorNumberOf([&] { got = platform::wholeInt32FromText(text); }), error);
    if (error == 0)
        QCOMPARE(got, expected);
}

void TestConversions::numberToText_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("expected");
    QTest::newRow("zero") << 0.0 << "0";
    QTest::newRow("whole") << 1234.0 << "1234";
    QTest::newRow("largest 32-bit") << 2147483647.0 << "2147483647";
    QTest::newRow("above 32-bit") << 5000000000.0 << "5000000000";
    QTest::newRow("negative") << -17.0 << "-17";
    QTest::newRow("fraction") << 2.5 << "2.5";
    QTest::newRow("15 significant digits") << 0.1234567890123456 << "0.123456789012346";
    QTest::newRow("huge") << 1.5e20 << "1.5E+20";
    QTest::newRow("tiny") << 1e-16 << "1E-16";
}

void TestConversions::numberToText()
{
    QFETCH(double, value);
    QFETCH(QString, expected);
    QCOMPARE(platform::numberToText(value), expected);
}

void TestConversions::boolToText()
{
    QCOMPARE(platform::boolToText(true), QStringLiteral("True"));
    QCOMPARE(platform::boolToText(false), QStringLiteral("False"));
}

QTEST_GUILESS_MAIN(TestConversions)
#include "tst_conversions.moc"
