// A host that does not link the Sender library: it finds it through the registry, creates
// the control by class identity and uses it only by dispatch id and through an event sink.

#include "control.h"
#include "controlhost.h"
#include "controlsite.h"
#include "propertybag.h"
#include "registry.h"
#include "testhelpers.h"

#include <QLibrary>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>

using namespace platform;

namespace {

const QString ProgId = QStringLiteral("Sender.FileSender");
const QUuid ClassId(QStringLiteral("{5940B612-4C7D-4C7D-A53F-9F9983F49E90}"));
constexpr DispId Connect = 0x6003000d, LocalPort = 0x6803000b, Listen = 0x6003000e, SendMessage = 0x60030010,
                 State = 0x68030001, Busy = 0x68030004, TimeCounter = 0x68030000, ReciveFilePath = 0x68030007,
                 BufferSize = 0x68030003, CloseAll = 0x6003001b;

class QuietSite : public ControlSite
{
public:
    bool userMode = true;
    QStringList changed;
    QStringList boxes;
    bool ambientUserMode() const override { return userMode; }
    void propertyChanged(const QString &n) override { changed << n; }
    int messageBox(const QString &t, int, const QString &) override
    {
        boxes << t;
        return 1;
    }
};

int runRegister(const QStringList &args)
{
    QProcess p;
    p.start(QStringLiteral(COMPONENT_REGISTER_PATH), args);
    return testing::exitStatusOf(p, 30000);
}

} // namespace

class TestLateBinding : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void registrationRecordsEverything();
    void createByProgIdAndClassId();
    void everyMemberByDispatchId();
    void eventsThroughASink();
    void canUnloadOnlyWhenNothingIsAlive();
    void unregisterThenCreationFails();

private:
    QTemporaryDir dir;
};

void TestLateBinding::initTestCase()
{
    qputenv("COMPONENT_REGISTRY", dir.filePath("registry.ini").toLocal8Bit());
    QCOMPARE(runRegister({QStringLiteral(SENDER_LIBRARY_PATH)}), 0);
}

void TestLateBinding::registrationRecordsEverything()
{
    const auto entry = ComponentRegistry().findByProgId(ProgId);
    QVERIFY(entry.has_value());
    QCOMPARE(entry->clsid, ClassId);
    QCOMPARE(entry->libraryPath, QStringLiteral(SENDER_LIBRARY_PATH));
    QCOMPARE(entry->typeLibId, QUuid(QStringLiteral("{DDC544D7-9AD0-4D61-A0C2-7FDF23DF62B0}")));
    QCOMPARE(entry->typeLibVersion, QStringLiteral("1.0"));
    QCOMPARE(entry->typeLibHelpString, QStringLiteral("Sender"));
    QVERIFY(entry->isControl);
    QCOMPARE(entry->interfaces.size(), 2);
    QCOMPARE(entry->interfaces[0].iid, QUuid(QStringLiteral("{12D14648-E9B8-4D4C-9A8C-57047E34B17D}")));
    QCOMPARE(entry->interfaces[0].name, QStringLiteral("_FileSender"));
    QCOMPARE(entry->interfaces[1].iid, QUuid(QStringLiteral("{7A343D58-3A6F-4E96-BC6C-4415CFF6574E}")));
    QCOMPARE(entry->interfaces[1].name, QStringLiteral("__FileSender"));
}

void TestLateBinding::createByProgIdAndClassId()
{
    QWidget window;
    for (const QString &name : {ProgId, ClassId.toString()}) {
        ControlHost host(name, &window);
        host.initNew();
        QCOMPARE(host.widget()->parentWidget(), &window);
        QCOMPARE(host.get(BufferSize).toInt(), 100000);
        QCOMPARE(host.control().dispatch().idOfName(QStringLiteral("SendFile")), std::optional<DispId>(0x6003000f));
    }
}

void TestLateBinding::everyMemberByDispatchId()
{
    QuietSite site;
    ControlHost host(ProgId, nullptr, &site);
    PropertyBag bag;
    bag.set(QStringLiteral("TimeCounter"), 495);
    host.load(bag);
    QCOMPARE(host.get(TimeCounter).toInt(), 495);
    QCOMPARE(host.get(Busy), QVariant(false));
    host.put(ReciveFilePath, QStringLiteral("/tmp/x"));
    QCOMPARE(host.get(ReciveFilePath).toString(), QStringLiteral("/tmp/x"));
    QCOMPARE(site.changed, QStringList{"ReciveFilePath"});
    QVERIFY_AUTOMATION_ERROR(host.put(Busy, true), err::SetNotSupportedAtRuntime);
    site.userMode = false;
    QVERIFY_AUTOMATION_ERROR(host.put(TimeCounter, 1), err::SetNotPermitted);
    // Every entry of the interface answers by its id.
    const QList<QPair<DispId, InvokeKind>> entries = {
        {0x6003000d, InvokeKind::Method},      {0x6803000c, InvokeKind::PropertyGet}, {0x6803000b, InvokeKind::PropertyGet},
        {0x6803000b, InvokeKind::PropertyPut}, {0x6803000a, InvokeKind::PropertyGet}, {0x6003000e, InvokeKind::Method},
        {0x68030009, InvokeKind::PropertyGet}, {0x68030009, InvokeKind::PropertyPut}, {0x68030008, InvokeKind::PropertyGet},
        {0x68030008, InvokeKind::PropertyPut}, {0x6003000f, InvokeKind::Method},      {0x60030010, InvokeKind::Method},
        {0x68030007, InvokeKind::PropertyGet}, {0x68030007, InvokeKind::PropertyPut}, {0x68030006, InvokeKind::PropertyGet},
        {0x6003001b, InvokeKind::Method},      {0x68030005, InvokeKind::PropertyGet}, {0x68030005, InvokeKind::PropertyPut},
        {0x68030004, InvokeKind::PropertyGet}, {0x68030004, InvokeKind::PropertyPut}, {0x68030003, InvokeKind::PropertyGet},
        {0x68030003, InvokeKind::PropertyPut}, {0x68030002, InvokeKind::PropertyGet}, {0x68030002, InvokeKind::PropertyPut},
        {0x68030001, InvokeKind::PropertyGet}, {0x6003001d, InvokeKind::Method},      {0x6003001e, InvokeKind::Method},
        {0x68030000, InvokeKind::PropertyGet}, {0x68030000, InvokeKind::PropertyPut}};
    for (const auto &[id, kind] : entries) {
        QVariantList args;
        if (kind == InvokeKind::PropertyPut || id == 0x6003001d || id == 0x60030010)
            args = {0};
        if (id == 0x6003000f)
            args = {QStringLiteral("/nonexistent")};
        const InvokeResult r = host.invoke(id, kind, args);
        QVERIFY2(r.ok() || r.error->number != err::NotSupported, qPrintable(QString::number(id, 16)));
        host.call(CloseAll);
    }
}

void TestLateBinding::eventsThroughASink()
{
    QuietSite siteA, siteB;
    ControlHost a(ProgId, nullptr, &siteA), b(ProgId, nullptr, &siteB);
    a.initNew();
    b.initNew();
    QList<QPair<DispId, QVariantList>> atA;
    a.onEvent([&](DispId id, QVariantList &args) {
        atA.append({id, args});
        if (id == 2)
            args[6] = true; // CancelDisplay written back
    });
    a.put(LocalPort, 0);
    a.call(Listen);
    b.call(Connect, {QStringLiteral("127.0.0.1"), a.get(LocalPort)});
    QVERIFY(testing::waitFor([&] { return a.get(State).toInt() == 7 && b.get(State).toInt() == 7; }));
    QVariantList message{QStringLiteral("through the sink")};
    QCOMPARE(b.call(SendMessage, message), QVariant(false));
    QVERIFY(testing::waitFor([&] { return !atA.isEmpty(); }));
    QCOMPARE(atA[0].first, 3);
    QCOMPARE(atA[0].second, QVariantList{QStringLiteral("through the sink")});

    // An Error event: connecting to a port where nobody listens.
    a.call(CloseAll);
    const testing::ClosedPort closed;
    a.call(Connect, {QStringLiteral("127.0.0.1"), int(closed.port())});
    QVERIFY(testing::waitFor([&] { return atA.size() >= 2; }));
    QCOMPARE(atA.last().first, 2);
    QCOMPARE(atA.last().second.size(), 7);
    QCOMPARE(atA.last().second[0].toInt(), 10061);
    QCOMPARE(atA.last().second[1].toString(), QStringLiteral("Connection is forcefully rejected"));
}

void TestLateBinding::canUnloadOnlyWhenNothingIsAlive()
{
    QLibrary lib(QStringLiteral(SENDER_LIBRARY_PATH));
    QVERIFY(lib.load());
    const auto canUnload = reinterpret_cast<DllCanUnloadNowFn>(lib.resolve("DllCanUnloadNow"));
    const auto getClassObject = reinterpret_cast<DllGetClassObjectFn>(lib.resolve("DllGetClassObject"));
    QVERIFY(canUnload && getClassObject);
    QCOMPARE(canUnload(), hr::Ok);
    {
        ControlHost host(ProgId, nullptr);
        QCOMPARE(canUnload(), hr::False);
    }
    QCOMPARE(canUnload(), hr::Ok);
    ClassFactory *factory = nullptr;
    QCOMPARE(getClassObject(&ClassId, &factory), hr::Ok);
    factory->lockServer(true);
    QCOMPARE(canUnload(), hr::False);
    factory->lockServer(false);
    QCOMPARE(canUnload(), hr::Ok);
    const QUuid other = QUuid::createUuid();
    QCOMPARE(getClassObject(&other, &factory), hr::ClassNotAvailable);
}

void TestLateBinding::unregisterThenCreationFails()
{
    QCOMPARE(runRegister({QStringLiteral("--unregister"), QStringLiteral(SENDER_LIBRARY_PATH)}), 0);
    QVERIFY(!ComponentRegistry().findByProgId(ProgId));
    QVERIFY(!ComponentRegistry().findByClsid(ClassId));
    QVERIFY_AUTOMATION_ERROR(ControlHost(ProgId, nullptr), err::CantCreateObject);
    QVERIFY_AUTOMATION_ERROR(ControlHost(ClassId.toString(), nullptr), err::CantCreateObject);
}

QTEST_MAIN(TestLateBinding)
#include "tst_latebinding.moc"
