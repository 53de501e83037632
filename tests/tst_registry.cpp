#include "control.h"
#include "registry.h"
#include "testhelpers.h"

#include <QApplication>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>

#include <memory>

using namespace platform;

namespace {
const QUuid TestClassId("{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}");
}

class TestRegistry : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void defaultPathFollowsEnvironment();
    void registerCreateUnregisterRoundTrip();
    void componentRegisterRefusesBadInput();
    void createFailsCleanly();

private:
    int runRegister(const QStringList &args, QString *errorText = nullptr);
    QTemporaryDir dir;
    QString registryPath;
};

void TestRegistry::init()
{
    QVERIFY(dir.isValid());
    registryPath = dir.filePath(QStringLiteral("registry-%1.ini").arg(QTest::currentTestFunction()));
    qputenv("COMPONENT_REGISTRY", registryPath.toLocal8Bit());
}

int TestRegistry::runRegister(const QStringList &args, QString *errorText)
{
    QProcess p;
    p.start(QStringLiteral(COMPONENT_REGISTER_PATH), args);
    if (!p.waitForFinished(30000))
        return -1;
    if (errorText)
        *errorText = QString::fromLocal8Bit(p.readAllStandardError());
    return p.exitCode();
}

void TestRegistry::defaultPathFollowsEnvironment()
{
    QCOMPARE(ComponentRegistry::defaultPath(), registryPath);
    qunsetenv("COMPONENT_REGISTRY");
    QVERIFY(ComponentRegistry::defaultPath().endsWith("/.config/component-registry.ini"));
}

void TestRegistry::registerCreateUnregisterRoundTrip()
{
    QCOMPARE(runRegister({QStringLiteral(TESTCOMPONENT_PATH)}), 0);
    const ComponentRegistry registry;
    const auto entry = registry.findByProgId(QStringLiteral("Test.Component"));
    QVERIFY(entry.has_value());
    QCOMPARE(entry->clsid, TestClassId);
    QCOMPARE(entry->libraryPath, QStringLiteral(TESTCOMPONENT_PATH));
    QCOMPARE(entry->typeLibVersion, QStringLiteral("1.0"));
    QCOMPARE(entry->typeLibHelpString, QStringLiteral("TestLib"));
    QVERIFY(entry->isControl);
    QCOMPARE(entry->interfaces.size(), 1);
    QCOMPARE(entry->interfaces.first().name, QStringLiteral("_TestControl"));

    QWidget host;
    for (const QString &name : {QStringLiteral("Test.Component"), TestClassId.toString()}) {
        Control *control = createObject(name, &host);
        QVERIFY(control);
        QCOMPARE(control->widget()->parentWidget(), &host);
        QVariantList args{21};
        const InvokeResult r = control->dispatch().invoke(1, InvokeKind::Method, args);
        QVERIFY(r.ok());
        QCOMPARE(r.value.toInt(), 42);
        delete control->widget();
    }

    QCOMPARE(runRegister({QStringLiteral("--unregister"), QStringLiteral(TESTCOMPONENT_PATH)}), 0);
    QVERIFY(!registry.findByProgId(QStringLiteral("Test.Component")));
    QVERIFY(!registry.findByClsid(TestClassId));
    QVERIFY_AUTOMATION_ERROR(createObject(QStringLiteral("Test.Component")), err::CantCreateObject);
}

void TestRegistry::componentRegisterRefusesBadInput()
{
    QString text;
    QCOMPARE(runRegister({}, &text), 2);
    QVERIFY(text.contains("usage"));
    QCOMPARE(runRegister({dir.filePath("missing.so")}, &text), 1);
    QVERIFY(text.contains("no such file"));
    // A library that is no component library.
    QCOMPARE(runRegister({modulePathOf(reinterpret_cast<const void *>(&standardErrorDescription))}, &text), 1);
    QVERIFY(text.contains("DllRegisterServer"));
    QVERIFY(!QFile::exists(registryPath) || ComponentRegistry().findByProgId("Test.Component") == std::nullopt);
}

void TestRegistry::createFailsCleanly()
{
    ComponentRegistry registry;
    ClassRegistration missingLib;
    missingLib.progId = QStringLiteral("Missing.Library");
    missingLib.clsid = QUuid::createUuid();
    missingLib.libraryPath = dir.filePath("nothing-here.so");
    QVERIFY(registry.registerClass(missingLib));
    QVERIFY_AUTOMATION_ERROR(createObject(missingLib.progId), err::ErrorLoadingDll);

    ClassRegistration foreign;
    foreign.progId = QStringLiteral("Foreign.Library");
    foreign.clsid = QUuid::createUuid();
    foreign.libraryPath = modulePathOf(reinterpret_cast<const void *>(&standardErrorDescription));
    QVERIFY(registry.registerClass(foreign));
    QVERIFY_AUTOMATION_ERROR(createObject(foreign.progId), err::DllFunctionNotFound);

    // A class id the library does not provide.
    ClassRegistration wrongClass;
    wrongClass.progId = QStringLiteral("Wrong.Class");
    wrongClass.clsid = QUuid::createUuid();
    wrongClass.libraryPath = QStringLiteral(TESTCOMPONENT_PATH);
    QVERIFY(registry.registerClass(wrongClass));
    QVERIFY_AUTOMATION_ERROR(createObject(wrongClass.progId), err::CantCreateObject);

    QVERIFY_AUTOMATION_ERROR(createObject(QStringLiteral("Never.Registered")), err::CantCreateObject);
    QVERIFY(registry.findByProgId(foreign.progId).has_value()); // the registry is left intact
}

QTEST_MAIN(TestRegistry)
#include "tst_registry.moc"
