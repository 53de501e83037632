// The Qt Designer plugin, loaded as Designer loads it.

#include "filesender.h"
#include "testhelpers.h"

#include <QPluginLoader>
#include <QTest>
#include <QXmlStreamReader>
#include <QtUiPlugin/QDesignerCustomWidgetInterface>

using namespace platform;
using sender::FileSender;

class TestDesignerPlugin : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void describesTheControl();
    void domXmlPlacesAFileSender();
    void createsAControlInDesignMode_data();
    void createsAControlInDesignMode();

private:
    QDesignerCustomWidgetInterface *plugin = nullptr;
};

void TestDesignerPlugin::initTestCase()
{
    QPluginLoader loader(QStringLiteral(DESIGNER_PLUGIN_PATH));
    QVERIFY2(loader.load(), qPrintable(loader.errorString()));
    QCOMPARE(loader.metaData().value(QStringLiteral("IID")).toString(),
             QStringLiteral("org.qt-project.Qt.QDesignerCustomWidgetInterface"));
    plugin = qobject_cast<QDesignerCustomWidgetInterface *>(loader.instance());
    QVERIFY(plugin);
}

void TestDesignerPlugin::describesTheControl()
{
    QCOMPARE(plugin->name(), QStringLiteral("sender::FileSender"));
    QCOMPARE(plugin->group(), QStringLiteral("Velmora"));
    QCOMPARE(plugin->includeFile(), QStringLiteral("<sender/filesender.h>"));
    QVERIFY(!plugin->isContainer());
    QVERIFY(plugin->toolTip().contains(QStringLiteral("FileSender")));
    QVERIFY(plugin->whatsThis().contains(QStringLiteral("SendFile")));
    // The toolbox bitmap, with its silver background see-through.
    const QImage icon = plugin->icon().pixmap(QSize(16, 15)).toImage();
    QCOMPARE(icon.size(), QSize(16, 15));
    QCOMPARE(qAlpha(icon.pixel(0, 0)), 0);
    QCOMPARE(icon.pixelColor(8, 7), QColor(Qt::blue)); // the arrow
    QVERIFY(!plugin->isInitialized());
    plugin->initialize(nullptr);
    QVERIFY(plugin->isInitialized());
}

void TestDesignerPlugin::domXmlPlacesAFileSender()
{
    QXmlStreamReader xml(plugin->domXml());
    QStringList widgets;
    while (xml.readNextStartElement()) {
        if (xml.name() == u"ui")
            continue;
        if (xml.name() == u"widget")
            widgets << xml.attributes().value(QStringLiteral("class")).toString() + u' '
                       + xml.attributes().value(QStringLiteral("name")).toString();
        xml.skipCurrentElement();
    }
    QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
    QCOMPARE(widgets, QStringList{QStringLiteral("sender::FileSender fileSender")});
}

void TestDesignerPlugin::createsAControlInDesignMode_data()
{
    QTest::addColumn<DispId>("id");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<int>("error");

    // Read-only properties refuse a put as on a form being designed; writable ones take it.
    QTest::newRow("ProgressValue") << sender::dispid::ProgressValue << QVariant(5) << err::SetNotPermitted;
    QTest::newRow("Busy") << sender::dispid::Busy << QVariant(true) << err::SetNotPermitted;
    QTest::newRow("TimeCounter") << sender::dispid::TimeCounter << QVariant(3) << err::SetNotPermitted;
    QTest::newRow("BufferSize") << sender::dispid::BufferSize << QVariant(512) << 0;
}

void TestDesignerPlugin::createsAControlInDesignMode()
{
    QFETCH(DispId, id);
    QFETCH(QVariant, value);
    QFETCH(int, error);

    QWidget form;
    QWidget *widget = plugin->createWidget(&form);
    auto *control = qobject_cast<FileSender *>(widget);
    QVERIFY(control);
    QCOMPARE(widget->parentWidget(), &form);
    QCOMPARE(control->BufferSize(), 100000); // brought to its initial values
    QVariantList args{value};
    const InvokeResult r = control->dispatch().invoke(id, InvokeKind::PropertyPut, args);
    QCOMPARE(r.ok() ? 0 : r.error->number, error);

    // Designer's property editor writes through the meta-object: the same refusal, logged.
    const QByteArray name = QTest::currentDataTag();
    const QVariant before = control->property(name.constData());
    if (error)
        QTest::ignoreMessage(QtWarningMsg, qPrintable(QStringLiteral("FileSender: %1 refused: %2")
                                                          .arg(QString::fromLatin1(name), standardErrorDescription(error))));
    QVERIFY(control->setProperty(name.constData(), value));
    QCOMPARE(control->property(name.constData()), error ? before : value);
}

QTEST_MAIN(TestDesignerPlugin)
#include "tst_designerplugin.moc"
