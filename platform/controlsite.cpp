#include "controlsite.h"

#include <QApplication>
#include <QMessageBox>

namespace platform {

ControlSite::~ControlSite() = default;

int DefaultControlSite::messageBox(const QString &text, int style, const QString &title)
{
    return showMessageBox(text, style, title);
}

DefaultControlSite &DefaultControlSite::instance()
{
    static DefaultControlSite site;
    return site;
}

int showMessageBox(const QString &text, int style, const QString &title, QWidget *owner)
{
    QMessageBox box(owner ? owner : QApplication::activeWindow());
    if (owner)
        box.setWindowModality(Qt::WindowModal);
    box.setWindowTitle(title.isEmpty() ? QGuiApplication::applicationDisplayName() : title);
    box.setText(text);
    box.setIcon((style & 0x70) == mbstyle::Question ? QMessageBox::Question : QMessageBox::NoIcon);
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
    return 1;
}

} // namespace platform
