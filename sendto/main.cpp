// velmora-send: sends the files and folders it is given to a peer chosen in a dialog; the
// file managers' "Send to" entries call it.

#include "senddialog.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTextStream>
#include <QUrl>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("velmora-send"));
    QApplication::setApplicationVersion(QStringLiteral(VELMORA_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("velmora-send"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Sends files and folders to a peer (Velmora or velmora-cli) chosen in a dialog from those found on "
        "the network, or given as HOST:PORT; a secure peer not paired yet asks for the code it shows."));
    const QCommandLineOption help({"h", "help"}, QStringLiteral("Show this help and exit."));
    const QCommandLineOption version({"v", "version"}, QStringLiteral("Show the version and exit."));
    parser.addOptions({help, version});
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("Files and folders to send, or file:// URLs."),
                                 QStringLiteral("FILE..."));
    if (!parser.parse(QApplication::arguments())) {
        QTextStream(stderr) << "velmora-send: " << parser.errorText() << "\nTry 'velmora-send --help' for more.\n";
        return 2;
    }
    if (parser.isSet(help)) {
        QString text = parser.helpText();
        text.replace(0, text.indexOf(u'\n'), QStringLiteral("Usage: velmora-send [options] FILE..."));
        QTextStream(stdout) << text
                            << "\nExit status:\n"
                               "  0  every file reached the peer\n"
                               "  1  some did not, or the dialog was closed before they went\n"
                               "  2  bad usage\n";
        return 0;
    }
    if (parser.isSet(version)) {
        QTextStream(stdout) << "velmora-send " << VELMORA_VERSION << "\n";
        return 0;
    }
    QStringList paths;
    for (const QString &arg : parser.positionalArguments()) {
        // "Open with" and the file managers give paths, or file:// URLs.
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
