#include "testhelpers.h"
#include "timer.h"

#include <QSignalSpy>
#include <QTest>

using namespace platform;

class TestTimer : public QObject
{
    Q_OBJECT
private slots:
    void ticksOnlyWhenEnabledWithPositiveInterval();
    void negativeIntervalRefused();
    void intervalChangeAppliesToFollowingTicks();
};

void TestTimer::ticksOnlyWhenEnabledWithPositiveInterval()
{
    Timer t;
    QSignalSpy ticks(&t, &Timer::tick);
    QCOMPARE(t.Enabled(), false);
    QCOMPARE(t.Interval(), 0);
    t.setEnabled(true); // interval 0: no ticks
    QTest::qWait(60);
    QCOMPARE(ticks.count(), 0);
    t.setEnabled(false);
    t.setInterval(10); // disabled: no ticks
    QTest::qWait(60);
    QCOMPARE(ticks.count(), 0);
    t.setEnabled(true);
    QTRY_VERIFY(ticks.count() >= 3);
    t.setInterval(0);
    const auto stopped = ticks.count();
    QTest::qWait(60);
    QCOMPARE(ticks.count(), stopped);
    QCOMPARE(t.Enabled(), true);
}

void TestTimer::negativeIntervalRefused()
{
    Timer t;
    t.setInterval(25);
    QVERIFY_AUTOMATION_ERROR(t.setInterval(-1), err::InvalidPropertyValue);
    QCOMPARE(t.Interval(), 25);
    t.setInterval(2147483647);
    QCOMPARE(t.Interval(), 2147483647);
}

void TestTimer::intervalChangeAppliesToFollowingTicks()
{
    Timer t;
    t.setInterval(3600000); // an hour: a tick within the test can only come from the new interval
    t.setEnabled(true);
    QSignalSpy ticks(&t, &Timer::tick);
    t.setInterval(20);
    QTRY_VERIFY_WITH_TIMEOUT(ticks.count() > 0, 30000);
}

QTEST_GUILESS_MAIN(TestTimer)
#include "tst_timer.moc"
