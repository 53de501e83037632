#pragma once
// FileSenderPlugin: offers the FileSender control in Qt Designer's widget box.

#include <QObject>
#include <QtUiPlugin/QDesignerCustomWidgetInterface>

class FileSenderPlugin : public QObject, public QDesignerCustomWidgetInterface
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "org.qt-project.Qt.QDesignerCustomWidgetInterface")
    Q_INTERFACES(QDesignerCustomWidgetInterface)
public:
    explicit FileSenderPlugin(QObject *parent = nullptr);

    QString name() const override;
    QString group() const override;
    QString toolTip() const override;
    QString whatsThis() const override;
    QString includeFile() const override;
    QIcon icon() const override;
    bool isContainer() const override;
    QString domXml() const override;
    /// A FileSender in design mode: its site reports the host's ambient user mode as off.
    QWidget *createWidget(QWidget *parent) override;
    bool isInitialized() const override;
    void initialize(QDesignerFormEditorInterface *core) override;

private:
    bool m_initialized = false;
};
