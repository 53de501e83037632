// Two FileSender controls in one program, each secured by a connector of its own: one listens
// on 127.0.0.1 and shows a pairing code, the other connects with that code and says hello.
// Exits 0 when the message arrives over a connection both sides call secure, 1 otherwise.

#include <sender/filesender.h>
#include <sender/secureconnector.h>

#include <QApplication>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QTemporaryDir dir; // the known peers of both sides
    // The connectors outlive the controls' connections.
    secure::SecureConnector listening(secure::Identity::generate(), secure::KnownPeers(dir.filePath("listener")),
                                      QStringLiteral("listener"));
    secure::SecureConnector connecting(secure::Identity::generate(), secure::KnownPeers(dir.filePath("client")),
                                       QStringLiteral("client"));
    sender::FileSender listener;
    sender::FileSender client;
    listener.socket().setTransportProvider(&listening);
    client.socket().setTransportProvider(&connecting);
    listening.setAccepting(secure::SecureConnector::Accepting::SecureOnly);
    listening.setPairing(true);
    connecting.setConnectSecurely(true);
    connecting.setPairingCode(listening.pairingCode());
    int secured = 0;
    for (secure::SecureConnector *side : {&listening, &connecting})
        QObject::connect(side, &secure::SecureConnector::secured, &app, [&] { ++secured; });
    QString received;

    QObject::connect(&listener, &sender::FileSender::ReciveMessage, &app, [&](const QString &message) {
        received = message;
        app.quit();
    });
    auto *connected = new QTimer(&app);
    QObject::connect(connected, &QTimer::timeout, &app, [&] {
        if (listener.State() == 7 && client.State() == 7) { // both connected
            connected->stop();
            client.SendMessage(QStringLiteral("hello from a consumer"));
        }
    });
    QTimer::singleShot(20000, &app, &QApplication::quit);

    try {
        listener.setLocalPort(0); // any free port
        listener.Listen();
        client.Connect(QStringLiteral("127.0.0.1"), listener.LocalPort());
    } catch (const platform::AutomationError &e) {
        QTextStream(stderr) << "error " << e.number << ": " << e.description << "\n";
        return 1;
    }
    connected->start(10);
    app.exec();
    QTextStream(stdout) << "received: " << received << " (secured on " << secured << " sides)\n";
    return received == QStringLiteral("hello from a consumer") && secured == 2 ? 0 : 1;
}
