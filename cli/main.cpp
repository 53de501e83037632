// velmora-cli: a command-line host of the FileSender control.

#include "clidiscovery.h"
#include "clioptions.h"
#include "clisession.h"
#include "exitguard.h"
#include "conversions.h"
#include "peerbook.h"
#include "secureconnector.h"
#include "servesession.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTextStream>

#include <unistd.h>

int main(int argc, char **argv)
{
    ExitGuard::holdTerminationSignals();
    // The control is a widget, but this host shows no window: the minimal platform needs no
    // display and loads no fonts (the offscreen one reads the font configuration at exit, which
    // costs tens of milliseconds a run).
    qputenv("QT_QPA_PLATFORM", "minimal");
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
        const QString runtime = QDir::tempPath() + QStringLiteral("/runtime-velmora-%1").arg(getuid());
        if (QDir().mkpath(runtime)) {
            QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
            qputenv("XDG_RUNTIME_DIR", runtime.toLocal8Bit());
        }
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("velmora-cli"));
    QApplication::setApplicationVersion(QStringLiteral(VELMORA_VERSION));
    const CliCommand command = parseCliCommand(app.arguments());
    auto usageError = [](const QString &why) {
        QTextStream(stderr) << "velmora-cli: " << why << "\n" << cliUsage() << "\n"
                            << "Try 'velmora-cli --help' for more.\n";
        return cliexit::Usage;
    };
    switch (command.kind) {
    case CliCommand::Kind::Help:
        QTextStream(stdout) << cliHelp();
        return cliexit::Done;
    case CliCommand::Kind::Version:
        QTextStream(stdout) << cliVersion() << "\n";
        return cliexit::Done;
    case CliCommand::Kind::UsageError:
        return usageError(command.error);
    case CliCommand::Kind::Run:
        break;
    }
    QString error;
    if (!platform::chooseWireEncoding(command.options.encoding, &error)) {
        QTextStream(stderr) << "velmora-cli: " << error << "\n";
        return cliexit::Usage;
    }
    CliOptions options = command.options;
    if (options.managesPeers())
        return runPeerCommand(options);
    for (const QString &note : options.notes)
        QTextStream(stderr) << "velmora-cli: " << note << "\n";
    CliDiscovery discovery(options);
    if (options.discover)
        return discovery.listPeers();
    if (!options.peerName.isEmpty()) {
        if (const int status = discovery.lookUp(options))
            return status;
    }
    QString why;
    auto connector = makeConnector(options, &why);
    if (!connector && !why.isEmpty()) {
        QTextStream(stderr) << "velmora-cli: " << why << "\n";
        return cliexit::Failed;
    }
    if (options.serve) {
        ServeSession serve(options, std::move(connector));
        discovery.announce([&serve] { return serve.announcedText(); });
        QObject::connect(&serve, &ServeSession::listeningChanged, &discovery, &CliDiscovery::listening);
        return serve.run();
    }
    CliSession session(options, std::move(connector));
    discovery.announce([&session] { return session.announcedText(); });
    QObject::connect(&session, &CliSession::listeningChanged, &discovery, &CliDiscovery::listening);
    return session.run();
}
