// Velmora: a window that hosts one FileSender control.

#include "form1.h"

#include <QApplication>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("velmora"));
    QApplication::setApplicationDisplayName(Form1::Title);
    return Form1::runProgram();
}
