// FileSender as Designer and uic see it: its Qt properties, and a form made with uic.

#include "testhelpers.h"
#include "ui_senderform.h"

#include <QMetaProperty>
#include <QTest>

using sender::FileSender;

class TestDesignerForm : public QObject
{
    Q_OBJECT
private slots:
    void formSetsProperties();
    void qtProperties_data();
    void qtProperties();
    void writesThroughTheMetaObject_data();
    void writesThroughTheMetaObject();
};

void TestDesignerForm::formSetsProperties()
{
    // Designer writes these with stdset="0", so uic sets them through the meta-object.
    QWidget form;
    Ui::SenderForm ui;
    ui.setupUi(&form);
    QCOMPARE(ui.fileSender->RemoteHost(), QStringLiteral("127.0.0.1"));
    QCOMPARE(ui.fileSender->BufferSize(), 4096);
    QCOMPARE(ui.fileSender->RemotePort(), 0); // not set in the form
}

void TestDesignerForm::qtProperties_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("writable"); // shown in Designer's property editor
    QTest::addColumn<bool>("stored");   // written into forms

    for (const char *name : {"LocalPort", "RemoteHost", "RemotePort", "ReciveFilePath", "BufferSize", "Interval"})
        QTest::newRow(name) << QByteArray(name) << true << true;
    for (const char *name : {"ProgressValue", "Busy", "TimeCounter"})
        QTest::newRow(name) << QByteArray(name) << true << false;
    for (const char *name : {"LocalIP", "LocalHostName", "RemoteHostIP", "State"})
        QTest::newRow(name) << QByteArray(name) << false << false;
}

void TestDesignerForm::qtProperties()
{
    QFETCH(QByteArray, name);
    QFETCH(bool, writable);
    QFETCH(bool, stored);

    FileSender control;
    const QMetaObject *meta = control.metaObject();
    const int index = meta->indexOfProperty(name.constData());
    QVERIFY2(index >= meta->propertyOffset(), "a property of FileSender itself");
    const QMetaProperty property = meta->property(index);
    QCOMPARE(property.isWritable(), writable);
    QCOMPARE(property.isStored(), stored);
    QVERIFY(property.isDesignable());
    QVERIFY(property.read(&control).isValid());
}

void TestDesignerForm::writesThroughTheMetaObject_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QVariant>("expected");
    QTest::addColumn<QString>("refusal"); // the logged reason, "" when the value is taken

    QTest::newRow("LocalPort") << QByteArray("LocalPort") << QVariant(40123) << QVariant(40123) << "";
    QTest::newRow("RemoteHost") << QByteArray("RemoteHost") << QVariant("127.0.0.1") << QVariant("127.0.0.1") << "";
    QTest::newRow("RemotePort") << QByteArray("RemotePort") << QVariant(40124) << QVariant(40124) << "";
    QTest::newRow("ReciveFilePath") << QByteArray("ReciveFilePath") << QVariant("/tmp/in.bin") << QVariant("/tmp/in.bin") << "";
    QTest::newRow("BufferSize") << QByteArray("BufferSize") << QVariant(8192) << QVariant(8192) << "";
    QTest::newRow("Interval") << QByteArray("Interval") << QVariant(25) << QVariant(25) << "";
    // Refused values must not throw through Qt's meta-object code.
    const QString invalid = QStringLiteral("Invalid property value");
    QTest::newRow("negative interval") << QByteArray("Interval") << QVariant(-1) << QVariant(0) << invalid;
    QTest::newRow("port above 65535") << QByteArray("LocalPort") << QVariant(70000) << QVariant(0) << invalid;
    QTest::newRow("negative remote port") << QByteArray("RemotePort") << QVariant(-5) << QVariant(0) << invalid;
    const QString atRunTime = QStringLiteral("Set not supported at runtime");
    QTest::newRow("ProgressValue") << QByteArray("ProgressValue") << QVariant(5) << QVariant(0) << atRunTime;
    QTest::newRow("Busy") << QByteArray("Busy") << QVariant(true) << QVariant(false) << atRunTime;
    QTest::newRow("TimeCounter") << QByteArray("TimeCounter") << QVariant(9) << QVariant(0) << atRunTime;
}

void TestDesignerForm::writesThroughTheMetaObject()
{
    QFETCH(QByteArray, name);
    QFETCH(QVariant, value);
    QFETCH(QVariant, expected);
    QFETCH(QString, refusal);

    FileSender control;
    if (!refusal.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, qPrintable(QStringLiteral("FileSender: %1 refused: %2").arg(name, refusal)));
    QVERIFY(control.setProperty(name.constData(), value));
    QCOMPARE(control.property(name.constData()), expected);
}

QTEST_MAIN(TestDesignerForm)
#include "tst_designerform.moc"
