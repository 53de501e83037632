#include "controlfixtures.h"
#include "identities.h"
#include "propertybag.h"
#include "testhelpers.h"

#include <QImage>
#include <QFile>
#include <QLabel>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>

using namespace sender;
using namespace testing;
using platform::InvokeKind;

namespace {

QVariant get(FileSender &c, platform::DispId id)
{
    QVariantList none;
    const auto r = c.dispatch().invoke(id, InvokeKind::PropertyGet, none);
    return r.ok() ? r.value : QVariant();
}

int putError(FileSender &c, platform::DispId id, const QVariant &value)
{
    QVariantList args{value};
    const auto r = c.dispatch().invoke(id, InvokeKind::PropertyPut, args);
    return r.ok() ? 0 : r.error->number;
}

} // namespace

class TestFileSender : public QObject
{
    Q_OBJECT
private slots:
    void initialState();
    void identitiesAndResources();
    void interfaceTable();
    void everyEntryReachableByDispatch();
    void dispatchRejectsBadCalls();
    void readOnlyPropertiesRefuseEveryPut();
    void propertyChangeNotifications();
    void booleanResultsAreAlwaysFalse();
    void listenConnectAndAutoAccept();
    void acceptRequestFromAnotherSocketComponent();
    void connectIgnoresRefusals();
    void closeAllAndPeerClose();
    void errorRelayWritesBack();
    void messages();
    void messageBytesOnTheWire();
    void idleControlDropsStrayAnswers();
    void framingRecovery();
    void arbitraryArrivalsNeverCrash();
    void timeCountTickAndSaturation();
    void timeCountTicksInRealTime();
};

void TestFileSender::initialState()
{
    Peer p;
    QCOMPARE(p->BufferSize(), 100000);
    QCOMPARE(p->ProgressValue(), qint16(0));
    QCOMPARE(p->Busy(), platform::VariantFalse);
    QCOMPARE(p->TimeCounter(), 0);
    QCOMPARE(p->ReciveFilePath(), QString());
    QCOMPARE(p->Interval(), 0);
    QCOMPARE(p->State(), qint16(0));
    const FileSenderFields &f = p->fields();
    QCOMPARE(f.FileNumber, qint16(0));
    QCOMPARE(f.TotalBytes, 0.0);
    QCOMPARE(f.DoneBytes, 0.0);
    QCOMPARE(f.TransferMode, qint16(0));
    QVERIFY(f.ChunkBuffer.isEmpty());
    QCOMPARE(f.IdleTicks, qint16(0));
    QVERIFY(!f.FileSystemHelper);
    QCOMPARE(p->transferState(), TransferState::Idle);
    // The face: 2415 x 645 twips at 15 twips per pixel, with the caption label.
    QCOMPARE(p->size(), QSize(161, 43));
    auto *label = p->findChild<QLabel *>(QStringLiteral("Label1"));
    QVERIFY(label);
    QCOMPARE(label->geometry(), QRect(40, 16, 84, 14));
    QCOMPARE(label->font().pointSizeF(), 10.5);
}

void TestFileSender::identitiesAndResources()
{
    QCOMPARE(classId().toString(QUuid::WithBraces).toUpper(), QStringLiteral("{5940B612-4C7D-4C7D-A53F-9F9983F49E90}"));
    QCOMPARE(typeLibId().toString(QUuid::WithBraces).toUpper(), QStringLiteral("{DDC544D7-9AD0-4D61-A0C2-7FDF23DF62B0}"));
    for (const auto &[name, id] : {std::pair{":/Sender/_IID_FILESENDER", dispatchInterfaceId()},
                                   std::pair{":/Sender/_SRCIID_FILESENDER", eventInterfaceId()}}) {
        QFile f(QString::fromLatin1(name));
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(QUuid::fromString(QString::fromLatin1(f.readAll())), id);
    }
    const QImage bitmap(QStringLiteral(":/Sender/30000"));
    QCOMPARE(bitmap.size(), QSize(16, 15));
    QVERIFY(bitmap.colorCount() <= 16);
}

void TestFileSender::interfaceTable()
{
    const auto members = fileSenderMembers();
    QCOMPARE(members.size(), size_t(29));
    const QList<QPair<const char *, platform::DispId>> expected = {
        {"Connect", 0x6003000d}, {"LocalIP", 0x6803000c}, {"LocalPort", 0x6803000b}, {"LocalPort", 0x6803000b},
        {"LocalHostName", 0x6803000a}, {"Listen", 0x6003000e}, {"RemoteHost", 0x68030009},
        {"RemoteHost", 0x68030009}, {"RemotePort", 0x68030008}, {"RemotePort", 0x68030008},
        {"SendFile", 0x6003000f}, {"SendMessage", 0x60030010}, {"ReciveFilePath", 0x68030007},
        {"ReciveFilePath", 0x68030007}, {"RemoteHostIP", 0x68030006}, {"CloseAll", 0x6003001b},
        {"ProgressValue", 0x68030005}, {"ProgressValue", 0x68030005}, {"Busy", 0x68030004}, {"Busy", 0x68030004},
        {"BufferSize", 0x68030003}, {"BufferSize", 0x68030003}, {"Interval", 0x68030002}, {"Interval", 0x68030002},
        {"State", 0x68030001}, {"Accept", 0x6003001d}, {"StopSend", 0x6003001e}, {"TimeCounter", 0x68030000},
        {"TimeCounter", 0x68030000}};
    for (int i = 0; i < 29; ++i) {
        QCOMPARE(members[i].order, i + 1);
        QCOMPARE(QLatin1String(members[i].name), QLatin1String(expected[i].first));
        QCOMPARE(members[i].id, expected[i].second);
    }
    QCOMPARE(members[10].params.size(), 2);
    QVERIFY(members[10].params[0].byRef && members[10].params[1].byRef && members[10].params[1].optional);
    QCOMPARE(QLatin1String(members[21].params[0].name), QLatin1String("New_BufferSize"));
}

void TestFileSender::everyEntryReachableByDispatch()
{
    Peer p;
    for (const platform::MemberInfo &m : fileSenderMembers()) {
        QVariantList args;
        for (const auto &param : m.params)
            args.append(param.optional ? QVariant() : QVariant(0));
        if (m.id == dispid::SendFile)
            args[0] = QStringLiteral("/nonexistent");
        const auto r = p->dispatch().invoke(m.id, m.kind, args);
        p->CloseAll(); // Connect and Listen leave the endpoint busy for the entries after them
        // Each entry runs its own code: the read-only puts fail, Accept of 0 and SendMessage
        // without a connection fail with the socket's errors, everything else succeeds.
        int expected = 0;
        if (m.kind == InvokeKind::PropertyPut
            && (m.id == dispid::ProgressValue || m.id == dispid::Busy || m.id == dispid::TimeCounter))
            expected = platform::err::SetNotSupportedAtRuntime;
        else if (m.id == dispid::Accept)
            expected = platform::SocketComponent::NotSocket;
        else if (m.id == dispid::SendMessage)
            expected = platform::SocketComponent::WrongProtocolOrState;
        QCOMPARE(r.ok() ? 0 : r.error->number, expected);
    }
    QCOMPARE(p.site.boxes, QStringList{QStringLiteral("连接已关闭。")}); // SendFile with no connection
}

void TestFileSender::dispatchRejectsBadCalls()
{
    Peer p;
    QVariantList none;
    QCOMPARE(p->dispatch().invoke(0x12345, InvokeKind::Method, none).error->number, int(platform::err::NotSupported));
    QCOMPARE(p->dispatch().invoke(dispid::State, InvokeKind::PropertyPut, none).error->number,
             int(platform::err::NotSupported));
    QVariantList tooMany{1, 2};
    QCOMPARE(p->dispatch().invoke(dispid::Accept, InvokeKind::Method, tooMany).error->number,
             int(platform::err::WrongNumberOfArguments));
    QCOMPARE(p->dispatch().invoke(dispid::SendMessage, InvokeKind::Method, none).error->number,
             int(platform::err::ArgumentNotOptional));
    QCOMPARE(putError(*p, dispid::BufferSize, QStringLiteral("lots")), int(platform::err::TypeMismatch));
    QCOMPARE(putError(*p, dispid::BufferSize, 1e12), int(platform::err::Overflow));
    QCOMPARE(p->dispatch().idOfName(QStringLiteral("sendfile")), std::optional<platform::DispId>(dispid::SendFile));
    QCOMPARE(p->dispatch().idOfName(QStringLiteral("ReceiveFilePath")), std::nullopt);
}

void TestFileSender::readOnlyPropertiesRefuseEveryPut()
{
    Peer p;
    for (const bool userMode : {true, false}) {
        p.site.userMode = userMode;
        const int expected = userMode ? platform::err::SetNotSupportedAtRuntime : platform::err::SetNotPermitted;
        QCOMPARE(putError(*p, dispid::Busy, true), expected);
        QCOMPARE(putError(*p, dispid::ProgressValue, 50), expected);
        QCOMPARE(putError(*p, dispid::TimeCounter, 7), expected);
        QVERIFY_AUTOMATION_ERROR(p->setBusy(-1), expected);
    }
    QCOMPARE(get(*p, dispid::Busy), QVariant(false));
    QCOMPARE(get(*p, dispid::ProgressValue).toInt(), 0);
    QCOMPARE(get(*p, dispid::TimeCounter).toInt(), 0);
    QVERIFY(p.site.changed.isEmpty());
}

void TestFileSender::propertyChangeNotifications()
{
    Peer p;
    QCOMPARE(putError(*p, dispid::LocalPort, 0), 0);
    QCOMPARE(putError(*p, dispid::RemoteHost, QStringLiteral("127.0.0.1")), 0);
    QCOMPARE(putError(*p, dispid::RemotePort, 1001), 0);
    QCOMPARE(putError(*p, dispid::ReciveFilePath, QString()), 0);
    QCOMPARE(putError(*p, dispid::BufferSize, 0), 0);
    QCOMPARE(putError(*p, dispid::Interval, 100), 0);
    QCOMPARE(p.site.changed, (QStringList{"LocalPort", "RemoteHost", "RemotePort", "ReciveFilePath", "BufferSize", "Interval"}));
    QCOMPARE(get(*p, dispid::BufferSize).toInt(), 0);
    QCOMPARE(putError(*p, dispid::BufferSize, -5), 0);
    QCOMPARE(p->BufferSize(), -5); // stored unchanged; only a send refuses it
    p.site.changed.clear();
    QCOMPARE(putError(*p, dispid::Interval, -1), int(platform::err::InvalidPropertyValue));
    QCOMPARE(p->Interval(), 100);
    QCOMPARE(putError(*p, dispid::LocalPort, 70000), int(platform::err::InvalidPropertyValue));
    QCOMPARE(putError(*p, dispid::Interval, 2147483647), 0);
    QCOMPARE(p.site.changed, QStringList{"Interval"});
    QCOMPARE(get(*p, dispid::RemoteHost).toString(), QStringLiteral("127.0.0.1"));
    QCOMPARE(get(*p, dispid::RemotePort).toInt(), 1001);
}

void TestFileSender::booleanResultsAreAlwaysFalse()
{
    Peer a, b;
    QVERIFY(connectControls(*a, *b));
    QVariantList msg{QStringLiteral("hello")};
    const auto sent = a->dispatch().invoke(dispid::SendMessage, InvokeKind::Method, msg);
    QVERIFY(sent.ok());
    QCOMPARE(sent.value, QVariant(false));
    QCOMPARE(msg[0], QVariant(QStringLiteral("hello"))); // by reference, and left unchanged
    QVERIFY(waitFor([&] { return b.events.messages() == QStringList{"hello"}; }));
    QVariantList number{42}; // read as text, never written: the caller's number stays a number
    QVERIFY(a->dispatch().invoke(dispid::SendMessage, InvokeKind::Method, number).ok());
    QCOMPARE(number[0], QVariant(42));
    QVERIFY(waitFor([&] { return b.events.messages().size() == 2; }));
    QCOMPARE(b.events.messages()[1], QStringLiteral("42"));
    QVariantList none;
    QCOMPARE(a->dispatch().invoke(dispid::StopSend, InvokeKind::Method, none).value, QVariant(false));
    QVariantList file{QStringLiteral("/nonexistent")};
    QCOMPARE(putError(*a, dispid::BufferSize, 0), 0);
    const auto refused = a->dispatch().invoke(dispid::SendFile, InvokeKind::Method, file);
    QVERIFY(refused.ok());
    QCOMPARE(refused.value, QVariant(false));
}

void TestFileSender::listenConnectAndAutoAccept()
{
    Peer a, b;
    platform::PropertyBag bag;
    bag.set(QStringLiteral("TimeCounter"), 495);
    a->load(bag);
    b->load(bag);
    QVERIFY(connectControls(*a, *b));
    QCOMPARE(a->TimeCounter(), 0);   // accepting resets the count
    QCOMPARE(b->TimeCounter(), 495); // connecting does not
    a->timeCountTick();
    QCOMPARE(a->TimeCounter(), 1);
    QCOMPARE(a->RemoteHostIP(), QStringLiteral("127.0.0.1"));
    QCOMPARE(b->RemotePort(), a->LocalPort());
    QVERIFY(a.events.events.isEmpty());

    // A second peer asking the listener to connect is never seen: listening ended.
    Peer c;
    c->Connect(QStringLiteral("127.0.0.1"), a->LocalPort());
    QVERIFY(waitFor([&] { return !c.events.of(FileSenderEvent::Error).isEmpty(); }));
    QCOMPARE(c.events.of(FileSenderEvent::Error).first().args[0].toInt(), 10061);
    QCOMPARE(a->State(), qint16(7));
}

void TestFileSender::acceptRequestFromAnotherSocketComponent()
{
    Peer a, b;
    platform::SocketComponent third;
    platform::PropertyBag bag;
    bag.set(QStringLiteral("TimeCounter"), 30);
    a->load(bag);
    connect(&third, &platform::SocketComponent::connectionRequest, a.control.get(), [&](qint32 id) { a->Accept(id); });
    third.Listen();
    b->Connect(QStringLiteral("127.0.0.1"), third.LocalPort());
    QVERIFY(waitFor([&] { return a->State() == 7 && b->State() == 7; }));
    QCOMPARE(a->TimeCounter(), 0);
    b->SendMessage(QStringLiteral("via Accept"));
    QVERIFY(waitFor([&] { return a.events.messages() == QStringList{"via Accept"}; }));
    // Accept on a connected control is refused and leaves the counter alone.
    a->timeCountTick();
    QVERIFY_AUTOMATION_ERROR(a->Accept(12345), platform::SocketComponent::InvalidOperation);
    QCOMPARE(a->TimeCounter(), 1);
}

void TestFileSender::connectIgnoresRefusals()
{
    Peer a;
    a->Listen();
    a->Connect(QStringLiteral("127.0.0.1"), 1); // the endpoint is listening: refused, not reported
    QCOMPARE(a->State(), qint16(2));
    a->CloseAll();
    a->Connect(QStringLiteral("127.0.0.1"), 99999); // a port the socket cannot use
    QCOMPARE(a->State(), qint16(0));
    QVERIFY(a.events.events.isEmpty());
    QVERIFY_AUTOMATION_ERROR(a->SendMessage(QStringLiteral("x")), platform::SocketComponent::WrongProtocolOrState);
}

void TestFileSender::closeAllAndPeerClose()
{
    Peer a, b;
    QVERIFY(connectControls(*a, *b));
    QSignalSpy closedAtB(b.control.get(), &FileSender::OnClose);
    a->CloseAll();
    QCOMPARE(a->State(), qint16(0));
    QTRY_COMPARE(closedAtB.count(), 1);
    QCOMPARE(b->State(), qint16(8)); // stays in the after-close state until CloseAll
    QCOMPARE(b.events.of(FileSenderEvent::OnClose).size(), 1);
    b->CloseAll();
    QCOMPARE(b->State(), qint16(0));
    // No listening again by itself: a new peer is taken only after Listen.
    QCOMPARE(a.events.of(FileSenderEvent::OnClose).size(), 0);
    QVERIFY(connectControls(*a, *b));
}

void TestFileSender::errorRelayWritesBack()
{
    Peer p;
    connect(p.control.get(), &FileSender::Error, p.control.get(),
            [](qint16, QString &description, qint32, const QString &, const QString &, qint32,
               platform::VariantBool &cancel) {
                description = QStringLiteral("changed by host");
                cancel = platform::VariantTrue;
            });
    QString seenDescription;
    bool seenCancel = false;
    // Connected after the control's own handler: sees what the host left.
    connect(&p->socket(), &platform::SocketComponent::error, p.control.get(),
            [&](qint16, QString &d, qint32, const QString &, const QString &, qint32, bool &c) {
                seenDescription = d;
                seenCancel = c;
            });
    const testing::ClosedPort closed;
    p->Connect(QStringLiteral("127.0.0.1"), closed.port());
    QVERIFY(waitFor([&] { return seenCancel; }));
    QCOMPARE(seenDescription, QStringLiteral("changed by host"));
    const auto errors = p.events.of(FileSenderEvent::Error);
    QCOMPARE(errors.size(), 1);
    QCOMPARE(errors[0].args.size(), 7);
    QCOMPARE(errors[0].args[0].toInt(), 10061);
    QCOMPARE(errors[0].args[1].toString(), QStringLiteral("changed by host"));
    // Scode, Source, HelpFile, HelpContext, CancelDisplay: each in its own place.
    QCOMPARE(errors[0].args.mid(2), (QVariantList{qint32(0x800A0000u | 10061), QStringLiteral("Winsock"), QString(), 0,
                                                  true}));
    QCOMPARE(p->State(), qint16(9));
}

void TestFileSender::messages()
{
    Peer a, b;
    QVERIFY(connectControls(*a, *b));
    const QString exact(8192, u'x');
    const QString tooLong(8193, u'y');
    const QString chinese(8192, QChar(0x4E2D));
    const QStringList texts{QString(), exact, chinese, QStringLiteral("FileDat:not|a|header|True"),
                            QStringLiteral("a|b Message: HereisIt")};
    for (const QString &t : texts) {
        a->SendMessage(t);
        QVERIFY(waitFor([&] { return b.events.messages().size() == texts.indexOf(t) + 1; }));
    }
    QCOMPARE(b.events.messages(), texts);
    a->SendMessage(tooLong);
    QCOMPARE(a.site.boxes, QStringList{QStringLiteral("字符串大于8K，不能发送。")});
    QCOMPARE(a.site.boxStyles, QList<int>{32});
    QCOMPARE(a.site.boxTitles, QStringList{QString()});
    // Both directions, and the refused text never left.
    b->SendMessage(QStringLiteral("back"));
    QVERIFY(waitFor([&] { return a.events.messages() == QStringList{"back"}; }));
    QCOMPARE(b.events.messages().size(), texts.size());
}

void TestFileSender::messageBytesOnTheWire()
{
    Peer p;
    RawPeer raw;
    QVERIFY(raw.connectTo(*p));
    p->SendMessage(QStringLiteral("hi 中"));
    QCOMPARE(raw.receive(14), QByteArray("Message:hi \xe4\xb8\xad"));
    p->SendMessage(QString());
    QCOMPARE(raw.receive(22), QByteArray("Message:hi \xe4\xb8\xadMessage:"));
    raw.send(QByteArray("Message:\xe6\x96\x87|x"));
    QVERIFY(waitFor([&] { return p.events.messages() == QStringList{QStringLiteral("文|x")}; }));
    raw.send(QByteArray("Message:bad \xff end"));
    QVERIFY(waitFor([&] { return p.events.messages().size() == 2; }));
    QCOMPARE(p.events.messages()[1], QStringLiteral("bad \uFFFD end")); // undecodable byte replaced
}

void TestFileSender::idleControlDropsStrayAnswers()
{
    Peer p;
    RawPeer raw;
    QVERIFY(raw.connectTo(*p));
    for (const char *stray : {"HereisIt", "SendDat:", "SendErr:", "message:lower", "Unknown tag"}) {
        for (int i = 0; i < 100; ++i) // far more than the real once-a-second tick adds meanwhile
            p->timeCountTick();
        raw.send(QByteArray(stray));
        // Every arrival, even a dropped one, starts the idle count again.
        QVERIFY(waitFor([&] { return p->fields().IdleTicks < 100; }));
    }
    QVERIFY(raw.settle(*p));
    QVERIFY(p.events.events.isEmpty());
    QVERIFY(raw.received().isEmpty());
    QCOMPARE(p->transferState(), TransferState::Idle);
}

void TestFileSender::framingRecovery()
{
    Peer p;
    RawPeer raw;
    QVERIFY(raw.connectTo(*p));
    // A tag split across arrivals is put back together.
    raw.send(QByteArray("Mess"));
    QVERIFY(raw.settle(*p));
    raw.send(QByteArray("age:split"));
    QVERIFY(waitFor([&] { return p.events.messages() == QStringList{"split"}; }));
    // An answer with more bytes behind it: the rest is an arrival of its own.
    raw.send(QByteArray("HereisItMessage:behind"));
    QVERIFY(waitFor([&] { return p.events.messages().size() == 2; }));
    QCOMPARE(p.events.messages()[1], QStringLiteral("behind"));
    // A short arrival that starts no tag is simply dropped.
    raw.send(QByteArray("xyz"));
    QVERIFY(raw.settle(*p));
    raw.send(QByteArray("Message:after"));
    QVERIFY(waitFor([&] { return p.events.messages().size() == 3; }));
    QCOMPARE(p.events.messages()[2], QStringLiteral("after"));
    // A kept start that the next arrival does not continue into a tag is dropped, not joined:
    // leftover bytes never swallow a real message.
    raw.send(QByteArray("M"));
    QVERIFY(raw.settle(*p));
    raw.send(QByteArray("Message:whole"));
    QVERIFY(waitFor([&] { return p.events.messages().size() == 4; }));
    QCOMPARE(p.events.messages()[3], QStringLiteral("whole"));
    p.events.events.clear();
    // The start of a tag left by one connection does not join the next connection's bytes.
    raw.send(QByteArray("Mess"));
    QVERIFY(raw.settle(*p));
    p->CloseAll();
    RawPeer next;
    QVERIFY(next.connectTo(*p));
    next.send(QByteArray("age:stale"));
    QVERIFY(next.settle(*p));
    next.send(QByteArray("Message:fresh"));
    QVERIFY(waitFor([&] { return p.events.messages().size() == 1; }));
    QCOMPARE(p.events.messages()[0], QStringLiteral("fresh"));
    // What follows a message within its quiet period continues it, a tag included; a message
    // goes as soon as it has the most bytes one can take, and what follows is an arrival of its own.
    // No event carries more than 8192 characters: a longer text comes as several.
    const QByteArray cut = QStringLiteral("中").toUtf8();
    p->handleArrival("Message:a" + cut.left(1));
    p->handleArrival(cut.mid(1) + "FileDat:/tmp/planted|1|1|True");
    QVERIFY(waitFor([&] { return p.events.messages().size() == 2; }));
    p->handleArrival("Message:" + QByteArray(32768, 'x') + "Message:next");
    QVERIFY(waitFor([&] { return p.events.messages().size() == 7; }));
    const QString most(8192, u'x');
    QCOMPARE(p.events.messages().mid(1),
             (QStringList{QStringLiteral("a中FileDat:/tmp/planted|1|1|True"), most, most, most, most, "next"}));
    QVERIFY(next.settle(*p));
    QVERIFY(next.received().isEmpty()); // no header was answered
}

void TestFileSender::arbitraryArrivalsNeverCrash()
{
    Peer p;
    RawPeer raw;
    QVERIFY(raw.connectTo(*p));
    QRandomGenerator rng(20261207);
    const QList<QByteArray> prefixes{"", "Message:", "FileDat:", "FileDat:/|", "SendDat:", "HereisIt", "SendErr:", "File"};
    for (int i = 0; i < 300; ++i) {
        QByteArray bytes = prefixes[int(rng.bounded(prefixes.size()))];
        const int n = int(rng.bounded(40));
        for (int j = 0; j < n; ++j)
            bytes.append(char(rng.bounded(256)));
        raw.send(bytes);
    }
    // The garbage may end in the start of a tag that swallows the next arrival: send twice.
    for (int i = 0; i < 2; ++i) {
        QVERIFY(raw.settle(*p));
        raw.send(QByteArray("Message:still alive"));
    }
    QVERIFY(waitFor([&] { return p.events.messages().contains(QStringLiteral("still alive")); }));
    QCOMPARE(p->State(), qint16(7));
}

void TestFileSender::timeCountTickAndSaturation()
{
    Peer p;
    p->timeCountTick();
    p->timeCountTick();
    QCOMPARE(p->TimeCounter(), 2);
    QCOMPARE(p->fields().IdleTicks, qint16(2));
    QCOMPARE(p->Busy(), platform::VariantFalse);
    platform::PropertyBag bag;
    bag.set(QStringLiteral("TimeCounter"), 2147483647);
    p->load(bag);
    for (int i = 0; i < 32800; ++i)
        p->timeCountTick();
    QCOMPARE(p->TimeCounter(), 2147483647);
    QCOMPARE(p->fields().IdleTicks, qint16(32767));
}

void TestFileSender::timeCountTicksInRealTime()
{
    Peer p;
    p.site.userMode = false; // counts in the host's design mode as well
    QTRY_VERIFY_WITH_TIMEOUT(p->TimeCounter() >= 1, 3000);
}

QTEST_MAIN(TestFileSender)
#include "tst_filesender.moc"
