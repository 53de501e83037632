// velmora-send: sends the files and folders it is given to a peer chosen in a dialog; the
// file managers' "Send to" entries call it.

#include "senddialog.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QUrl>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("velmora-send"));
    QApplication::setApplicationVersion(QStringLiteral(VELMORA_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("velmora-send"));
    QStringList paths;
    for (const QString &arg : app.arguments().mid(1)) {
        // "Open with" and the file managers give paths, or file:// URLs (%F and %U alike).
        const QUrl url(arg);
        paths << (url.isLocalFile() ? url.toLocalFile() : QFileInfo(arg).absoluteFilePath());
    }
    // The velmora-cli beside this program, else the one on the PATH.
    QString cli = QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("velmora-cli"));
    if (!QFileInfo(cli).isExecutable())
        cli = QStandardPaths::findExecutable(QStringLiteral("velmora-cli"));
    SendDialog dialog(paths, cli);
    dialog.show();
    app.exec();
    return dialog.allSent() ? 0 : 1;
}
