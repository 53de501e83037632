// Peer discovery through an Avahi daemon that answers on lo only (tests/with_avahi.sh starts it):
// velmora-cli announcing, --discover, --connect NAME, the window, and life without a daemon.

#include "clirun.h"
#include "discoveryclient.h"
#include "filesenderinterface.h"
#include "form1.h"
#include "multilinetextbox.h"
#include "peeroffer.h"
#include "senddialog.h"
#include "serviceannouncer.h"
#include "windowsecurity.h"
#include "testhelpers.h"

#include <QAction>
#include <QApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMimeData>
#include <QDir>
#include <QDropEvent>
#include <QUrl>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>
#include <vector>

namespace {

using testing::waitFor;

// A velmora-cli process of this build.
struct Run : testing::CliRun
{
    QByteArray err;

    void start(const QStringList &args, const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
    {
        process->setProcessEnvironment(env);
        CliRun::start(QStringLiteral(VELMORA_CLI_PATH), args);
    }
    /// Starts a listener announced as `name`.
    void listenAs(const QString &name, const QStringList &more = {})
    {
        start(QStringList{"--listen", "0", "--name", name, "--timeout", "120"} + more);
    }
    QStringList errorLines()
    {
        err += process->readAllStandardError();
        return QString::fromUtf8(err).split(u'\n', Qt::SkipEmptyParts);
    }
    bool waitForLine(const QString &line, int timeoutMs = 30000)
    {
        return waitFor([&] { return lines().contains(line); }, timeoutMs);
    }
    /// Waits for "listening: PORT" and returns the port (0 when it does not come).
    int waitForPort()
    {
        int port = 0;
        waitFor([&] {
            for (const QString &line : lines()) {
                if (line.startsWith(QStringLiteral("listening: ")))
                    port = line.mid(11).toInt();
            }
            return port > 0;
        }, 30000);
        return port;
    }
};

// A name no other run on this machine uses.
QString uniqueName(const QString &what)
{
    return QStringLiteral("velmora test %1 %2").arg(what).arg(QCoreApplication::applicationPid());
}

// How velmora-cli prints an event: the text line, or with --json the JSON object.
QString printed(bool json, const QString &text, const QJsonObject &object)
{
    return json ? QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)) : text;
}

// A client that finds no system bus, as on a machine without the daemon.
QProcessEnvironment withoutBus(const QTemporaryDir &dir)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), QStringLiteral("unix:path=") + dir.filePath("no-bus"));
    return env;
}

} // namespace

class TestDiscovery : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void listenerIsFoundAndGone_data();
    void listenerIsFoundAndGone();
    void nameClashTakesTheAlternative();
    void connectByName();
    void unknownNameExitsOne();
    void withoutDaemon();
    void windowOffersPeersAndAnnouncesItself();
    void sendDialogPairsAndSends();
    void sendDialogResumesABrokenSend();
    void sendDialogShowsOneBarForABatch();
    // Last: the 40 services it withdraws stay in the daemon's cache for a second, over its limit.
    void daemonLimitIsSaid();

private:
    QTemporaryDir dir;
};

// The "Send to" dialog lists an announced peer as secure, asks for the code it shows, and sends.
void TestDiscovery::sendDialogPairsAndSends()
{
    QTemporaryDir files;
    testing::makeRandomFile(files.filePath("report.pdf"), 300000);
    Run listener;
    const QString name = uniqueName(QStringLiteral("send to"));
    listener.listenAs(name, {"--receive-dir", files.filePath("in"), "--once"});
    QString code;
    QVERIFY(waitFor([&] {
        for (const QString &line : listener.lines()) {
            if (line.startsWith(QStringLiteral("pairing code: ")))
                code = line.mid(14);
        }
        return !code.isEmpty();
    }, 30000));
    SendDialog dialog({files.filePath("report.pdf")}, QStringLiteral(VELMORA_CLI_PATH));
    QStringList asked;
    dialog.setCodePrompt([&](const QString &peer) {
        asked << peer;
        return asked.size() == 1 ? QStringLiteral("not a code") : code;
    });
    QListWidgetItem *item = nullptr;
    QVERIFY(waitFor([&] {
        item = dialog.peerList()->findItems(name + QStringLiteral(" (secure)"), Qt::MatchExactly).value(0);
        return item != nullptr;
    }, 30000));
    QVERIFY(!dialog.sendButton()->isEnabled());
    dialog.peerList()->setCurrentItem(item);
    dialog.sendButton()->click();
    QVERIFY2(waitFor([&] { return dialog.allSent(); }, 60000), qPrintable(dialog.status()));
    QCOMPARE(asked, (QStringList{name, name})); // asked again until six digits come
    QCOMPARE(dialog.status(), QStringLiteral("Sent 1 of 1 files (300.0 kB)."));
    QCOMPARE(listener.finish(), 0);
    QCOMPARE(testing::fileDigest(files.filePath("in/report.pdf")), testing::fileDigest(files.filePath("report.pdf")));
}

// A file whose send broke goes again from the dialog to the same paired peer: only the rest
// crosses, and the dialog says so.
void TestDiscovery::sendDialogResumesABrokenSend()
{
    QTemporaryDir files;
    const QString source = files.filePath("film.mkv");
    testing::makeRandomFile(source, 16 * 1024 * 1024);
    const QString name = uniqueName(QStringLiteral("resume"));
    Run pairing[2], receiver, sender, receiver2;
    testing::pairRuns(QStringLiteral(VELMORA_CLI_PATH), pairing[0], pairing[1], {"--name", name});
    receiver.home = std::move(pairing[0].home);
    sender.home = std::move(pairing[1].home);
    const QStringList receive{"--receive-dir", files.filePath("in"), "--once"};
    receiver.listenAs(name, receive);
    const int port = receiver.waitForPort();
    QVERIFY(port > 0);
    sender.CliRun::start(QStringLiteral(VELMORA_CLI_PATH), {"--connect", name, "--send", source, "--chunk", "65536",
                                                             "--interval", "10", "--timeout", "60"});
    QVERIFY(waitFor([&] { return testing::receivedSoFar(files.filePath("in/film.mkv")) > 1024 * 1024; }, 30000));
    sender.process->kill();
    sender.finish();
    receiver.finish();
    receiver2.home = std::move(receiver.home);
    // On the same port: what the network still caches of the first announcement leads there too.
    receiver2.start(QStringList{"--listen", QString::number(port), "--name", name, "--timeout", "120"} + receive);
    QVERIFY(receiver2.waitForPort() > 0);
    // The dialog's velmora-cli runs with the sending side's identity and known peers.
    const QByteArray data = qgetenv("XDG_DATA_HOME"), config = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_DATA_HOME", QFile::encodeName(sender.home->filePath("data")));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(sender.home->filePath("config")));
    const auto restore = qScopeGuard([&] {
        qputenv("XDG_DATA_HOME", data);
        qputenv("XDG_CONFIG_HOME", config);
    });
    SendDialog dialog({source}, QStringLiteral(VELMORA_CLI_PATH));
    QListWidgetItem *item = nullptr;
    QVERIFY(waitFor([&] {
        item = dialog.peerList()->findItems(name, Qt::MatchStartsWith).value(0);
        return item != nullptr;
    }, 30000));
    dialog.peerList()->setCurrentItem(item);
    dialog.sendButton()->click();
    QVERIFY2(waitFor([&] { return dialog.allSent(); }, 60000), qPrintable(dialog.status()));
    QCOMPARE(dialog.status(), QStringLiteral("Sent 1 of 1 files (16.8 MB). 1 of them resumed where a broken send had stopped."));
    QCOMPARE(receiver2.finish(), 0);
    QCOMPARE(receiver2.lines().filter("resumed: ").size(), 1);
    QCOMPARE(testing::fileDigest(files.filePath("in/film.mkv")), testing::fileDigest(source));
}

// A batch shows one bar for all its files and the count beside it. The dialog runs a stand-in
// for velmora-cli that says what a batch send says and holds half way until the test lets it go.
void TestDiscovery::sendDialogShowsOneBarForABatch()
{
    QTemporaryDir files;
    QVERIFY(QDir().mkpath(files.filePath("batch")));
    for (const char *name : {"a.txt", "b.txt", "c.txt"})
        testing::makeRandomFile(files.filePath(QStringLiteral("batch/") + QLatin1String(name)), 1000);
    const QString cli = files.filePath("velmora-cli");
    QFile script(cli);
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write(QStringLiteral(R"(#!/bin/sh
echo '{"event":"batch","files":3,"bytes":3000}'
echo '{"event":"progress","files":1,"of":3,"done":1500,"size":3000,"sending":true}'
while [ ! -e '%1' ]; do sleep 0.01; done
for f in a b c; do echo "{\"event\":\"sent\",\"path\":\"$f.txt\",\"size\":1000}"; done
echo '{"event":"progress","files":3,"of":3,"done":3000,"size":3000,"sending":true}'
)").arg(files.filePath("go")).toUtf8());
    script.close();
    QVERIFY(script.setPermissions(script.permissions() | QFileDevice::ExeOwner));
    SendDialog dialog({files.filePath("batch")}, cli);
    dialog.addressBox()->setText(QStringLiteral("127.0.0.1:1"));
    dialog.sendButton()->click();
    auto *bar = dialog.findChild<QProgressBar *>();
    QVERIFY2(waitFor([&] { return dialog.status() == QStringLiteral("Sending 2 of 3 files…"); }), qPrintable(dialog.status()));
    QCOMPARE(bar->value(), (bar->maximum() - bar->minimum()) / 2);
    QVERIFY(QFile(files.filePath("go")).open(QIODevice::WriteOnly));
    QVERIFY2(waitFor([&] { return dialog.allSent(); }), qPrintable(dialog.status()));
    QCOMPARE(bar->value(), bar->maximum());
    QCOMPARE(dialog.status(), QStringLiteral("Sent 3 of 3 files (3.0 kB)."));
}

void TestDiscovery::initTestCase()
{
    // The window creates its control through a registry of its own.
    qputenv("COMPONENT_REGISTRY", dir.filePath("registry.ini").toLocal8Bit());
    QProcess reg;
    reg.start(QStringLiteral(COMPONENT_REGISTER_PATH), {QStringLiteral(SENDER_LIBRARY_PATH)});
    QVERIFY(reg.waitForFinished(30000));
    QCOMPARE(reg.exitCode(), 0);
}

void TestDiscovery::listenerIsFoundAndGone_data()
{
    QTest::addColumn<bool>("json");
    QTest::addColumn<bool>("restart"); // the daemon restarts while the listener is announced
    // A name from the network is printed on one line, whatever it holds.
    QTest::newRow("text") << false << false;
    QTest::newRow("json") << true << false;
    QTest::newRow("across a restart of the daemon") << false << true;
}

void TestDiscovery::listenerIsFoundAndGone()
{
    QFETCH(bool, json);
    QFETCH(bool, restart);
    const QString name = uniqueName(QStringLiteral("found")) + QChar(QChar::LineSeparator) + QStringLiteral("peer: x");
    const QString shown = QString(name).replace(QChar(QChar::LineSeparator), QStringLiteral("\\u2028"));
    const QStringList format = json ? QStringList{"--json"} : QStringList{};
    Run listener;
    listener.listenAs(name, format);
    Run browser;
    browser.start(QStringList{"--discover", "--timeout", "120"} + format);

    int port = 0;
    QVERIFY(waitFor([&] {
        for (const QString &line : listener.lines()) {
            if (json && line.contains("listening"))
                port = QJsonDocument::fromJson(line.toUtf8()).object().value("port").toInt();
            else if (line.startsWith("listening: "))
                port = line.mid(11).toInt();
        }
        return port > 0;
    }, 30000));
    const QString announced = printed(json, "announced: " + shown, {{"event", "announced"}, {"name", name}});
    // A listener announces that it takes secure peers.
    const QString found = printed(json, QStringLiteral("peer: %1 127.0.0.1:%2 (secure)").arg(shown).arg(port),
                                  {{"event", "peer"}, {"name", name}, {"host", "127.0.0.1"}, {"addresses", QJsonArray{"127.0.0.1"}}, {"port", port},
                                   {"secure", true}, {"paired", false}, {"impostor", false}});
    const QString gone = printed(json, "gone: " + shown, {{"event", "gone"}, {"name", name}});
    QVERIFY2(listener.waitForLine(announced), listener.out.constData());
    QVERIFY2(browser.waitForLine(found), browser.out.constData());
    if (restart) {
        // Both find the daemon again: the listener is announced anew and found anew.
        const qint64 restarter = qEnvironmentVariableIntValue("VELMORA_TEST_AVAHI_RESTARTER");
        QVERIFY2(restarter > 0, "with_avahi.sh names no restarter");
        ::kill(pid_t(restarter), SIGUSR1);
        QVERIFY2(waitFor([&] { return listener.count(announced) == 2; }, 60000), listener.out.constData());
        QVERIFY2(waitFor([&] { return browser.count(found) == 2; }, 60000), browser.out.constData());
        QCOMPARE(browser.count(gone), 1);
        QCOMPARE(listener.errorLines(), QStringList{"velmora-cli: the Avahi daemon went away; the listener is "
                                                    "announced again once it is back"});
        QCOMPARE(browser.errorLines(), QStringList{"velmora-cli: the Avahi daemon went away; peers are looked for "
                                                   "again once it is back"});
    }

    listener.process->terminate();
    QCOMPARE(listener.finish(), 143);
    QVERIFY2(waitFor([&] { return browser.count(gone) == (restart ? 2 : 1); }, 30000), browser.out.constData());
    browser.process->terminate();
    QCOMPARE(browser.finish(), 143);
}

void TestDiscovery::nameClashTakesTheAlternative()
{
    const QString name = uniqueName(QStringLiteral("clash"));
    Run first;
    first.listenAs(name);
    QVERIFY2(first.waitForLine("announced: " + name), first.out.constData());
    Run second;
    second.listenAs(name);
    QVERIFY2(second.waitForLine("announced: " + name + " #2"), second.out.constData());
    for (Run *run : {&first, &second}) {
        run->process->terminate();
        QCOMPARE(run->finish(), 143);
    }
}

void TestDiscovery::connectByName()
{
    // The peer announces secure mode: it is spoken to over TLS, paired with the code it shows,
    // and found paired afterwards.
    const QString name = uniqueName(QStringLiteral("connect"));
    Run listener;
    listener.listenAs(name);
    QVERIFY2(listener.waitForLine("announced: " + name), listener.out.constData());
    const QString code = listener.lines().filter(QRegularExpression("^pairing code: ")).value(0).mid(14);
    Run sender;
    sender.start({"--connect", name, "--pair", code, "--say", "found you", "--timeout", "120"});
    QCOMPARE(sender.finish(), 0);
    QVERIFY2(sender.lines().contains("connected: 127.0.0.1"), sender.out.constData());
    QVERIFY2(sender.lines().filter(QRegularExpression("^secure: TLS 1\\.3, peer .* \\(paired now\\)$")).size() == 1,
             sender.out.constData());
    QCOMPARE(listener.finish(), 0); // the sender closed after its message
    QVERIFY2(listener.lines().contains("message: found you"), listener.out.constData());

    // Someone else announces the paired name. Without "sec=1" the peer is still spoken to
    // securely (a TLS hello, never a message in plaintext); with another key it is a possible
    // impostor, listed as one and not connected to.
    discovery::DiscoveryClient client;
    discovery::ServiceAnnouncer spoof(client);
    QTcpServer trap;
    QVERIFY(trap.listen(QHostAddress::LocalHost, 0));
    const QString foreign = QStringLiteral("fp=") + QString(16, u'e');
    for (const QList<QByteArray> &text : {QList<QByteArray>{}, QList<QByteArray>{"sec=1", foreign.toLatin1()}}) {
        spoof.announce(name, trap.serverPort(), text);
        Run browser;
        browser.home.swap(sender.home);
        browser.start({"--discover", "--timeout", "120"});
        const QString how = text.isEmpty() ? QStringLiteral(" (secure, paired)")
                                           : QStringLiteral(" (possible impostor: not the key paired under this name)");
        QVERIFY2(browser.waitForLine(QStringLiteral("peer: %1 127.0.0.1:%2%3").arg(name).arg(trap.serverPort()).arg(how)),
                 browser.out.constData());
        browser.process->terminate();
        browser.finish();
        browser.home.swap(sender.home);
        Run again;
        again.home.swap(sender.home);
        again.start({"--connect", name, "--say", "plaintext?", "--timeout", "60"});
        if (text.isEmpty()) {
            QVERIFY(trap.waitForNewConnection(10000));
            QTcpSocket *socket = trap.nextPendingConnection();
            QVERIFY(socket->waitForReadyRead(10000));
            QCOMPARE(socket->read(1), QByteArray("\x16")); // a TLS handshake
            delete socket;
        }
        QCOMPARE(again.finish(), 1);
        if (!text.isEmpty()) {
            QVERIFY2(again.errorLines().value(0).contains(QStringLiteral("it may be an impostor")), again.err.constData());
            QVERIFY(!trap.hasPendingConnections());
        }
        again.home.swap(sender.home);
        spoof.withdraw();
    }
}

void TestDiscovery::unknownNameExitsOne()
{
    const QString name = uniqueName(QStringLiteral("nobody"));
    Run sender;
    sender.start({"--connect", name, "--say", "anyone?"});
    QCOMPARE(sender.finish(), 1);
    QCOMPARE(sender.errorLines(),
             QStringList{QStringLiteral("velmora-cli: no peer named \"%1\" found within 5 s").arg(name)});
    QCOMPARE(sender.out, QByteArray());

    Run browser; // with nothing to report, the time-out ends it with status 0
    browser.start({"--discover", "--timeout", "1"});
    QCOMPARE(browser.finish(), 0);
}

void TestDiscovery::daemonLimitIsSaid()
{
    // More services than the daemon resolves for one client (32 objects in all, with_avahi.sh).
    std::vector<std::unique_ptr<discovery::DiscoveryClient>> clients;
    std::vector<std::unique_ptr<discovery::ServiceAnnouncer>> announcers;
    int announced = 0;
    for (int i = 0; i < 40; ++i) {
        if (i % 20 == 0)
            clients.push_back(std::make_unique<discovery::DiscoveryClient>());
        announcers.push_back(std::make_unique<discovery::ServiceAnnouncer>(*clients.back()));
        connect(announcers.back().get(), &discovery::ServiceAnnouncer::announced, this, [&] { ++announced; });
        announcers.back()->announce(uniqueName(QStringLiteral("many %1").arg(i)), quint16(20000 + i));
    }
    QVERIFY(waitFor([&] { return announced == 40; }, 60000));
    Run browser;
    browser.start({"--discover", "--timeout", "120"});
    QVERIFY2(waitFor([&] { return !browser.errorLines().isEmpty(); }, 60000), browser.out.constData());
    QVERIFY2(browser.errorLines().first().startsWith(
                 "velmora-cli: the Avahi daemon resolves no more peers for this program ("),
             qPrintable(browser.errorLines().join(u'\n')));
    browser.process->terminate();
    QCOMPARE(browser.finish(), 143);
    QCOMPARE(browser.errorLines().size(), 2); // said once, then the signal
}

void TestDiscovery::withoutDaemon()
{
    QTemporaryDir noBus;
    const QProcessEnvironment env = withoutBus(noBus);
    const QString why = QStringLiteral("velmora-cli: discovery unavailable: the Avahi daemon is not running");

    Run browser;
    browser.start({"--discover", "--timeout", "60"}, env);
    QCOMPARE(browser.finish(), 1);
    QCOMPARE(browser.errorLines(), QStringList{why});

    Run byName;
    byName.start({"--connect", "somebody", "--say", "x", "--timeout", "60"}, env);
    QCOMPARE(byName.finish(), 1);
    QCOMPARE(byName.errorLines(), QStringList{why + "; cannot look for the peer somebody"});

    // Listening and connecting by address work as ever; the listener says once why it is not announced.
    Run listener;
    listener.start({"--listen", "0", "--timeout", "60", "--no-pair"}, env);
    const int port = listener.waitForPort();
    QVERIFY(port > 0);
    Run sender;
    sender.start({"--connect", QStringLiteral("127.0.0.1:%1").arg(port), "--say", "still here", "--timeout", "60"}, env);
    QCOMPARE(sender.finish(), 0);
    QCOMPARE(listener.finish(), 0);
    QCOMPARE(listener.lines(), (QStringList{QStringLiteral("listening: %1").arg(port), "plaintext: legacy peer",
                                            "connected: 127.0.0.1", "message: still here", "closed"}));
    QCOMPARE(listener.errorLines(), QStringList{why + "; the listener is not announced"});
    QCOMPARE(sender.errorLines(), QStringList());
}

void TestDiscovery::windowOffersPeersAndAnnouncesItself()
{
    // A peer found on the network is offered in the address box; picking it fills in address and port.
    const QString peerName = uniqueName(QStringLiteral("peer of the window"));
    QTemporaryDir files;
    Run peer;
    peer.listenAs(peerName, {"--receive-dir", files.filePath("in")});
    const int peerPort = peer.waitForPort();
    QVERIFY(peerPort > 0);
    Form1 window;
    QStringList boxes;
    window.setMessageBox([&](const QString &text, int, const QString &) { boxes << text; });
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QMenu *menu = window.peerOffer().menu();
    auto offered = [&]() -> QAction * {
        for (QAction *a : menu->actions()) {
            if (a->text().startsWith(peerName + "  ("))
                return a;
        }
        return nullptr;
    };
    QVERIFY(waitFor([&] { return offered() != nullptr; }, 30000));
    QCOMPARE(offered()->text(), QStringLiteral("%1  (127.0.0.1:%2)").arg(peerName).arg(peerPort));
    window.Text1->setFocus();
    QTest::keyClick(window.Text1, Qt::Key_Down);
    QVERIFY(menu->isVisible());
    offered()->trigger();
    QCOMPARE(window.Text1->text(), QStringLiteral("127.0.0.1"));
    QCOMPARE(window.Text2->text(), QString::number(peerPort));

    // The peer announces secure mode: connecting asks once for the code it shows, and the
    // status bar shows the lock and the peer while the connection lasts.
    const QString code = peer.lines().filter(QRegularExpression("^pairing code: ")).value(0).mid(14);
    QStringList asked;
    window.security().setCodePrompt([&](const QString &who) {
        asked << who;
        return code;
    });
    window.Command1->click();
    QVERIFY2(waitFor([&] { return window.panelText(2).startsWith(QStringLiteral("\U0001F512 ") + peerName + u' '); }, 30000),
             qPrintable(window.panelText(2)));
    QCOMPARE(asked, QStringList{peerName});
    QVERIFY2(waitFor([&] {
        return !peer.lines().filter(QRegularExpression("^secure: TLS 1\\.3, peer .* \\(paired now\\)$")).isEmpty();
    }), peer.out.constData());
    window.fileSender1().call(sender::dispid::CloseAll);
    QVERIFY(waitFor([&] { return window.panelText(2).isEmpty(); }));
    menu->hide();
    QTest::keyClick(window.Text1, Qt::Key_Down); // offered as paired from now on
    QVERIFY(menu->isVisible());
    QVERIFY(offered()->text().endsWith(QStringLiteral(", 已配对)")));
    menu->hide();
    // Connected again (as a paired peer: no code is asked), two files dropped on the window go
    // to the peer as one batch.
    window.Command1->click();
    QVERIFY(waitFor([&] { return window.panelText(2).startsWith(QStringLiteral("\U0001F512 ") + peerName + u' '); }, 30000));
    QCOMPARE(asked, QStringList{peerName});
    QVERIFY(QDir().mkpath(files.filePath("drop")));
    testing::makeRandomFile(files.filePath("drop/a.bin"), 3000);
    testing::makeRandomFile(files.filePath("drop/b.bin"), 2500);
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(files.filePath("drop/a.bin")), QUrl::fromLocalFile(files.filePath("drop/b.bin"))});
    const QPoint at = window.Text5->rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window.Text5, &enter);
    QDropEvent dropped(at, Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window.Text5, &dropped);
    QVERIFY(dropped.isAccepted());
    QVERIFY2(waitFor([&] { return window.Text5->text().contains(QStringLiteral("已发送：2/2个文件（5500字节）\r\n")); }, 20000),
             qPrintable(window.Text5->text() + u'|' + peer.lines().join(u'|')));
    QVERIFY2(!peer.lines().filter(QRegularExpression("^batch: 2 files \\(5500 bytes\\) from ")).isEmpty(), peer.out.constData());
    for (const char *name : {"a.bin", "b.bin"})
        QCOMPARE(testing::fileDigest(files.filePath("in/") + name), testing::fileDigest(files.filePath("drop/") + name));
    window.fileSender1().call(sender::dispid::CloseAll);
    QCOMPARE(peer.finish(), 0); // its run ends with the connection it received over
    QVERIFY(waitFor([&] { return window.panelText(2).isEmpty() && window.Command2->isEnabled(); }));

    // While the window listens, it is announced under its name and shows its pairing code.
    const QString windowName = uniqueName(QStringLiteral("window"));
    window.peerOffer().setName(windowName);
    window.Text2->setText(QStringLiteral("0"));
    window.Command2->click();
    const int windowPort = window.fileSender1().get(sender::dispid::LocalPort).toInt();
    QVERIFY(windowPort > 0);
    Run browser;
    browser.start({"--discover", "--timeout", "120"});
    QVERIFY2(browser.waitForLine(QStringLiteral("peer: %1 127.0.0.1:%2").arg(windowName).arg(windowPort)),
             browser.out.constData());
    QVERIFY(waitFor([&] { return QRegularExpression("^配对码 \\d{3}-\\d{3}$").match(window.panelText(2)).hasMatch(); }));
    // Three wrong codes, from three new identities, spend the code: each is said with where it came
    // from, without a box; listening again brings no new code, only the user's asking for one.
    const QString shown = window.panelText(2).mid(4).remove(u'-');
    const QString wrong = QString::number((shown.toInt() + 1) % 1000000).rightJustified(6, u'0');
    for (int guess = 0; guess < 3; ++guess) {
        Run guesser;
        guesser.start({"--connect", QStringLiteral("127.0.0.1:%1").arg(windowPort), "--pair", wrong, "--say", "in?"});
        QCOMPARE(guesser.finish(), 1);
    }
    QVERIFY2(waitFor([&] { return window.panelText(2).startsWith(QStringLiteral("配对暂停至 ")); }), qPrintable(window.panelText(2)));
    QVERIFY2(window.panelText(2).contains(QStringLiteral("错误配对码：来自 127.0.0.1")), qPrintable(window.panelText(2)));
    window.Command2->click();
    QCOMPARE(window.security().pairingCode(), QByteArray());
    window.StatusPanel2->findChild<QAction *>(QStringLiteral("newPairingCode"))->trigger();
    QVERIFY(waitFor([&] { return QRegularExpression("^配对码 \\d{3}-\\d{3}$").match(window.panelText(2)).hasMatch(); }));
    QVERIFY2(boxes.isEmpty(), qPrintable(boxes.join(u'\n')));
    browser.process->terminate();
    QCOMPARE(browser.finish(), 143);
}

QTEST_MAIN(TestDiscovery)
#include "tst_discovery.moc"
