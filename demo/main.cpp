// Velmora: a window that hosts one FileSender control.

#include "automation.h"
#include "controlsite.h"
#include "form1.h"

#include <QApplication>
#include <QLineEdit>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("velmora"));
    QApplication::setApplicationDisplayName(Form1::Title);
    std::unique_ptr<Form1> window;
    try {
        window = std::make_unique<Form1>();
    } catch (const platform::AutomationError &e) {
        platform::showMessageBox(
            QStringLiteral("Sender.FileSender cannot be created: %1\n\n"
                           "Register the control with ./run.sh, or with\n"
                           "component-register build/bin/libSender.so")
                .arg(e.description),
            platform::mbstyle::OkOnly, Form1::Title);
        return 1;
    }
    window->show();
    window->Text1->setFocus();
    return app.exec();
}
