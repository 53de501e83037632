#include "control.h"
#include "registry.h"
#include "testhelpers.h"

#include <QApplication>
#include <QDir>
#include <QFile>
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
    void dropInLookup_data();
    void dropInLookup();
    void dropInFoldersFollowDataDirs_data();
    void dropInFoldersFollowDataDirs();
    void writesLeaveDropInsAlone();

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
    const int status = testing::exitStatusOf(p, 30000);
    if (errorText)
        *errorText = QString::fromLocal8Bit(p.readAllStandardError());
    return status;
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

namespace {

// A registration of the test class served by `library`.
ClassRegistration testClassIn(const QString &library)
{
    ClassRegistration r;
    r.progId = QStringLiteral("Test.Component");
    r.clsid = TestClassId;
    r.libraryPath = library;
    return r;
}

} // namespace

void TestRegistry::dropInLookup_data()
{
    QTest::addColumn<QString>("userLibrary");  // "" when the user's registry lacks the class
    QTest::addColumn<QStringList>("dropIns");  // one data folder each, in lookup order; "" = a folder without one
    QTest::addColumn<QString>("expected");     // relative to the test folder; "" = not found

    QTest::newRow("user registry only") << "/opt/user.so" << QStringList{} << "/opt/user.so";
    QTest::newRow("drop-in only") << "" << QStringList{"/opt/a.so"} << "/opt/a.so";
    QTest::newRow("user registry before drop-ins") << "/opt/user.so" << QStringList{"/opt/a.so"} << "/opt/user.so";
    QTest::newRow("first data folder first") << "" << QStringList{"/opt/a.so", "/opt/b.so"} << "/opt/a.so";
    QTest::newRow("later folder when earlier lacks one") << "" << QStringList{"", "/opt/b.so"} << "/opt/b.so";
    QTest::newRow("relative library counts from the drop-in")
        << "" << QStringList{"../../lib/c.so"} << "lib/c.so";
    QTest::newRow("registered nowhere") << "" << QStringList{""} << "";
}

void TestRegistry::dropInLookup()
{
    QFETCH(QString, userLibrary);
    QFETCH(QStringList, dropIns);
    QFETCH(QString, expected);

    QTemporaryDir root;
    QVERIFY(root.isValid());
    QStringList folders;
    for (qsizetype i = 0; i < dropIns.size(); ++i) {
        const QString folder = root.filePath(QStringLiteral("data%1/component-registry").arg(i));
        QVERIFY(QDir().mkpath(folder));
        folders.append(folder);
        if (!dropIns[i].isEmpty())
            QVERIFY(ComponentRegistry(folder + QStringLiteral("/test.ini"), {}).registerClass(testClassIn(dropIns[i])));
    }
    // A file that is no drop-in is ignored.
    if (!folders.isEmpty())
        QVERIFY(ComponentRegistry(folders.first() + QStringLiteral("/test.ini.bak"), {})
                    .registerClass(testClassIn(QStringLiteral("/opt/wrong.so"))));
    const QString userPath = root.filePath(QStringLiteral("user.ini"));
    if (!userLibrary.isEmpty())
        QVERIFY(ComponentRegistry(userPath, {}).registerClass(testClassIn(userLibrary)));

    const ComponentRegistry registry(userPath, folders);
    const QString want = expected.startsWith(u'/') || expected.isEmpty() ? expected
                                                                        : QDir::cleanPath(root.filePath(expected));
    for (const QString &name : {QStringLiteral("Test.Component"), TestClassId.toString()}) {
        const auto entry = registry.find(name);
        QCOMPARE(entry.has_value(), !want.isEmpty());
        if (entry) {
            QCOMPARE(entry->libraryPath, want);
            QCOMPARE(entry->clsid, TestClassId);
        }
    }
}

void TestRegistry::dropInFoldersFollowDataDirs_data()
{
    QTest::addColumn<QByteArray>("dataDirs"); // value of $XDG_DATA_DIRS; null = unset
    QTest::addColumn<QStringList>("folders");

    const QStringList standard{"/usr/local/share/component-registry", "/usr/share/component-registry"};
    QTest::newRow("unset") << QByteArray() << standard;
    QTest::newRow("empty") << QByteArray("") << standard;
    QTest::newRow("in order") << QByteArray("/opt/b:/opt/a/")
                              << QStringList{"/opt/b/component-registry", "/opt/a/component-registry"};
    QTest::newRow("relative and empty entries skipped")
        << QByteArray("::relative:/opt/a") << QStringList{"/opt/a/component-registry"};
}

void TestRegistry::dropInFoldersFollowDataDirs()
{
    QFETCH(QByteArray, dataDirs);
    QFETCH(QStringList, folders);
    const QByteArray saved = qgetenv("XDG_DATA_DIRS");
    if (dataDirs.isNull())
        qunsetenv("XDG_DATA_DIRS");
    else
        qputenv("XDG_DATA_DIRS", dataDirs);
    const QStringList found = ComponentRegistry::defaultDropInFolders();
    qputenv("XDG_DATA_DIRS", saved);
    QCOMPARE(found, folders);
    QCOMPARE(ComponentRegistry().dropInFolders(), ComponentRegistry::defaultDropInFolders());
}

void TestRegistry::writesLeaveDropInsAlone()
{
    const QString folder = dir.filePath(QStringLiteral("writes/component-registry"));
    QVERIFY(QDir().mkpath(folder));
    const QString dropIn = folder + QStringLiteral("/sender.ini");
    QVERIFY(ComponentRegistry(dropIn, {}).registerClass(testClassIn(QStringLiteral("/opt/installed.so"))));
    QFile file(dropIn);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray before = file.readAll();
    file.close();

    ComponentRegistry registry(registryPath, {folder});
    QVERIFY(registry.registerClass(testClassIn(QStringLiteral("/opt/built.so"))));
    QCOMPARE(registry.findByProgId(QStringLiteral("Test.Component"))->libraryPath, QStringLiteral("/opt/built.so"));
    // Unregistering takes the user's record away; the installed one serves again.
    QVERIFY(registry.unregisterClass(TestClassId));
    QCOMPARE(registry.findByProgId(QStringLiteral("Test.Component"))->libraryPath, QStringLiteral("/opt/installed.so"));
    QVERIFY(!ComponentRegistry(registryPath, {}).findByClsid(TestClassId));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), before);
}

QTEST_MAIN(TestRegistry)
#include "tst_registry.moc"
