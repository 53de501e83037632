#pragma once
// velmora-send's dialog: pick a peer found on the network (or give HOST:PORT) and send files and
// folders to it, with a progress bar and a summary at the end. The sending itself is a run of
// velmora-cli, whose events it reads.

#include "knownpeers.h"
#include "sendplan.h"
#include "servicebrowser.h"

#include <QDialog>
#include <QMap>
#include <QProcess>

#include <functional>
#include <memory>

class QDialogButtonBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;

namespace discovery {
class DiscoveryClient;
}

class SendDialog : public QDialog
{
    Q_OBJECT
public:
    /// Sends `paths` with the velmora-cli at `cliProgram`.
    SendDialog(const QStringList &paths, const QString &cliProgram, QWidget *parent = nullptr);
    ~SendDialog() override;

    /// Asks for the pairing code a peer not paired yet shows ("" cancels); a dialog unless set.
    void setCodePrompt(std::function<QString(const QString &peer)> prompt) { m_prompt = std::move(prompt); }

    QListWidget *peerList() const { return m_peerList; }
    QLineEdit *addressBox() const { return m_address; }
    QPushButton *sendButton() const { return m_send; }
    /// The last line of the dialog: what it is doing, or how the send ended.
    QString status() const;
    /// Whether a send ran and every file reached the peer.
    bool allSent() const { return m_finished && m_sent == m_fileCount && m_skippedFailures == 0 && m_failed == 0; }

private:
    struct Listed
    {
        discovery::DiscoveredPeer peer;
        secure::KnownPeers::Standing standing = secure::KnownPeers::Standing::Unknown;
    };
    void showPeers();
    void send();
    void readEvents();
    void finished(int status);
    void setStatus(const QString &text);

    QStringList m_paths;
    QString m_cli;
    qsizetype m_fileCount = 0;   ///< files the paths hold
    int m_skippedFailures = 0;   ///< entries of them that cannot be sent
    qint64 m_totalBytes = 0;
    secure::KnownPeers m_known;
    std::unique_ptr<discovery::DiscoveryClient> m_client;
    std::unique_ptr<discovery::ServiceBrowser> m_browser;
    QMap<QString, Listed> m_peers;
    std::function<QString(const QString &)> m_prompt;

    QListWidget *m_peerList = nullptr;
    QLineEdit *m_address = nullptr;
    QProgressBar *m_progress = nullptr;
    QLabel *m_status = nullptr;
    QDialogButtonBox *m_buttons = nullptr;
    QPushButton *m_send = nullptr;

    QProcess m_run;
    QByteArray m_pending;     ///< output of the run not yet a whole line
    qint64 m_doneBytes = 0;   ///< bytes of the files finished so far
    int m_sent = 0;
    int m_failed = 0;
    QStringList m_failures;   ///< "name (why)" of each file that did not go
    QString m_lastError;
    QString m_resumed; ///< how much of the file being sent the peer kept from a try that broke
    int m_resumedFiles = 0;
    bool m_finished = false;
};
