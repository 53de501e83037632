// Velmora: a window that hosts one FileSender control.

#include "conversions.h"
#include "discoveryclient.h"
#include "form1.h"

#include <QApplication>
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QTextStream>

int main(int argc, char **argv)
{
    QApplication app(argc, argv); // takes its own options (-platform, -style, ...) first
    QApplication::setApplicationName(QStringLiteral("velmora"));
    QApplication::setApplicationDisplayName(Form1::Title);
    QApplication::setApplicationVersion(QStringLiteral(VELMORA_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "A window that exchanges text messages and files with a peer (Velmora or velmora-cli) over one TCP "
        "connection. Qt's own options (-platform, -style, ...) work as in every Qt program."));
    const QCommandLineOption help({"h", "help"}, QStringLiteral("Show this help and exit."));
    const QCommandLineOption version({"v", "version"}, QStringLiteral("Show the version and exit."));
    const QCommandLineOption encoding(
        "encoding",
        QStringLiteral("Strings on the wire in encoding NAME (GBK, GB18030, Big5, UTF-8, ...); default "
                       "$VELMORA_WIRE_ENCODING, else the system's own."),
        QStringLiteral("NAME"));
    const QCommandLineOption name("name", QStringLiteral("Announce the window as NAME while it listens (default: the host name)."),
                                  QStringLiteral("NAME"));
    parser.addOptions({help, version, encoding, name});

    auto usageError = [](const QString &why) {
        QTextStream(stderr) << "velmora: " << why << "\nTry 'velmora --help' for more.\n";
        return 2;
    };
    if (!parser.parse(QApplication::arguments()))
        return usageError(parser.errorText());
    if (!parser.positionalArguments().isEmpty())
        return usageError(QStringLiteral("unknown argument: ") + parser.positionalArguments().first());
    if (parser.isSet(help)) {
        QString text = parser.helpText();
        text.replace(0, text.indexOf(u'\n'), QStringLiteral("Usage: velmora [options]")); // not the path it was started by
        QTextStream(stdout) << text
                            << "\nExit status:\n"
                               "  0  the window was closed\n"
                               "  1  the control could not be created (said in a message box)\n"
                               "  2  bad usage or an unknown encoding (the reason on stderr)\n";
        return 0;
    }
    if (parser.isSet(version)) {
        QTextStream(stdout) << "velmora " << VELMORA_VERSION << "\n";
        return 0;
    }
    QString error;
    if (!platform::chooseWireEncoding(parser.isSet(encoding) ? std::optional(parser.value(encoding)) : std::nullopt,
                                      &error))
        return usageError(error);
    if (parser.isSet(name) && !discovery::isValidInstanceName(parser.value(name)))
        return usageError(QStringLiteral("--name takes 1 to 63 bytes: ") + parser.value(name));
    return Form1::runProgram(parser.value(name));
}
