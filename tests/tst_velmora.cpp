// The Velmora window, offscreen: two windows in one process talk over 127.0.0.1.

#include "conversions.h"
#include "filesenderinterface.h"
#include "form1.h"
#include "multilinetextbox.h"
#include "propertybag.h"
#include "socketcomponent.h"
#include "testhelpers.h"

#include <QApplication>
#include <QCheckBox>
#include <QDirIterator>
#include <QFile>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QStatusBar>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <memory>

namespace id = sender::dispid;
using testing::waitFor;

namespace {

struct Window
{
    std::unique_ptr<Form1> form = std::make_unique<Form1>();
    QStringList boxes;
    QStringList titles;
    QList<int> styles;
    QString nextDialogAnswer;

    /// With `realDialogs` the window shows its own message boxes and file dialogs (see answerDialogs).
    explicit Window(bool realDialogs = false)
    {
        if (realDialogs)
            return;
        form->setMessageBox([this](const QString &t, int style, const QString &title) {
            boxes << t;
            styles << style;
            titles << title;
        });
        form->setFileDialog([this](bool) { return nextDialogAnswer; });
    }
    /// Shows the window and makes it the active one, with the focus in Text3 (Frame2 may be disabled).
    bool activate()
    {
        form->show();
        form->activateWindow();
        if (!QTest::qWaitForWindowActive(form.get()))
            return false;
        form->Text3->setFocus();
        return QApplication::focusWidget() == form->Text3;
    }
    Form1 *operator->() { return form.get(); }
    QVariant get(platform::DispId i) { return form->fileSender1().get(i); }
    void type(QLineEdit *box, const QString &text)
    {
        box->clear();
        QTest::keyClicks(box, text);
    }
};

/// A real dialog as it was shown.
struct SeenDialog
{
    QString text; ///< a message box's text, or "file dialog"
    QString title;
    QWidget *parent;
    Qt::WindowModality modality;
};

/// Runs `action` while answering every real dialog that opens: a message box is closed, a file
/// dialog is given `fileName` and accepted (and cancelled should it still be open after that).
QList<SeenDialog> answerDialogs(const std::function<void()> &action, const QString &fileName = QString())
{
    QList<SeenDialog> seen;
    QList<QFileDialog *> accepted;
    QTimer poll;
    poll.setInterval(20);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        for (QWidget *w : QApplication::topLevelWidgets()) {
            if (!w->isVisible())
                continue;
            if (auto *box = qobject_cast<QMessageBox *>(w)) {
                seen.append({box->text(), box->windowTitle(), box->parentWidget(), box->windowModality()});
                box->reject();
            } else if (auto *dialog = qobject_cast<QFileDialog *>(w); dialog && accepted.contains(dialog)) {
                dialog->reject();
            } else if (dialog) {
                seen.append({QStringLiteral("file dialog"), dialog->windowTitle(), dialog->parentWidget(),
                             dialog->windowModality()});
                accepted.append(dialog);
                QTimer::singleShot(0, dialog, [dialog, fileName] {
                    // Straight into the name box: selectFile() may lose the name to the folder
                    // the dialog is still loading.
                    if (auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit")))
                        name->setText(fileName);
                    static_cast<QDialog *>(dialog)->accept(); // may ask a question first
                });
            }
        }
    });
    poll.start();
    action();
    return seen;
}

// A listens on port 0 typed into its port box, so that the system picks a free port; B connects to it.
bool connectWindows(Window &a, Window &b, const QString &host = QStringLiteral("127.0.0.1"))
{
    a.type(a->Text2, QStringLiteral("0"));
    a->Command2->click();
    const QString port = a.get(id::LocalPort).toString();
    b.type(b->Text1, host);
    b.type(b->Text2, port);
    b->Command1->click();
    return waitFor([&] { return !a->Frame2->isEnabled() && !b->Frame2->isEnabled(); });
}

} // namespace

class TestVelmora : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void startUp();
    void connectAndFrameFollowsState();
    void messagesBothWays();
    void multiLineBoxKeepsText_data();
    void multiLineBoxKeepsText();
    void busyControlRefusesBothButtons();
    void fileWithCheckedReceivePath();
    void unusablePathReportedAsRemoteError();
    void chunkSizeRounding();
    void failingStepKeepsMessage_data();
    void failingStepKeepsMessage();
    void boxesComeOneAtATime();
    void progressBarStaysInItsRange();
    void droppedFilesGoToTheReceiveFolder_data();
    void droppedFilesGoToTheReceiveFolder();
    void emptyRegistryEndsWithOneBox();
    void boxesAreModalToTheirWindow_data();
    void boxesAreModalToTheirWindow();
    void receivePathDialogAsksNothing();
    void listenWithLettersFailsAtConversion();
    void receivePathFromDialog();
    void connectReadsTheLeadingNumber();
    void commandLine_data();
    void commandLine();

private:
    QTemporaryDir dir;
};

void TestVelmora::initTestCase()
{
    QApplication::setApplicationDisplayName(Form1::Title);
    qputenv("COMPONENT_REGISTRY", dir.filePath("registry.ini").toLocal8Bit());
    QProcess reg;
    reg.start(QStringLiteral(COMPONENT_REGISTER_PATH), {QStringLiteral(SENDER_LIBRARY_PATH)});
    QCOMPARE(testing::exitStatusOf(reg, 30000), 0);
}

void TestVelmora::startUp()
{
    Window w;
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.form.get()));
    QCOMPARE(w->windowTitle(), QStringLiteral("Velmora"));
    QCOMPARE(w->size(), QSize(711, 405));
    QCOMPARE(w->Frame2->geometry(), QRect(16, 24, 401, 89));
    QCOMPARE(w->Frame1->geometry(), QRect(16, 120, 401, 257));
    QCOMPARE(w->Frame4->geometry(), QRect(432, 24, 257, 177));
    QCOMPARE(w->Frame3->geometry(), QRect(432, 208, 257, 177));
    QCOMPARE(w->StatusBar1->geometry(), QRect(0, 388, 711, 17));
    QCOMPARE(w->Frame2->title(), QStringLiteral("设置(传输控件支持用第三方Winsock调用 Accept来建立连接)"));
    QCOMPARE(w->Frame1->title(), QStringLiteral("文件"));
    QCOMPARE(w->Frame4->title(), QStringLiteral("接收消息"));
    QCOMPARE(w->Frame3->title(), QStringLiteral("消息发送"));
    QCOMPARE(w->Text1->text(), QStringLiteral("192.168.0.1"));
    QCOMPARE(w->Text2->text(), QStringLiteral("1001"));
    QCOMPARE(w->Text3->text(), QStringLiteral("C:\\1.txt"));
    QCOMPARE(w->Text4->text(), QStringLiteral("C:\\2.txt"));
    QCOMPARE(w->Text7->text(), QStringLiteral("100"));
    QCOMPARE(w->Text8->text(), QStringLiteral("500000"));
    QCOMPARE(w->Text5->text(), QString());
    QCOMPARE(w->Text6->text(), QString());
    QCOMPARE(w->Command1->text(), QStringLiteral("连接"));
    QCOMPARE(w->Command2->text(), QStringLiteral("监听"));
    QCOMPARE(w->Command3->text(), QStringLiteral(".."));
    QCOMPARE(w->Command5->text(), QStringLiteral("发送文件"));
    QCOMPARE(w->Command6->text(), QStringLiteral("发送消息"));
    QCOMPARE(w->Check1->text(), QStringLiteral("采用这里的接收路径"));
    QCOMPARE(w->Check1->checkState(), Qt::Unchecked);
    QCOMPARE(w->Label5->text(), QStringLiteral("注意：你可以从服务器发送到客户端，也可以从客户端发送到服务器。"));
    QCOMPARE(w->Label6->text(), QStringLiteral("每次发送延时(毫秒)"));
    QCOMPARE(w->ProgressBar1->minimum(), 0);
    QCOMPARE(w->ProgressBar1->maximum(), 100);
    QCOMPARE(w->Text1->parentWidget(), w->Frame2);
    QCOMPARE(w->Text5->parentWidget(), w->Frame4);
    QCOMPARE(w->Command6->parentWidget(), w->Frame3);
    QCOMPARE(w->ProgressBar1->parentWidget(), w->Frame1);
    QCOMPARE(w->Timer1.interval(), 100);
    QVERIFY(w->Timer1.isActive());
    const QString expectedPanel = QStringLiteral("本地IP:") + w.get(id::LocalIP).toString() + QStringLiteral("         ")
        + w.get(id::LocalHostName).toString();
    QCOMPARE(w->panelText(1), expectedPanel);
    QTRY_COMPARE(QApplication::focusWidget(), w->Text1);
    // Focus order.
    const QList<QWidget *> order{w->Text1, w->Text2, w->Command1, w->Command2, w->Text3, w->Text4, w->Command3, w->Command4,
                                 w->Command5, w->Text5, w->Text6, w->Command6, w->Check1, w->Text7, w->Text8};
    for (qsizetype i = 0; i + 1 < order.size(); ++i) {
        QCOMPARE(QApplication::focusWidget(), order[i]);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    QCOMPARE(QApplication::focusWidget(), order.last());
    // The control was restored from the window's stored settings.
    QVERIFY(w.get(id::TimeCounter).toInt() >= 495);
    QCOMPARE(w.get(id::ReciveFilePath).toString(), QString());
    QCOMPARE(w.get(id::Busy), QVariant(false));
}

void TestVelmora::connectAndFrameFollowsState()
{
    Window a, b;
    QVERIFY(a->Frame2->isEnabled());
    QVERIFY(connectWindows(a, b));
    QCOMPARE(a.get(id::TimeCounter).toInt() < 495, true); // reset by the accepted connection
    b->fileSender1().call(id::CloseAll);
    QVERIFY(waitFor([&] { return a->Frame2->isEnabled() && b->Frame2->isEnabled(); }));
    QVERIFY(a.boxes.isEmpty() && b.boxes.isEmpty()); // a peer's close is not reported
    // A stranger whose secure set-up fails is refused in the status bar, never with a box, and A
    // listens on for B all along.
    a->Command2->click();
    const int port = a.get(id::LocalPort).toInt();
    QTcpSocket stranger;
    stranger.connectToHost(QHostAddress::LocalHost, quint16(port));
    QVERIFY(stranger.waitForConnected(5000));
    stranger.write(QByteArray("\x16\x03\x01\x00\x08not tls!", 13));
    QVERIFY(waitFor([&] { return a->panelText(2).contains(QStringLiteral("已拒绝 127.0.0.1：the secure handshake failed: ")); }));
    QVERIFY(a.boxes.isEmpty());
    QCOMPARE(a.get(id::State).toInt(), int(platform::SocketComponent::Listening));
    QCOMPARE(a.get(id::LocalPort).toInt(), port);
    b.type(b->Text2, QString::number(port));
    b->Command1->click();
    QVERIFY(waitFor([&] { return !a->Frame2->isEnabled() && !b->Frame2->isEnabled(); }));
}

void TestVelmora::messagesBothWays()
{
    Window a, b;
    a->Text5->setText(QStringLiteral("before\r\n"));
    QVERIFY(connectWindows(a, b));
    QVERIFY(b.activate());
    b->Text6->setText(QStringLiteral("你好"));
    b->Command6->click();
    QCOMPARE(b->Text6->text(), QString());
    QCOMPARE(QApplication::focusWidget(), b->Text6);
    QVERIFY(waitFor([&] { return a->Text5->text().endsWith(QStringLiteral("接收到消息：你好\r\n")); }));
    b->Text6->setText(QString());
    b->Command6->click(); // an empty message
    QVERIFY(waitFor([&] { return a->Text5->text().endsWith(QStringLiteral("接收到消息：\r\n")); }));
    // Line breaks, no-break spaces and line separators arrive as sent, and stay so in the log.
    const QString odd = QStringLiteral("a\nb\rc\u00a0d\u2028e");
    b->Text6->setText(odd);
    b->Command6->click();
    QVERIFY(waitFor([&] { return a->Text5->text().endsWith(odd + QStringLiteral("\r\n")); }));
    b->Text6->setFocus();
    QTest::keyClicks(b->Text6, QStringLiteral("x\u00a0y")); // typed: the no-break space stays
    QTest::keyClick(b->Text6, Qt::Key_Return);
    QTest::keyClicks(b->Text6, QStringLiteral("z"));
    QCOMPARE(b->Text6->text(), QStringLiteral("x\u00a0y\r\nz"));
    b->Command6->click();
    QVERIFY(waitFor([&] { return a->Text5->text().endsWith(QStringLiteral("x\u00a0y\r\nz\r\n")); }));
    QCOMPARE(a->Text5->text(), QStringLiteral("before\r\n接收到消息：你好\r\n接收到消息：\r\n接收到消息：") + odd
                                   + QStringLiteral("\r\n接收到消息：x\u00a0y\r\nz\r\n"));
    a->Text6->setText(QStringLiteral("back"));
    a->Command6->click();
    QVERIFY(waitFor([&] { return b->Text5->text() == QStringLiteral("接收到消息：back\r\n"); }));
}

void TestVelmora::multiLineBoxKeepsText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("typed"); // at the end; a line feed stands for the Enter key
    QTest::addColumn<QString>("expected");
    QTest::newRow("no-break space") << "a\u00a0b" << "" << "a\u00a0b";
    QTest::newRow("line separator") << "a\u2028b" << "" << "a\u2028b";
    QTest::newRow("paragraph separator") << "a\u2029b" << "" << "a\u2029b";
    QTest::newRow("CR LF") << "a\r\nb" << "" << "a\r\nb";
    QTest::newRow("lone LF") << "a\nb" << "" << "a\nb";
    QTest::newRow("lone CR") << "a\rb" << "" << "a\rb";
    QTest::newRow("LF CR, two breaks") << "a\n\rb\r" << "" << "a\n\rb\r";
    QTest::newRow("typing keeps earlier breaks") << "a\nb\rc" << "d" << "a\nb\rcd";
    QTest::newRow("typed Enter is CR LF") << "a\nb" << "\nc" << "a\nb\r\nc";
    QTest::newRow("typed no-break space") << "" << "x\u00a0y" << "x\u00a0y";
}

void TestVelmora::multiLineBoxKeepsText()
{
    QFETCH(QString, text);
    QFETCH(QString, typed);
    QFETCH(QString, expected);
    MultiLineTextBox box;
    box.setText(text);
    box.moveCursor(QTextCursor::End);
    for (QChar c : typed) {
        if (c == u'\n')
            QTest::keyClick(&box, Qt::Key_Return);
        else
            QTest::keyClicks(&box, QString(c));
    }
    QCOMPARE(box.text(), expected);
}

void TestVelmora::busyControlRefusesBothButtons()
{
    Window a, b;
    QVERIFY(connectWindows(a, b));
    QFile src(dir.filePath("busy-src"));
    QVERIFY(src.open(QIODevice::WriteOnly));
    src.write(QByteArray(10000, 'b'));
    src.close();
    a->Text3->setText(src.fileName());
    a->Text4->setText(dir.filePath("busy-dst"));
    a.type(a->Text7, QStringLiteral("0")); // no pacing ticks: the send never ends
    a->Command5->click();
    QVERIFY(waitFor([&] { return a.get(id::Busy).toBool() && b.get(id::Busy).toBool(); }));
    for (Window *w : {&a, &b}) {
        w->form->Text6->setText(QStringLiteral("kept"));
        w->form->Command6->click();
        w->form->Command5->click();
        QCOMPARE(w->boxes, (QStringList{"控件忙。", "控件忙。"}));
        QCOMPARE(w->titles, (QStringList{"Velmora", "Velmora"}));
        QCOMPARE(w->styles, (QList<int>{0, 0}));
        QCOMPARE(w->form->Text6->text(), QStringLiteral("kept"));
    }
}

void TestVelmora::fileWithCheckedReceivePath()
{
    Window a, b;
    QVERIFY(connectWindows(a, b));
    QByteArray data(1300000, '\0');
    for (int i = 0; i < data.size(); ++i)
        data[i] = char(i % 251);
    QFile src(dir.filePath("send-me"));
    QVERIFY(src.open(QIODevice::WriteOnly));
    src.write(data);
    src.close();
    a->Text3->setText(src.fileName());
    a->Text4->blockSignals(true); // as if typed before: only the check box copies it at the send
    a->Text4->setText(dir.filePath("landed"));
    a->Text4->blockSignals(false);
    a->Check1->setChecked(true);
    a.type(a->Text7, QStringLiteral("5"));
    a.type(a->Text8, QStringLiteral("100000"));
    a->Text6->setText(QStringLiteral("emptied by the send"));
    QVERIFY(a.activate());
    a->Command5->click();
    QCOMPARE(a->Text6->text(), QString());
    QCOMPARE(QApplication::focusWidget(), a->Text6);
    QVERIFY(waitFor([&] { return a->ProgressBar1->value() == 100 && b->ProgressBar1->value() == 100 && !a.get(id::Busy).toBool(); }, 20000));
    QFile landed(dir.filePath("landed"));
    QVERIFY(landed.open(QIODevice::ReadOnly));
    QCOMPARE(landed.readAll(), data);
    QVERIFY(waitFor([&] { return b->panelText(1).startsWith(QStringLiteral("接受到文件：")); }));
    QCOMPARE(b->panelText(1), QStringLiteral("接受到文件：") + dir.filePath("landed") + QStringLiteral("  文件大小：1300000"));
    QCOMPARE(a.get(id::Interval).toInt(), 5);
    QCOMPARE(a.get(id::BufferSize).toInt(), 100000);
    QVERIFY(a.boxes.isEmpty() && b.boxes.isEmpty());
}

void TestVelmora::unusablePathReportedAsRemoteError()
{
    Window a, b;
    QVERIFY(connectWindows(a, b));
    QFile src(dir.filePath("small"));
    QVERIFY(src.open(QIODevice::WriteOnly));
    src.write("12345");
    src.close();
    a->Text3->setText(src.fileName()); // Text4 never changed, Check1 unchecked: an empty path is announced
    a->Command5->click();
    QVERIFY(waitFor([&] { return !a.boxes.isEmpty(); }));
    QCOMPARE(a.boxes, QStringList{QStringLiteral("远程错误：错误的文件路径。")});
    QCOMPARE(a.titles, QStringList{QStringLiteral("Velmora")});
    QVERIFY(waitFor([&] { return !a.get(id::Busy).toBool(); }));
}

void TestVelmora::chunkSizeRounding()
{
    Window a, b;
    QVERIFY(connectWindows(a, b));
    a->Text3->setText(dir.filePath("does-not-exist"));
    for (const auto &[text, expected] : {std::pair{"2.5", 2}, std::pair{"3.5", 4}}) {
        a.type(a->Text8, QString::fromLatin1(text));
        a->Command5->click(); // fails at SendFile (no such file) after BufferSize was set
        QCOMPARE(a.get(id::BufferSize).toInt(), expected);
    }
    QCOMPARE(a.boxes, (QStringList{"File not found", "File not found"}));
    a.boxes.clear();
    a.styles.clear();
    a.titles.clear();
    a.type(a->Text8, QStringLiteral("0"));
    a->Text6->setText(QStringLiteral("will be emptied"));
    a->Command5->click();
    QCOMPARE(a.boxes, QStringList{QStringLiteral("发送块大小不能为0。")});
    QCOMPARE(a.styles, QList<int>{32});
    QCOMPARE(a.titles, QStringList{QStringLiteral("Velmora")});
    QCOMPARE(a->Text6->text(), QString());
}

void TestVelmora::failingStepKeepsMessage_data()
{
    QTest::addColumn<QString>("delay");
    QTest::addColumn<QString>("chunk");
    QTest::addColumn<bool>("sendFile"); // Command5, else Command6
    QTest::addColumn<QString>("box");
    QTest::newRow("message without a connection") << "100" << "500000" << false
        << "Wrong protocol or connection state for the requested transaction or request";
    QTest::newRow("file, delay not a number") << "soon" << "500000" << true << "Type mismatch";
    QTest::newRow("file, chunk size out of range") << "100" << "2147483648" << true << "Overflow";
    QTest::newRow("file, negative delay") << "-1" << "500000" << true << "Invalid property value";
}

void TestVelmora::failingStepKeepsMessage()
{
    QFETCH(QString, delay);
    QFETCH(QString, chunk);
    QFETCH(bool, sendFile);
    QFETCH(QString, box);
    Window a;
    QVERIFY(a.activate());
    a.type(a->Text7, delay);
    a.type(a->Text8, chunk);
    a->Text6->setText(QStringLiteral("kept"));
    a->Text3->setFocus();
    (sendFile ? a->Command5 : a->Command6)->click();
    QCOMPARE(a.boxes, QStringList{box});
    QCOMPARE(a->Text6->text(), QStringLiteral("kept"));
    QCOMPARE(QApplication::focusWidget(), a->Text3); // the steps after the failing one did not run
}

void TestVelmora::boxesComeOneAtATime()
{
    // Boxes asked for while one is open wait for it; of those, only the last is shown, saying
    // how many others came.
    Window a;
    int open = 0, deepest = 0;
    a->setMessageBox([&](const QString &text, int, const QString &) {
        deepest = qMax(deepest, ++open);
        a.boxes << text;
        if (a.boxes.size() == 1) {
            a.type(a->Text2, QStringLiteral("port"));
            a->Command2->click();
            a->Command2->click();
        }
        --open;
    });
    a->Command6->click();
    QCOMPARE(deepest, 1);
    QCOMPARE(a.boxes, (QStringList{"Wrong protocol or connection state for the requested transaction or request",
                                   QStringLiteral("Type mismatch\n\n（另有 1 条消息未单独显示）")}));
}

void TestVelmora::progressBarStaysInItsRange()
{
    Window a;
    // A transfer that continues a broken one (a paired peer's) is said in the status bar.
    QVERIFY(QMetaObject::invokeMethod(a->fileSender1().widget(), "transferResumed", Q_ARG(double, 512.0 * 1024 * 1024)));
    QVERIFY2(a->panelText(1).startsWith(QStringLiteral("断点续传：前 512")) && a->panelText(1).contains(QStringLiteral("MiB")),
             qPrintable(a->panelText(1)));
    for (const auto &[progress, shown] : {std::pair{250, 100}, std::pair{-7, 0}, std::pair{40, 40}, std::pair{32767, 100}}) {
        platform::PropertyBag bag; // ProgressValue is persisted, so a stored value can lie outside 0..100
        bag.set(QStringLiteral("ProgressValue"), progress);
        a->fileSender1().load(bag);
        QCOMPARE(a.get(id::ProgressValue).toInt(), progress);
        QTRY_COMPARE(a->ProgressBar1->value(), shown);
    }
}

void TestVelmora::droppedFilesGoToTheReceiveFolder_data()
{
    QTest::addColumn<QStringList>("drops");  // one drop each, its paths separated by blanks
    QTest::addColumn<bool>("folder");        // Text4 names the inbox, else it is empty
    QTest::addColumn<QStringList>("arrived"); // under the inbox
    QTest::addColumn<QString>("log");        // Text5 of the sending window
    QTest::addColumn<QString>("host");       // typed into the receiving window's 远程IP box
    QTest::addColumn<QString>("encoding");   // the wire encoding; "" for the system's own
    QTest::newRow("two files") << QStringList{"one.bin two.txt"} << true << QStringList{"one.bin", "two.txt"}
                               << "已发送：2/2个文件（5500字节）\r\n" << "127.0.0.1" << QString();
    QTest::newRow("two files, the address typed in IPv6")
        << QStringList{"one.bin two.txt"} << true << QStringList{"one.bin", "two.txt"} << "已发送：2/2个文件（5500字节）\r\n"
        << "::1" << QString();
    QTest::newRow("a folder queued behind a file")
        << QStringList{"one.bin", "photos"} << true << QStringList{"one.bin", "photos/a.jpg", "photos/sub/b.jpg"}
        << "已发送：1/1个文件（3000字节）\r\n已发送：2/2个文件（2000字节）；跳过：photos/link（符号链接）\r\n"
        << "127.0.0.1" << QString();
    QTest::newRow("no receive folder: a plain peer refuses") << QStringList{"one.bin"} << false << QStringList()
                                                             << "已发送：0/1个文件（0字节）；失败：one.bin（错误的文件路径）\r\n"
                                                             << "127.0.0.1" << QString();
    QTest::newRow("a name the wire encoding cannot hold")
        << QStringList{"one.bin smile😀.txt"} << true << QStringList{"one.bin"}
        << QStringLiteral("已发送：1/1个文件（3000字节）；跳过：smile😀.txt（名称含有线路编码无法表示的字符）\r\n") << "127.0.0.1"
        << "GBK";
}

void TestVelmora::droppedFilesGoToTheReceiveFolder()
{
    QFETCH(QStringList, drops);
    QFETCH(bool, folder);
    QFETCH(QStringList, arrived);
    QFETCH(QString, log);
    QFETCH(QString, host);
    QFETCH(QString, encoding);
    if (host.contains(u':') && !testing::loopbackHasIPv6())
        QSKIP("no IPv6 on this machine's loopback (::1): the IPv6 rows do not run");
    QVERIFY(platform::setWireEncoding(encoding));
    const auto systemEncoding = qScopeGuard([] { platform::setWireEncoding(QString()); });
    QTemporaryDir files;
    const auto write = [&](const QString &name, int size) {
        QDir().mkpath(QFileInfo(files.filePath(name)).path());
        QFile f(files.filePath(name));
        QVERIFY(f.open(QIODevice::WriteOnly));
        for (int i = 0; i < size; ++i)
            f.putChar(char((i * 7 + size) % 251));
    };
    write(QStringLiteral("one.bin"), 3000);
    write(QStringLiteral("two.txt"), 2500);
    write(QStringLiteral("photos/a.jpg"), 1200);
    write(QStringLiteral("photos/sub/b.jpg"), 800);
    write(QStringLiteral("smile😀.txt"), 10);
    QVERIFY(QFile::link(QStringLiteral("a.jpg"), files.filePath("photos/link")));
    const QString inbox = files.filePath("inbox"); // its sub-folders are made by the peer, one level per file
    QVERIFY(QDir().mkpath(inbox));

    Window a, b; // b's receive path stays empty: it takes the announced paths
    QVERIFY(connectWindows(a, b, host));
    a.type(a->Text4, folder ? inbox : QString());
    a.type(a->Text7, QStringLiteral("1"));
    a.type(a->Text8, QStringLiteral("1000")); // several chunks per file
    for (const QString &names : drops) {
        QMimeData mime;
        QList<QUrl> urls;
        for (const QString &name : names.split(u' '))
            urls << QUrl::fromLocalFile(files.filePath(name));
        mime.setUrls(urls);
        mime.setText(QStringLiteral("not for the box")); // a text box would take this
        const QPoint at = a->Text3->rect().center();
        QDragEnterEvent enter(at, Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(a->Text3, &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent dropped(at, Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(a->Text3, &dropped);
        QVERIFY(dropped.isAccepted());
    }
    QVERIFY(waitFor([&] { return a->Text5->text().count(QStringLiteral("\r\n")) == drops.size(); }, 20000));
    QCOMPARE(a->Text5->text(), log);
    QStringList landed;
    for (QDirIterator it(inbox, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories); it.hasNext();)
        landed << QDir(inbox).relativeFilePath(it.next());
    landed.sort();
    QCOMPARE(landed, arrived);
    for (const QString &name : arrived) {
        QFile sent(files.filePath(name)), copy(inbox + u'/' + name);
        QVERIFY(sent.open(QIODevice::ReadOnly) && copy.open(QIODevice::ReadOnly));
        QCOMPARE(copy.readAll(), sent.readAll());
    }
    QCOMPARE(a->Text3->text(), QStringLiteral("C:\\1.txt")); // the box under the drop took nothing
    QCOMPARE(a.get(id::BufferSize).toInt(), 1000);
    QVERIFY(a.boxes.isEmpty() && b.boxes.isEmpty());
}

void TestVelmora::emptyRegistryEndsWithOneBox()
{
    const QByteArray registry = qgetenv("COMPONENT_REGISTRY");
    qputenv("COMPONENT_REGISTRY", dir.filePath("empty-registry.ini").toLocal8Bit());
    int status = -1;
    const QList<SeenDialog> seen = answerDialogs([&] { status = Form1::runProgram(); });
    qputenv("COMPONENT_REGISTRY", registry);
    QCOMPARE(status, 1);
    QCOMPARE(seen.size(), 1);
    QVERIFY2(seen[0].text.startsWith(QStringLiteral("Sender.FileSender cannot be created: ")), qPrintable(seen[0].text));
    QCOMPARE(seen[0].title, QStringLiteral("Velmora"));
}

void TestVelmora::boxesAreModalToTheirWindow_data()
{
    QTest::addColumn<QString>("chunk");
    QTest::addColumn<bool>("sendFile"); // Command5, else Command2 (listen)
    QTest::addColumn<QString>("text");
    QTest::newRow("the window's own box") << "500000" << false << "Type mismatch";
    QTest::newRow("the control's box") << "0" << true << "发送块大小不能为0。";
}

void TestVelmora::boxesAreModalToTheirWindow()
{
    QFETCH(QString, chunk);
    QFETCH(bool, sendFile);
    QFETCH(QString, text);
    Window a(true), b;
    a->show();
    QVERIFY(b.activate()); // the other window is the active one
    a.type(a->Text2, QStringLiteral("port"));
    a.type(a->Text8, chunk);
    const QList<SeenDialog> seen = answerDialogs([&] { (sendFile ? a->Command5 : a->Command2)->click(); });
    QCOMPARE(seen.size(), 1);
    QCOMPARE(seen[0].text, text);
    QCOMPARE(seen[0].title, QStringLiteral("Velmora"));
    QCOMPARE(seen[0].parent, a.form.get());
    QCOMPARE(seen[0].modality, Qt::WindowModal);
}

void TestVelmora::receivePathDialogAsksNothing()
{
    Window a(true);
    QVERIFY(a.activate());
    QFile existing(dir.filePath("already-there"));
    QVERIFY(existing.open(QIODevice::WriteOnly));
    existing.close();
    const QList<SeenDialog> seen = answerDialogs([&] { a->Command4->click(); }, existing.fileName());
    QCOMPARE(seen.size(), 1); // the file dialog, and no "replace?" question
    QCOMPARE(seen[0].text, QStringLiteral("file dialog"));
    QCOMPARE(seen[0].parent, a.form.get());
    QCOMPARE(a->Text4->text(), existing.fileName());
    QCOMPARE(a.get(id::ReciveFilePath).toString(), existing.fileName());
}

void TestVelmora::listenWithLettersFailsAtConversion()
{
    Window a;
    a->fileSender1().put(id::LocalPort, 0);
    a->fileSender1().call(id::Listen);
    QCOMPARE(a.get(id::State).toInt(), 2);
    a.type(a->Text2, QStringLiteral("port"));
    a->Command2->click();
    QCOMPARE(a.get(id::State).toInt(), 0); // CloseAll ran, Listen did not
    QCOMPARE(a.boxes, QStringList{QStringLiteral("Type mismatch")});
    QCOMPARE(a.get(id::LocalPort).toInt() > 0, true); // LocalPort was not written either
}

void TestVelmora::receivePathFromDialog()
{
    Window a;
    a.nextDialogAnswer = dir.filePath("chosen");
    a->Command4->click();
    QCOMPARE(a->Text4->text(), dir.filePath("chosen"));
    QCOMPARE(a.get(id::ReciveFilePath).toString(), dir.filePath("chosen"));
    // The same name chosen again still sets the path, as does a cancelled dialog (same FileName).
    for (const QString &answer : {dir.filePath("chosen"), QString()}) {
        a->fileSender1().put(id::ReciveFilePath, QStringLiteral("/elsewhere"));
        a.nextDialogAnswer = answer;
        a->Command4->click();
        QCOMPARE(a.get(id::ReciveFilePath).toString(), dir.filePath("chosen"));
    }
    a.nextDialogAnswer.clear(); // cancelled: the name stays as it was
    a->Command3->click();
    QCOMPARE(a->Text3->text(), dir.filePath("chosen"));
}

void TestVelmora::connectReadsTheLeadingNumber()
{
    Window a;
    a.type(a->Text1, QStringLiteral("127.0.0.1"));
    for (const auto &[text, port] : {std::pair{"1001abc", 1001}, std::pair{" 2 0 0 2", 2002}, std::pair{"letters", 0}}) {
        a.type(a->Text2, QString::fromLatin1(text));
        a->Command1->click();
        QCOMPARE(a.get(id::RemotePort).toInt(), port);
        QCOMPARE(a.get(id::RemoteHost).toString(), QStringLiteral("127.0.0.1"));
    }
    // Port 0 cannot be connected to: the socket's refusal arrives later as a remote error.
    QVERIFY(waitFor([&] { return !a.boxes.isEmpty(); }));
    QVERIFY(a.boxes.first().startsWith(QStringLiteral("远程错误：")));
}

void TestVelmora::commandLine_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("encoding"); // VELMORA_WIRE_ENCODING, "" = unset
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("out");      // the start of stdout
    QTest::addColumn<QString>("error");    // a part of stderr
    const QString version = QStringLiteral("velmora " VELMORA_VERSION "\n");
    QTest::newRow("--help") << QStringList{"--help"} << "" << 0 << "Usage: velmora [options]\n" << "";
    QTest::newRow("--version") << QStringList{"--version"} << "" << 0 << version << "";
    QTest::newRow("Qt's own options still work") << QStringList{"-platform", "offscreen", "-v"} << "" << 0 << version << "";
    QTest::newRow("unknown option") << QStringList{"--bogus"} << "" << 2 << "" << "velmora: Unknown option 'bogus'.";
    QTest::newRow("unknown encoding") << QStringList{"--encoding", "Klingon"} << "" << 2 << ""
                                      << "Klingon (from --encoding)";
    QTest::newRow("unknown encoding in the environment") << QStringList() << "Klingon" << 2 << ""
                                                         << "Klingon (from VELMORA_WIRE_ENCODING)";
}

void TestVelmora::commandLine()
{
    QFETCH(QStringList, args);
    QFETCH(QString, encoding);
    QFETCH(int, status);
    QFETCH(QString, out);
    QFETCH(QString, error);
    QProcess velmora;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.remove(QStringLiteral("VELMORA_WIRE_ENCODING"));
    if (!encoding.isEmpty())
        env.insert(QStringLiteral("VELMORA_WIRE_ENCODING"), encoding);
    velmora.setProcessEnvironment(env);
    velmora.start(QStringLiteral(VELMORA_PATH), args);
    QCOMPARE(testing::exitStatusOf(velmora, 30000), status);
    const QString stdOut = QString::fromUtf8(velmora.readAllStandardOutput());
    QVERIFY2(out.isEmpty() ? stdOut.isEmpty() : stdOut.startsWith(out), qPrintable(stdOut));
    const QString stdErr = QString::fromUtf8(velmora.readAllStandardError());
    QVERIFY2(stdErr.contains(error), qPrintable(stdErr));
}

QTEST_MAIN(TestVelmora)
#include "tst_velmora.moc"
