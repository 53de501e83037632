#include "filesenderplugin.h"

#include "controlsite.h"
#include "filesender.h"

#include <QBitmap>
#include <QIcon>
#include <QImage>
#include <QPixmap>

namespace {

// The site of every control on a form being designed.
class DesignSite : public platform::ControlSite
{
public:
    bool ambientUserMode() const override { return false; }
    void propertyChanged(const QString &) override {}
    int messageBox(const QString &text, int style, const QString &title) override
    {
        return platform::showMessageBox(text, style, title);
    }
};

DesignSite &designSite()
{
    // Never destroyed: controls Designer still holds may outlive the plugin's statics.
    static auto *site = new DesignSite;
    return *site;
}

} // namespace

FileSenderPlugin::FileSenderPlugin(QObject *parent)
    : QObject(parent)
{
}

QString FileSenderPlugin::name() const { return QStringLiteral("sender::FileSender"); }
QString FileSenderPlugin::group() const { return QStringLiteral("Velmora"); }

QString FileSenderPlugin::toolTip() const
{
    return QStringLiteral("FileSender: files and text messages to a peer over TCP");
}

QString FileSenderPlugin::whatsThis() const
{
    return QStringLiteral("The FileSender control connects to a peer FileSender (Connect or Listen) "
                          "and exchanges files (SendFile) and text messages (SendMessage) with it over "
                          "one TCP connection. It shows no data itself: handle its signals.");
}

QString FileSenderPlugin::includeFile() const { return QStringLiteral("<sender/filesender.h>"); }

QIcon FileSenderPlugin::icon() const
{
    // The control's toolbox bitmap; its silver background is see-through.
    QPixmap bitmap(QStringLiteral(":/Sender/30000"));
    if (!bitmap.isNull())
        bitmap.setMask(bitmap.createMaskFromColor(QColor(0xc0, 0xc0, 0xc0)));
    return QIcon(bitmap);
}

bool FileSenderPlugin::isContainer() const { return false; }

QString FileSenderPlugin::domXml() const
{
    return QStringLiteral(R"(<ui language="c++" displayname="FileSender">
 <widget class="sender::FileSender" name="fileSender"/>
</ui>
)");
}

QWidget *FileSenderPlugin::createWidget(QWidget *parent)
{
    auto *control = new sender::FileSender(parent);
    control->setSite(&designSite());
    control->initNew();
    return control;
}

bool FileSenderPlugin::isInitialized() const { return m_initialized; }
void FileSenderPlugin::initialize(QDesignerFormEditorInterface *) { m_initialized = true; }
