#include "controlsite.h"

#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

using namespace platform;

class TestControlSite : public QObject
{
    Q_OBJECT
private slots:
    void messageBoxStyles_data();
    void messageBoxStyles();
    void defaultSite();
};

void TestControlSite::messageBoxStyles_data()
{
    QTest::addColumn<int>("style");
    QTest::addColumn<QString>("title");
    QTest::addColumn<int>("icon");
    QTest::addColumn<QString>("shownTitle");
    QTest::newRow("question, host's name") << 32 << "" << int(QMessageBox::Question) << "HostApp";
    QTest::newRow("plain, own title") << 0 << "Velmora" << int(QMessageBox::NoIcon) << "Velmora";
}

void TestControlSite::messageBoxStyles()
{
    QFETCH(int, style);
    QFETCH(QString, title);
    QFETCH(int, icon);
    QFETCH(QString, shownTitle);
    QGuiApplication::setApplicationDisplayName(QStringLiteral("HostApp"));
    QString seenText, seenTitle;
    int seenIcon = -1;
    int buttons = 0;
    QTimer::singleShot(50, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        QVERIFY(box);
        seenText = box->text();
        seenTitle = box->windowTitle();
        seenIcon = box->icon();
        buttons = box->buttons().size();
        box->accept();
    });
    QCOMPARE(showMessageBox(QStringLiteral("忙"), style, title), 1);
    QCOMPARE(seenText, QStringLiteral("忙"));
    QVERIFY(seenTitle.startsWith(shownTitle));
    QCOMPARE(seenIcon, icon);
    QCOMPARE(buttons, 1);
}

void TestControlSite::defaultSite()
{
    DefaultControlSite &site = DefaultControlSite::instance();
    QVERIFY(site.ambientUserMode());
    site.propertyChanged(QStringLiteral("BufferSize")); // accepted and dropped
}

QTEST_MAIN(TestControlSite)
#include "tst_controlsite.moc"
