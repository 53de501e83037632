// Two FileSender controls in one program: one listens on 127.0.0.1, the other connects and
// says hello. Exits 0 when the message arrives, 1 otherwise.

#include <sender/filesender.h>

#include <QApplication>
#include <QTextStream>
#include <QTimer>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    sender::FileSender listener;
    sender::FileSender client;
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
    QTextStream(stdout) << "received: " << received << "\n";
    return received == QStringLiteral("hello from a consumer") ? 0 : 1;
}
