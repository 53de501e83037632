#include "controlfixtures.h"
#include "propertybag.h"
#include "testhelpers.h"

#include <QTest>

using namespace sender;
using namespace testing;
using platform::PropertyBag;

class TestPersistence : public QObject
{
    Q_OBJECT
private slots:
    void writeAfterInitialiseStoresNothing();
    void valuesOtherThanDefaultsRoundTrip();
    void emptyBagRestoresEveryDefault();
    void restoredTimeCounterCountsOn();
    void intervalStoredOnlyAfterAChange();
    void readOnlyValuesAreRestored();
    void unconvertibleValueStopsTheRead();
    void refusedSocketValueStopsTheRead();
    void initialiseLeavesSocketAndTimerAlone();
};

void TestPersistence::writeAfterInitialiseStoresNothing()
{
    Peer p;
    PropertyBag bag;
    p->save(bag);
    QVERIFY(bag.keys().isEmpty());
}

void TestPersistence::valuesOtherThanDefaultsRoundTrip()
{
    Peer p;
    p->setBufferSize(65536);
    p->setRemoteHost(QStringLiteral("127.0.0.1"));
    p->setRemotePort(1001);
    p->setLocalPort(2002);
    p->setReciveFilePath(QStringLiteral("/tmp/收到.bin"));
    p->setInterval(100);
    PropertyBag bag;
    p->save(bag);
    QCOMPARE(bag.keys().size(), 6);
    QCOMPARE(bag.read("BufferSize", 100000).toInt(), 65536);
    Peer q;
    q->load(bag);
    QCOMPARE(q->BufferSize(), 65536);
    QCOMPARE(q->RemoteHost(), QStringLiteral("127.0.0.1"));
    QCOMPARE(q->RemotePort(), 1001);
    QCOMPARE(q->LocalPort(), 2002);
    QCOMPARE(q->ReciveFilePath(), QStringLiteral("/tmp/收到.bin"));
    QCOMPARE(q->Interval(), 100);
    QVERIFY(q.site.changed.isEmpty()); // restoring notifies nothing

    p->setBufferSize(100000); // back to the default: left out again
    p->save(bag);
    QVERIFY(!bag.contains("BufferSize"));
}

void TestPersistence::emptyBagRestoresEveryDefault()
{
    Peer p;
    p->setBufferSize(5);
    p->setInterval(7);
    p->setRemoteHost(QStringLiteral("x"));
    p->setRemotePort(9);
    p->setLocalPort(9);
    p->setReciveFilePath(QStringLiteral("/y"));
    p->load(PropertyBag());
    QCOMPARE(p->LocalPort(), 0);
    QCOMPARE(p->RemoteHost(), QString());
    QCOMPARE(p->RemotePort(), 0);
    QCOMPARE(p->ReciveFilePath(), QString());
    QCOMPARE(p->ProgressValue(), qint16(0));
    QCOMPARE(p->Busy(), platform::VariantFalse);
    QCOMPARE(p->BufferSize(), 100000);
    QCOMPARE(p->Interval(), 0);
    QCOMPARE(p->TimeCounter(), 0);
}

void TestPersistence::restoredTimeCounterCountsOn()
{
    Peer p;
    PropertyBag bag;
    bag.set("TimeCounter", 495);
    p->load(bag);
    p->timeCountTick();
    QCOMPARE(p->TimeCounter(), 496);
    PropertyBag saved;
    p->save(saved);
    QCOMPARE(saved.read("TimeCounter", 0).toInt(), 496);
}

void TestPersistence::intervalStoredOnlyAfterAChange()
{
    Peer p;
    PropertyBag bag;
    p->save(bag);
    QVERIFY(!bag.contains("Interval"));
    p->setInterval(250);
    p->save(bag);
    QCOMPARE(bag.read("Interval", 0).toInt(), 250);
}

void TestPersistence::readOnlyValuesAreRestored()
{
    Peer p;
    PropertyBag bag;
    bag.set("Busy", true);
    bag.set("ProgressValue", 42);
    p->load(bag);
    QCOMPARE(p->Busy(), platform::VariantTrue);
    QCOMPARE(p->ProgressValue(), qint16(42));
    PropertyBag saved;
    p->save(saved);
    QCOMPARE(saved.read("Busy", false), QVariant(true));
    QCOMPARE(saved.read("ProgressValue", 0).toInt(), 42);
}

void TestPersistence::unconvertibleValueStopsTheRead()
{
    Peer p;
    PropertyBag bag;
    bag.set("RemotePort", 5);
    bag.set("ReciveFilePath", QStringLiteral("/restored"));
    bag.set("BufferSize", QStringLiteral("lots"));
    bag.set("Interval", 50);
    bag.set("TimeCounter", 9);
    QVERIFY_AUTOMATION_ERROR(p->load(bag), platform::err::TypeMismatch);
    QCOMPARE(p->RemotePort(), 5);                         // before the failing key: restored
    QCOMPARE(p->ReciveFilePath(), QStringLiteral("/restored"));
    QCOMPARE(p->BufferSize(), 100000);                    // the failing key keeps its value
    QCOMPARE(p->Interval(), 0);                           // after it: untouched
    QCOMPARE(p->TimeCounter(), 0);

    PropertyBag overflow;
    overflow.set("ProgressValue", 70000);
    QVERIFY_AUTOMATION_ERROR(p->load(overflow), platform::err::Overflow);
}

void TestPersistence::refusedSocketValueStopsTheRead()
{
    Peer p;
    p->Listen();
    PropertyBag bag;
    bag.set("LocalPort", 1234);
    bag.set("TimeCounter", 9);
    QVERIFY_AUTOMATION_ERROR(p->load(bag), platform::SocketComponent::InvalidOperation);
    QCOMPARE(p->TimeCounter(), 0);
    PropertyBag badPort;
    p->CloseAll();
    badPort.set("RemotePort", 70000);
    QVERIFY_AUTOMATION_ERROR(p->load(badPort), platform::SocketComponent::InvalidPropertyValue);
    PropertyBag badInterval;
    badInterval.set("Interval", -4);
    QVERIFY_AUTOMATION_ERROR(p->load(badInterval), platform::err::InvalidPropertyValue);
}

void TestPersistence::initialiseLeavesSocketAndTimerAlone()
{
    Peer p;
    p->setInterval(30);
    p->setRemotePort(77);
    p->setBufferSize(3);
    p->initNew();
    QCOMPARE(p->Interval(), 30);
    QCOMPARE(p->RemotePort(), 77);
    QCOMPARE(p->BufferSize(), 100000);
}

QTEST_MAIN(TestPersistence)
#include "tst_persistence.moc"
