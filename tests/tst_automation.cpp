#include "automation.h"
#include "dispatchtable.h"
#include "testhelpers.h"

#include <QTest>

using namespace platform;

namespace {

// A small interface: a method with a by-reference string and an optional boolean, a
// read-write 16-bit property and a method that always fails.
class Sample : public TableDispatch
{
public:
    qint16 level = 0;
    QVariantList lastArgs;

    std::span<const MemberInfo> members() const override
    {
        static const QList<MemberInfo> table = {
            {1, 10, InvokeKind::Method, "Shout",
             {{"Text", ArgType::String, true}, {"Loud", ArgType::Bool, true, true}}, ArgType::Bool},
            {2, 11, InvokeKind::PropertyGet, "Level", {}, ArgType::Int16},
            {3, 11, InvokeKind::PropertyPut, "Level", {{"New_Level", ArgType::Int16}}},
            {4, 12, InvokeKind::Method, "Fail", {}},
        };
        return table;
    }

protected:
    QVariant call(const MemberInfo &m, QVariantList &args) override
    {
        lastArgs = args;
        switch (m.order) {
        case 1:
            args[0] = args[0].toString().toUpper();
            return false;
        case 2:
            return QVariant::fromValue(level);
        case 3:
            level = args[0].value<qint16>();
            return {};
        default:
            raiseError(err::FileNotFound);
        }
    }
};

} // namespace

class TestAutomation : public QObject
{
    Q_OBJECT
private slots:
    void catalogue();
    void coercions_data();
    void coercions();
    void coercionErrors();
    void dispatchWritesBackByReference();
    void dispatchOmittedAndMissingArguments();
    void dispatchRejectsUnknownMembersAndExtraArguments();
    void dispatchCoercesAndReportsErrors();
};

void TestAutomation::catalogue()
{
    const QList<QPair<int, QString>> expected = {
        {5, "Invalid procedure call or argument"}, {6, "Overflow"}, {13, "Type mismatch"},
        {52, "Bad file name or number"}, {53, "File not found"}, {55, "File already open"},
        {62, "Input past end of file"}, {70, "Permission denied"}, {75, "Path/File access error"},
        {76, "Path not found"}, {380, "Invalid property value"}, {382, "Set not supported at runtime"},
        {387, "Set not permitted"}, {438, "Object doesn't support this property or method"},
        {449, "Argument not optional"}};
    for (const auto &[number, text] : expected)
        QCOMPARE(AutomationError::standard(number).description, text);
    try {
        raiseError(382);
        QFAIL("no error thrown");
    } catch (const AutomationError &e) {
        QCOMPARE(e.number, 382);
        QCOMPARE(e.description, QStringLiteral("Set not supported at runtime"));
    }
    QCOMPARE(toVariantBool(true), VariantBool(-1));
    QCOMPARE(toVariantBool(false), VariantBool(0));
}

void TestAutomation::coercions_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<int>("asInt32");
    QTest::addColumn<bool>("asBool");
    QTest::addColumn<QString>("asString");
    QTest::newRow("int") << QVariant(42) << 42 << true << "42";
    QTest::newRow("double half to even") << QVariant(2.5) << 2 << true << "2.5";
    QTest::newRow("double 3.5") << QVariant(3.5) << 4 << true << "3.5";
    QTest::newRow("true is -1") << QVariant(true) << -1 << true << "True";
    QTest::newRow("false is 0") << QVariant(false) << 0 << false << "False";
    QTest::newRow("numeric text") << QVariant(QStringLiteral(" 1001 ")) << 1001 << true << " 1001 ";
    QTest::newRow("text True") << QVariant(QStringLiteral("true")) << -1 << true << "true";
    QTest::newRow("short") << QVariant::fromValue<qint16>(-3) << -3 << true << "-3";
    QTest::newRow("empty value") << QVariant() << 0 << false << "";
}

void TestAutomation::coercions()
{
    QFETCH(QVariant, value);
    QFETCH(int, asInt32);
    QFETCH(bool, asBool);
    QFETCH(QString, asString);
    QCOMPARE(toInt32(value), asInt32);
    QCOMPARE(toBool(value), asBool);
    QCOMPARE(toString(value), asString);
}

void TestAutomation::coercionErrors()
{
    QVERIFY_AUTOMATION_ERROR(toInt32(QStringLiteral("abc")), err::TypeMismatch);
    QVERIFY_AUTOMATION_ERROR(toBool(QStringLiteral("maybe")), err::TypeMismatch);
    QVERIFY_AUTOMATION_ERROR(toInt16(40000), err::Overflow);
    QVERIFY_AUTOMATION_ERROR(toInt32(3e10), err::Overflow);
    QVERIFY_AUTOMATION_ERROR(toDouble(QVariant::fromValue(QPoint(1, 2))), err::TypeMismatch);
    QCOMPARE(toDouble(QStringLiteral("1.5e3")), 1500.0);
}

void TestAutomation::dispatchWritesBackByReference()
{
    Sample s;
    QVariantList args{QStringLiteral("hi"), 1};
    const InvokeResult r = s.invoke(10, InvokeKind::Method, args);
    QVERIFY(r.ok());
    QCOMPARE(r.value, QVariant(false));
    QCOMPARE(args[0], QVariant(QStringLiteral("HI")));
    QCOMPARE(args[1], QVariant(1)); // only read by the member: the caller's value and type stay
    QVariantList upper{QStringLiteral("SAME"), 0.0};
    QVERIFY(s.invoke(10, InvokeKind::Method, upper).ok());
    QCOMPARE(upper, (QVariantList{QStringLiteral("SAME"), 0.0}));
}

void TestAutomation::dispatchOmittedAndMissingArguments()
{
    Sample s;
    QVariantList args{QStringLiteral("a")};
    QVERIFY(s.invoke(10, InvokeKind::Method, args).ok());
    QCOMPARE(s.lastArgs.size(), 2);
    QVERIFY(isOmitted(s.lastArgs[1]));

    QVariantList none;
    const InvokeResult r = s.invoke(10, InvokeKind::Method, none);
    QCOMPARE(r.error->number, int(err::ArgumentNotOptional));
}

void TestAutomation::dispatchRejectsUnknownMembersAndExtraArguments()
{
    Sample s;
    QVariantList args;
    QCOMPARE(s.invoke(99, InvokeKind::Method, args).error->number, int(err::NotSupported));
    QCOMPARE(s.invoke(12, InvokeKind::PropertyGet, args).error->number, int(err::NotSupported));
    QVariantList tooMany{1, 2};
    QCOMPARE(s.invoke(11, InvokeKind::PropertyPut, tooMany).error->number, int(err::WrongNumberOfArguments));
    QCOMPARE(s.idOfName(QStringLiteral("level")), std::optional<DispId>(11));
    QCOMPARE(s.idOfName(QStringLiteral("nothing")), std::nullopt);
}

void TestAutomation::dispatchCoercesAndReportsErrors()
{
    Sample s;
    QVariantList put{QStringLiteral("12.5")};
    QVERIFY(s.invoke(11, InvokeKind::PropertyPut, put).ok());
    QCOMPARE(s.level, qint16(12));
    QVariantList bad{QStringLiteral("twelve")};
    QCOMPARE(s.invoke(11, InvokeKind::PropertyPut, bad).error->number, int(err::TypeMismatch));
    QCOMPARE(s.level, qint16(12));
    QVariantList none;
    const InvokeResult get = s.invoke(11, InvokeKind::PropertyGet, none);
    QCOMPARE(get.value.typeId(), int(QMetaType::Short));
    QCOMPARE(get.value.value<qint16>(), qint16(12));
    const InvokeResult fail = s.invoke(12, InvokeKind::Method, none);
    QCOMPARE(fail.error->number, int(err::FileNotFound));
    QCOMPARE(fail.error->description, QStringLiteral("File not found"));
}

QTEST_GUILESS_MAIN(TestAutomation)
#include "tst_automation.moc"
