#pragma once
// Form1, the Velmora window: one FileSender and a box or a button for every everyday function.

#include "controlhost.h"
#include "controlsite.h"

#include <QWidget>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QStatusBar;
class DropSender;
class MultiLineTextBox;
class PeerOffer;
class WindowSecurity;

class Form1 : public QWidget, private platform::ControlSite
{
    Q_OBJECT
public:
    /// Shows a modal message box (text, style, title).
    using MessageBoxFn = std::function<void(const QString &, int, const QString &)>;
    /// Shows a file dialog (save or open) and returns the chosen path, or "" when cancelled.
    using FileDialogFn = std::function<QString(bool save)>;

    /// Creates the window and its FileSender through the registry; throws AutomationError when
    /// the control cannot be created.
    explicit Form1(QWidget *parent = nullptr);
    ~Form1() override;

    /// The program: opens the window, announced under `name` (the host name when empty) while it
    /// listens, and runs until it is closed. When the control cannot be created, says why in one
    /// message box and returns 1.
    static int runProgram(const QString &name = QString());

    /// Replaces how message boxes and file dialogs are shown (tests use this).
    void setMessageBox(MessageBoxFn fn) { m_messageBox = std::move(fn); }
    void setFileDialog(FileDialogFn fn) { m_fileDialog = std::move(fn); }

    platform::ControlHost &fileSender1() { return *m_fileSender1; }
    /// The peers found on the network, offered in Text1, and the window's announcement.
    PeerOffer &peerOffer() { return *m_peerOffer; }
    WindowSecurity &security() { return *m_security; }
    /// Text of a status bar panel (the first is panel 1).
    QString panelText(int panel) const;

    static constexpr int TwipsPerPixel = 15;
    static const QString Title;

private:
    // platform::ControlSite for FileSender1.
    bool ambientUserMode() const override { return true; }
    void propertyChanged(const QString &) override {}
    int messageBox(const QString &text, int style, const QString &title) override;

    void createWidgets();
    void setTabOrderChain();
    void startControl();

    void command1Click();
    void command2Click();
    /// Listens on `port` (0: one the system picks); what was open is closed already.
    void listenOn(qint32 port);
    void command3Click();
    void command4Click();
    void command5Click();
    void command6Click();
    void text4Change();
    void timer1Timer();
    void onControlEvent(platform::DispId id, QVariantList &args);
private slots:
    /// The control continues a transfer that broke (a paired peer's): said in the status bar.
    void transferResumed(double fromBytes);
private:

    /// Runs one user action; a failing step ends it with a message box saying why.
    void runAction(const std::function<void()> &steps);
    void box(const QString &text);
    /// Shows one box at a time: one asked for while another is open waits for it to close, and
    /// of several that wait only the last is shown, saying how many others came.
    void showBox(const QString &text, int style, const QString &title);
    bool controlBusy();

    struct WaitingBox
    {
        QString text;
        int style;
        QString title;
    };
    MessageBoxFn m_messageBox;
    bool m_boxOpen = false;
    std::optional<WaitingBox> m_waitingBox;
    int m_boxesWaited = 0;
    FileDialogFn m_fileDialog;
    QString m_dialogFileName; ///< CommonDialog1's FileName, kept across dialogs
    std::unique_ptr<platform::ControlHost> m_fileSender1;
    std::unique_ptr<DropSender> m_dropSender; ///< sends what is dropped onto the window
    PeerOffer *m_peerOffer = nullptr; ///< a child of Text1
    WindowSecurity *m_security = nullptr; ///< a child of the window

public:
    // The window's widgets, by their names.
    QStatusBar *StatusBar1 = nullptr;
    QLabel *StatusPanel1 = nullptr;
    QLabel *StatusPanel2 = nullptr; ///< the lock of a secure connection, or a listening window's pairing code
    QGroupBox *Frame4 = nullptr;
    MultiLineTextBox *Text5 = nullptr;
    QGroupBox *Frame3 = nullptr;
    QPushButton *Command6 = nullptr;
    MultiLineTextBox *Text6 = nullptr;
    QTimer Timer1;
    QGroupBox *Frame2 = nullptr;
    QPushButton *Command2 = nullptr;
    QPushButton *Command1 = nullptr;
    QLineEdit *Text2 = nullptr;
    QLineEdit *Text1 = nullptr;
    QLabel *Label2 = nullptr;
    QLabel *Label1 = nullptr;
    QGroupBox *Frame1 = nullptr;
    QLineEdit *Text8 = nullptr;
    QLineEdit *Text7 = nullptr;
    QCheckBox *Check1 = nullptr;
    QProgressBar *ProgressBar1 = nullptr;
    QPushButton *Command5 = nullptr;
    QPushButton *Command4 = nullptr;
    QPushButton *Command3 = nullptr;
    QLineEdit *Text4 = nullptr;
    QLineEdit *Text3 = nullptr;
    QLabel *Label8 = nullptr;
    QLabel *Label6 = nullptr;
    QLabel *Label7 = nullptr;
    QLabel *Label5 = nullptr;
    QLabel *Label4 = nullptr;
    QLabel *Label3 = nullptr;
};
