// velmora-cli: a command-line host of the FileSender control.

#include "clioptions.h"
#include "clisession.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTextStream>

#include <unistd.h>

int main(int argc, char **argv)
{
    // The control is a widget, but this host shows no window.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
        const QString runtime = QDir::tempPath() + QStringLiteral("/runtime-velmora-%1").arg(getuid());
        if (QDir().mkpath(runtime)) {
            QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
            qputenv("XDG_RUNTIME_DIR", runtime.toLocal8Bit());
        }
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("velmora-cli"));
    const QStringList args = app.arguments().mid(1);
    if (args.contains(QStringLiteral("--help")) || args.contains(QStringLiteral("-h"))) {
        QTextStream(stdout) << cliUsage() << "\n";
        return 0;
    }
    QString error;
    const auto options = parseCliOptions(args, &error);
    if (options)
        error = checkCliOptions(*options);
    if (!options || !error.isEmpty()) {
        QTextStream(stderr) << "velmora-cli: " << error << "\n" << cliUsage() << "\n";
        return 2;
    }
    CliSession session(*options);
    return session.run();
}
