#include "form1.h"

#include "conversions.h"
#include "dropsender.h"
#include "filesenderinterface.h"
#include "multilinetextbox.h"
#include "peeroffer.h"
#include "propertybag.h"
#include "socketcomponent.h"
#include "windowsecurity.h"

#include <QApplication>
#include <QCheckBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QLocale>
#include <QStatusBar>

namespace id = sender::dispid;
using platform::AutomationError;

const QString Form1::Title = QStringLiteral("Velmora");

namespace {

constexpr int px(int twips) { return twips / Form1::TwipsPerPixel; }

template<typename W>
W *make(QWidget *parent, const char *name, const QRect &geometry)
{
    auto *w = new W(parent);
    w->setObjectName(QLatin1String(name));
    w->setGeometry(geometry);
    return w;
}

// A widget that shows a text: a label, a button, a text box or a check box.
template<typename W>
W *withText(QWidget *parent, const char *name, const QString &text, const QRect &geometry)
{
    auto *w = make<W>(parent, name, geometry);
    w->setText(text);
    return w;
}

constexpr auto label = withText<QLabel>;
constexpr auto button = withText<QPushButton>;
constexpr auto textBox = withText<QLineEdit>;

QGroupBox *frame(QWidget *parent, const char *name, const QString &caption, int left, int top, int width, int height)
{
    auto *f = make<QGroupBox>(parent, name, QRect(px(left), px(top), px(width), px(height)));
    f->setTitle(caption);
    return f;
}

} // namespace

Form1::Form1(QWidget *parent)
    : QWidget(parent)
    , m_messageBox([this](const QString &text, int style, const QString &title) {
        platform::showMessageBox(text, style, title, this);
    })
    , m_fileDialog([this](bool save) {
        // The save dialog only names the receive path: nothing is written, so nothing to confirm.
        return save ? QFileDialog::getSaveFileName(this, QString(), QString(), QString(), nullptr,
                                                   QFileDialog::DontConfirmOverwrite)
                    : QFileDialog::getOpenFileName(this);
    })
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(Title);
    setFixedSize(px(10665), px(6075));
    createWidgets();
    m_peerOffer = new PeerOffer(Text1, Text2);
    m_security = new WindowSecurity(StatusPanel2, this);
    m_security->setCodePrompt([this](const QString &peer) {
        return QInputDialog::getText(this, Title, QStringLiteral("输入 %1 显示的配对码：").arg(peer));
    });
    setTabOrderChain();
    startControl();
    m_dropSender = std::make_unique<DropSender>(*m_fileSender1, Text4, Text7, Text8, Text5);
    m_dropSender->watch(this);
    Text1->setFocus();
}

Form1::~Form1() = default;

int Form1::runProgram(const QString &name)
{
    std::unique_ptr<Form1> window;
    try {
        window = std::make_unique<Form1>();
    } catch (const AutomationError &e) {
        platform::showMessageBox(QStringLiteral("Sender.FileSender cannot be created: %1\n\n"
                                                "Register the control with ./run.sh, or with\n"
                                                "component-register build/bin/libSender.so")
                                     .arg(e.description),
                                 platform::mbstyle::OkOnly, Title);
        return 1;
    }
    window->peerOffer().setName(name);
    window->security().setName(name);
    window->show();
    window->Text1->setFocus();
    return QApplication::exec();
}

void Form1::createWidgets()
{
    StatusBar1 = make<QStatusBar>(this, "StatusBar1", QRect(0, px(5820), px(10665), px(255)));
    StatusBar1->setSizeGripEnabled(false);
    StatusPanel1 = new QLabel(StatusBar1);
    StatusBar1->addWidget(StatusPanel1, 1);
    StatusPanel2 = new QLabel(StatusBar1);
    StatusPanel2->setObjectName(QStringLiteral("StatusPanel2"));
    StatusBar1->addPermanentWidget(StatusPanel2);

    Frame4 = frame(this, "Frame4", QStringLiteral("接收消息"), 6480, 360, 3855, 2655);
    Text5 = make<MultiLineTextBox>(Frame4, "Text5", QRect(8, 20, Frame4->width() - 16, Frame4->height() - 28));

    Frame3 = frame(this, "Frame3", QStringLiteral("消息发送"), 6480, 3120, 3855, 2655);
    Command6 = button(Frame3, "Command6", QStringLiteral("发送消息"), QRect((Frame3->width() - 100) / 2, 138, 100, 28));
    Text6 = make<MultiLineTextBox>(Frame3, "Text6", QRect(8, 20, Frame3->width() - 16, 110));

    Timer1.setObjectName(QStringLiteral("Timer1"));

    Frame2 = frame(this, "Frame2", QStringLiteral("设置(传输控件支持用第三方Winsock调用 Accept来建立连接)"), 240, 360,
                   6015, 1335);
    Command2 = button(Frame2, "Command2", QStringLiteral("监听"), QRect(296, 52, 90, 26));
    Command1 = button(Frame2, "Command1", QStringLiteral("连接"), QRect(296, 22, 90, 26));
    Text2 = textBox(Frame2, "Text2", QStringLiteral("1001"), QRect(84, 54, 200, 22));
    Text1 = textBox(Frame2, "Text1", QStringLiteral("192.168.0.1"), QRect(84, 24, 200, 22));
    Label2 = label(Frame2, "Label2", QStringLiteral("远程端口"), QRect(12, 56, 70, 18));
    Label1 = label(Frame2, "Label1", QStringLiteral("远程IP"), QRect(12, 26, 70, 18));

    Frame1 = frame(this, "Frame1", QStringLiteral("文件"), 240, 1800, 6015, 3855);
    Text8 = textBox(Frame1, "Text8", QStringLiteral("500000"), QRect(292, 50, 96, 22));
    Text7 = textBox(Frame1, "Text7", QStringLiteral("100"), QRect(128, 50, 60, 22));
    Check1 = withText<QCheckBox>(Frame1, "Check1", QStringLiteral("采用这里的接收路径"), QRect(12, 144, 240, 24));
    ProgressBar1 = make<QProgressBar>(Frame1, "ProgressBar1", QRect(12, 218, Frame1->width() - 24, 22));
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    Command5 = button(Frame1, "Command5", QStringLiteral("发送文件"), QRect(288, 142, 100, 28));
    Command4 = button(Frame1, "Command4", QStringLiteral(".."), QRect(352, 111, 36, 24));
    Command3 = button(Frame1, "Command3", QStringLiteral(".."), QRect(352, 81, 36, 24));
    Text4 = textBox(Frame1, "Text4", QStringLiteral("C:\\2.txt"), QRect(76, 112, 270, 22));
    Text3 = textBox(Frame1, "Text3", QStringLiteral("C:\\1.txt"), QRect(76, 82, 270, 22));
    Label8 = label(Frame1, "Label8", QStringLiteral("每次发送大小"), QRect(200, 52, 90, 18));
    Label6 = label(Frame1, "Label6", QStringLiteral("每次发送延时(毫秒)"), QRect(12, 52, 114, 18));
    Label7 = label(Frame1, "Label7", QStringLiteral("进度显示"), QRect(12, 194, 120, 18));
    Label5 = label(Frame1, "Label5", QStringLiteral("注意：你可以从服务器发送到客户端，也可以从客户端发送到服务器。"),
                   QRect(12, 20, Frame1->width() - 24, 26));
    Label5->setWordWrap(true);
    Label4 = label(Frame1, "Label4", QStringLiteral("接收文件"), QRect(12, 114, 62, 18));
    Label3 = label(Frame1, "Label3", QStringLiteral("发送文件"), QRect(12, 84, 62, 18));

    connect(Command1, &QPushButton::clicked, this, &Form1::command1Click);
    connect(Command2, &QPushButton::clicked, this, &Form1::command2Click);
    connect(Command3, &QPushButton::clicked, this, &Form1::command3Click);
    connect(Command4, &QPushButton::clicked, this, &Form1::command4Click);
    connect(Command5, &QPushButton::clicked, this, &Form1::command5Click);
    connect(Command6, &QPushButton::clicked, this, &Form1::command6Click);
    connect(Text4, &QLineEdit::textChanged, this, &Form1::text4Change);
    connect(&Timer1, &QTimer::timeout, this, &Form1::timer1Timer);
}

void Form1::setTabOrderChain()
{
    const QList<QWidget *> order{Text1, Text2, Command1, Command2, Text3, Text4, Command3, Command4,
                                 Command5, Text5, Text6, Command6, Check1, Text7, Text8};
    for (qsizetype i = 0; i + 1 < order.size(); ++i)
        setTabOrder(order[i], order[i + 1]);
}

void Form1::startControl()
{
    Q_INIT_RESOURCE(demo); // the window's resources live in a static library
    m_fileSender1 = std::make_unique<platform::ControlHost>(QStringLiteral("Sender.FileSender"), this,
                                                                   static_cast<platform::ControlSite *>(this));
    // The window's stored settings for the control: its extent and a TimeCounter of 495.
    platform::PropertyBag stored;
    if (!stored.loadFromFile(QStringLiteral(":/Velmora/FileSender1.json")))
        platform::raiseError(platform::err::PathFileAccessError);
    m_fileSender1->load(stored);
    m_fileSender1->onEvent([this](platform::DispId id, QVariantList &args) { onControlEvent(id, args); });
    QWidget *face = m_fileSender1->widget();
    face->move(width() - face->width(), 0);
    face->hide(); // the window does not use the control's face
    // The control's socket component is a platform piece the window may hand what secures it.
    if (auto *socket = face->findChild<platform::SocketComponent *>(QStringLiteral("MySock")))
        m_security->attach(*socket);
    // A control that resumes transfers says so by a signal of its face (not every control has it).
    if (face->metaObject()->indexOfSignal("transferResumed(double)") >= 0)
        connect(face, SIGNAL(transferResumed(double)), this, SLOT(transferResumed(double)));

    const QString localIP = m_fileSender1->get(id::LocalIP).toString();
    const QString hostName = m_fileSender1->get(id::LocalHostName).toString();
    StatusPanel1->setText(QStringLiteral("本地IP:") + localIP + QStringLiteral("         ") + hostName);

    Timer1.setInterval(100);
    Timer1.start();
}

QString Form1::panelText(int panel) const
{
    return panel == 1 ? StatusPanel1->text() : panel == 2 ? StatusPanel2->text() : QString();
}

int Form1::messageBox(const QString &text, int style, const QString &title)
{
    // The control's own boxes carry no title of their own: they get the program's.
    showBox(text, style, title.isEmpty() ? Title : title);
    return 1;
}

void Form1::box(const QString &text)
{
    showBox(text, platform::mbstyle::OkOnly, Title);
}

void Form1::showBox(const QString &text, int style, const QString &title)
{
    if (m_boxOpen) {
        m_waitingBox = WaitingBox{text, style, title};
        ++m_boxesWaited;
        return;
    }
    m_boxOpen = true;
    m_messageBox(text, style, title);
    m_boxOpen = false;
    if (!m_waitingBox)
        return;
    WaitingBox next = *std::exchange(m_waitingBox, std::nullopt);
    if (const int others = std::exchange(m_boxesWaited, 0) - 1; others > 0)
        next.text += QStringLiteral("\n\n（另有 %1 条消息未单独显示）").arg(others);
    showBox(next.text, next.style, next.title);
}

void Form1::runAction(const std::function<void()> &steps)
{
    try {
        steps();
    } catch (const AutomationError &e) {
        box(e.description.isEmpty() ? QStringLiteral("Error %1").arg(e.number) : e.description);
    }
}

bool Form1::controlBusy()
{
    return m_fileSender1->get(id::Busy).toBool();
}

void Form1::command1Click()
{
    runAction([this] {
        const double port = platform::leadingNumber(Text2->text());
        const auto peer = m_peerOffer->peerAt(Text1->text(), quint16(port));
        QString refusal;
        if (!m_security->connecting(peer ? &*peer : nullptr, &refusal)) {
            if (!refusal.isEmpty())
                box(refusal);
            return; // refused, or the pairing code was not given
        }
        m_fileSender1->call(id::CloseAll);
        m_fileSender1->call(id::Connect, {Text1->text(), port});
    });
}

void Form1::command2Click()
{
    runAction([this] {
        m_fileSender1->call(id::CloseAll); // before the port is read: a port that is no number fails after it
        listenOn(platform::wholeInt32FromText(Text2->text()));
    });
}

void Form1::listenOn(qint32 port)
{
    m_fileSender1->put(id::LocalPort, port);
    m_security->listening();
    m_fileSender1->call(id::Listen);
    m_peerOffer->listening(quint16(m_fileSender1->get(id::LocalPort).toInt()));
}

void Form1::command3Click()
{
    const QString chosen = m_fileDialog(false);
    if (!chosen.isEmpty())
        m_dialogFileName = chosen; // a cancelled dialog leaves FileName as it was
    Text3->setText(m_dialogFileName);
}

void Form1::command4Click()
{
    const QString chosen = m_fileDialog(true);
    if (!chosen.isEmpty())
        m_dialogFileName = chosen;
    // Setting the box always counts as its change, even to the text it already shows.
    if (Text4->text() == m_dialogFileName)
        text4Change();
    else
        Text4->setText(m_dialogFileName);
}

void Form1::text4Change()
{
    runAction([this] { m_fileSender1->put(id::ReciveFilePath, Text4->text()); });
}

void Form1::command5Click()
{
    runAction([this] {
        if (controlBusy()) {
            box(QStringLiteral("控件忙。"));
            return;
        }
        if (Check1->checkState() == Qt::Checked)
            m_fileSender1->put(id::ReciveFilePath, Text4->text());
        m_fileSender1->put(id::Interval, platform::wholeInt32FromText(Text7->text()));
        m_fileSender1->put(id::BufferSize, platform::wholeInt32FromText(Text8->text()));
        m_fileSender1->call(id::SendFile, {Text3->text(), true});
        Text6->setText(QString());
        Text6->setFocus();
    });
}

void Form1::command6Click()
{
    runAction([this] {
        if (controlBusy()) {
            box(QStringLiteral("控件忙。"));
            return;
        }
        m_fileSender1->call(id::SendMessage, {Text6->text()});
        Text6->setText(QString());
        Text6->setFocus();
    });
}

void Form1::timer1Timer()
{
    try {
        const int state = m_fileSender1->get(id::State).toInt();
        Frame2->setEnabled(state != 7);
        if (state != 2)
            m_peerOffer->notListening(); // announced only while listening
        m_security->update(state);
        ProgressBar1->setValue(qBound(0, m_fileSender1->get(id::ProgressValue).toInt(), 100));
    } catch (const AutomationError &) {
        // A failed read leaves the widgets as they are until the next tick.
    }
}

void Form1::transferResumed(double fromBytes)
{
    StatusPanel1->setText(QStringLiteral("断点续传：前 %1 已在对方，从此处继续。")
                              .arg(QLocale::system().formattedDataSize(qint64(fromBytes), 1, QLocale::DataSizeIecFormat)));
}

void Form1::onControlEvent(platform::DispId event, QVariantList &args)
{
    switch (sender::FileSenderEvent(event)) {
    case sender::FileSenderEvent::OnClose:
        if (m_dropSender)
            m_dropSender->controlClosed(); // not reported otherwise: Frame2 is enabled again on the next tick
        break;
    case sender::FileSenderEvent::Error:
        // An error of a dropped file goes into that drop's line, not into a box per file.
        if (!m_dropSender || !m_dropSender->controlError(args.value(1).toString()))
            box(QStringLiteral("远程错误：") + args.value(1).toString());
        break;
    case sender::FileSenderEvent::ReciveMessage:
        Text5->setText(Text5->text() + QStringLiteral("接收到消息：") + args.value(0).toString() + QStringLiteral("\r\n"));
        break;
    case sender::FileSenderEvent::ReciveFile: {
        QString path;
        try {
            path = m_fileSender1->get(id::ReciveFilePath).toString();
        } catch (const AutomationError &) {
        }
        StatusPanel1->setText(QStringLiteral("接受到文件：") + path + QStringLiteral("  文件大小：")
                              + platform::numberToText(args.value(0).toDouble()));
        break;
    }
    }
}
