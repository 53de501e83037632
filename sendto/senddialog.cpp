#include "senddialog.h"

#include "discoveryclient.h"
#include "pairing.h"
#include "shownsize.h"

#include <QDialogButtonBox>
#include <QFileInfo>
#include <QInputDialog>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

namespace {

constexpr int ProgressSteps = 1000;

using Standing = secure::KnownPeers::Standing;

// How a peer is listed: the paired ones first, then the secure ones, then legacy ones, and one
// that may be an impostor last.
int rank(const discovery::DiscoveredPeer &peer, Standing standing)
{
    switch (standing) {
    case Standing::Paired: return 0;
    case Standing::Unknown: return peer.secure ? 1 : 2;
    case Standing::Impostor: return 3;
    }
    return 3;
}

} // namespace

SendDialog::SendDialog(const QStringList &paths, const QString &cliProgram, QWidget *parent)
    : QDialog(parent)
    , m_paths(paths)
    , m_cli(cliProgram)
{
    setWindowTitle(QStringLiteral("Send to a peer"));
    SendList files(paths, std::nullopt);
    m_fileCount = files.count();
    m_skippedFailures = files.failures();
    m_totalBytes = files.bytes();
    const std::optional<SendItem> first = m_fileCount == 1 ? files.next() : std::nullopt;
    const QString what = first ? QFileInfo(first->file).fileName() : QStringLiteral("%1 files").arg(m_fileCount);
    auto *layout = new QVBoxLayout(this);
    auto *heading = new QLabel;
    heading->setTextFormat(Qt::PlainText); // a file's name is never read as markup
    heading->setText(QStringLiteral("Send %1 (%2) to:").arg(what, shownSize(m_totalBytes)));
    layout->addWidget(heading);
    m_peerList = new QListWidget;
    m_peerList->setObjectName(QStringLiteral("peers"));
    layout->addWidget(m_peerList);
    m_address = new QLineEdit;
    m_address->setPlaceholderText(QStringLiteral("or HOST:PORT, [IPv6]:PORT"));
    layout->addWidget(m_address);
    m_progress = new QProgressBar;
    m_progress->setRange(0, ProgressSteps);
    m_progress->setValue(0);
    layout->addWidget(m_progress);
    m_status = new QLabel;
    m_status->setTextFormat(Qt::PlainText);
    m_status->setWordWrap(true);
    layout->addWidget(m_status);
    m_buttons = new QDialogButtonBox(QDialogButtonBox::Close);
    m_send = m_buttons->addButton(QStringLiteral("Send"), QDialogButtonBox::ActionRole);
    m_send->setEnabled(false);
    layout->addWidget(m_buttons);
    connect(m_buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(m_send, &QPushButton::clicked, this, &SendDialog::send);
    const auto choosable = [this] {
        m_send->setEnabled(m_run.state() == QProcess::NotRunning && !m_finished && m_fileCount > 0
                           && (m_peerList->currentItem() || !m_address->text().trimmed().isEmpty()));
    };
    connect(m_peerList, &QListWidget::currentItemChanged, this, choosable);
    connect(m_address, &QLineEdit::textChanged, this, choosable);
    connect(m_peerList, &QListWidget::itemDoubleClicked, this, [this] {
        if (m_send->isEnabled())
            send();
    });

    if (m_fileCount == 0)
        setStatus(QStringLiteral("Nothing to send."));
    m_client = std::make_unique<discovery::DiscoveryClient>();
    m_browser = std::make_unique<discovery::ServiceBrowser>(*m_client);
    connect(m_client.get(), &discovery::DiscoveryClient::unavailable, this, [this](const QString &reason) {
        setStatus(QStringLiteral("No peers can be found (%1): give HOST:PORT.").arg(reason));
    });
    connect(m_browser.get(), &discovery::ServiceBrowser::peerFound, this, [this](const discovery::DiscoveredPeer &p) {
        QString why;
        m_known.load(&why); // read again for each: unreadable, no peer shows as paired
        m_peers.insert(p.name, {p, m_known.standingOf(p.name, p.fingerprint)});
        showPeers();
    });
    connect(m_browser.get(), &discovery::ServiceBrowser::peerGone, this, [this](const QString &name) {
        m_peers.remove(name);
        showPeers();
    });

    connect(&m_run, &QProcess::readyReadStandardOutput, this, &SendDialog::readEvents);
    connect(&m_run, &QProcess::finished, this, [this](int status) { finished(status); });
    connect(&m_run, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            finished(-1);
    });
    resize(420, 360);
}

SendDialog::~SendDialog()
{
    if (m_run.state() != QProcess::NotRunning) {
        m_run.terminate(); // a send cut short leaves nothing half-written on the peer
        m_run.waitForFinished(5000);
    }
}

QString SendDialog::status() const { return m_status->text(); }

void SendDialog::setStatus(const QString &text) { m_status->setText(text); }

void SendDialog::showPeers()
{
    const QString chosen = m_peerList->currentItem() ? m_peerList->currentItem()->data(Qt::UserRole).toString()
                                                     : QString();
    QList<Listed> listed = m_peers.values();
    std::stable_sort(listed.begin(), listed.end(), [](const Listed &a, const Listed &b) {
        return rank(a.peer, a.standing) < rank(b.peer, b.standing);
    });
    m_peerList->clear();
    for (const Listed &l : listed) {
        const QString how = l.standing == Standing::Impostor ? QStringLiteral(" (possible impostor)")
            : l.standing == Standing::Paired                  ? QStringLiteral(" (secure, paired)")
            : l.peer.secure                                    ? QStringLiteral(" (secure)")
                                                               : QString();
        auto *item = new QListWidgetItem(l.peer.name + how, m_peerList);
        item->setData(Qt::UserRole, l.peer.name);
        if (l.peer.name == chosen)
            m_peerList->setCurrentItem(item);
    }
}

void SendDialog::send()
{
    QStringList args{"--json", "--progress"};
    const QString address = m_address->text().trimmed();
    QString peer = address;
    if (address.isEmpty()) {
        if (!m_peerList->currentItem())
            return;
        peer = m_peerList->currentItem()->data(Qt::UserRole).toString();
        args << "--connect" << peer;
        const Listed listed = m_peers.value(peer);
        if (listed.standing == Standing::Impostor) {
            setStatus(QStringLiteral("%1 is announced with another key than the one paired under that name: it may be an "
                                     "impostor. If it was reinstalled, forget it (velmora-cli --forget %1) and pair again.")
                          .arg(peer));
            return;
        }
        if (listed.peer.secure && listed.standing == Standing::Unknown) {
            // Not paired yet: the peer shows a code while it listens.
            std::optional<QByteArray> code;
            while (!code) {
                const QString text = m_prompt ? m_prompt(peer)
                                              : QInputDialog::getText(this, QStringLiteral("Pair with %1").arg(peer),
                                                                      QStringLiteral("The pairing code %1 shows:").arg(peer));
                if (text.isEmpty())
                    return;
                code = secure::PairingRun::parseCode(text);
            }
            args << "--pair" << QString::fromLatin1(*code);
        }
    } else {
        args << "--connect" << address;
    }
    for (const QString &path : m_paths)
        args << "--send" << path;
    m_send->setEnabled(false);
    m_peerList->setEnabled(false);
    m_address->setEnabled(false);
    setStatus(QStringLiteral("Connecting to %1…").arg(peer));
    m_run.start(m_cli, args);
}

void SendDialog::readEvents()
{
    m_pending += m_run.readAllStandardOutput();
    qsizetype end;
    while ((end = m_pending.indexOf('\n')) >= 0) {
        const QJsonObject e = QJsonDocument::fromJson(m_pending.left(end)).object();
        m_pending.remove(0, end + 1);
        const QString event = e.value("event").toString();
        const QString name = QFileInfo(e.value("path").toString()).fileName();
        const auto sending = [&] {
            setStatus(QStringLiteral("Sending %1 (%2 of %3)%4…")
                          .arg(name)
                          .arg(m_sent + m_failed + 1)
                          .arg(m_fileCount)
                          .arg(m_resumed));
        };
        if (event == u"progress" && e.value("sending").toBool() && e.contains("of")) {
            // A batch: one bar for all its files, the count beside it.
            const double size = e.value("size").toDouble();
            m_progress->setValue(size > 0 ? int(e.value("done").toDouble() / size * ProgressSteps) : 0);
            setStatus(QStringLiteral("Sending %1 of %2 files…")
                          .arg(qMin(qint64(e.value("files").toDouble()) + 1, qint64(e.value("of").toDouble())))
                          .arg(qint64(e.value("of").toDouble())));
        } else if (event == u"batch-declined") {
            m_lastError = QStringLiteral("the peer declined the files");
        } else if (event == u"progress" && e.value("sending").toBool()) {
            const double done = double(m_doneBytes) + e.value("done").toDouble();
            m_progress->setValue(m_totalBytes > 0 ? int(done / double(m_totalBytes) * ProgressSteps) : 0);
            sending();
        } else if (event == u"resumed") {
            // The peer kept the start of this file from a try that broke: only the rest goes.
            m_resumed = QStringLiteral(", resumed from %1").arg(shownBinarySize(qint64(e.value("from").toDouble())));
            ++m_resumedFiles;
            sending();
        } else if (event == u"sent") {
            m_resumed.clear();
            ++m_sent;
            m_doneBytes += qint64(e.value("size").toDouble());
            m_progress->setValue(m_totalBytes > 0 ? int(double(m_doneBytes) / double(m_totalBytes) * ProgressSteps)
                                                  : ProgressSteps * (m_sent + m_failed) / qMax(1, int(m_fileCount)));
        } else if (event == u"send-failed" || event == u"skipped") {
            m_resumed.clear();
            ++m_failed;
            m_failures << QStringLiteral("%1 (%2)").arg(name, e.value("reason").toString());
        } else if (event == u"error") {
            m_lastError = e.value("description").toString();
        } else if (event == u"secure") {
            setStatus(QStringLiteral("Connected securely to %1.").arg(e.value("peer").toString()));
        }
    }
}

void SendDialog::finished(int status)
{
    if (m_finished)
        return;
    readEvents();
    m_finished = true;
    m_address->setEnabled(true);
    m_peerList->setEnabled(true);
    // Files of the plan that never got as far as a send (the connection failed, say) did not go.
    const int files = int(m_fileCount) + m_skippedFailures;
    QString summary = QStringLiteral("Sent %1 of %2 files (%3).").arg(m_sent).arg(files).arg(shownSize(m_doneBytes));
    if (m_resumedFiles > 0)
        summary += QStringLiteral(" %1 of them resumed where a broken send had stopped.").arg(m_resumedFiles);
    if (!m_failures.isEmpty())
        summary += QStringLiteral(" Not sent: ") + m_failures.join(QStringLiteral(", ")) + u'.';
    if (status != 0 && m_sent < files) {
        const QString why = status < 0 ? QStringLiteral("velmora-cli could not be started") : m_lastError;
        if (!why.isEmpty())
            summary += QStringLiteral(" ") + why;
        const QByteArray said = m_run.readAllStandardError().trimmed();
        if (why.isEmpty() && !said.isEmpty())
            summary += QStringLiteral(" ") + QString::fromUtf8(said.split('\n').last());
    }
    if (allSent())
        m_progress->setValue(ProgressSteps);
    setStatus(summary);
    m_buttons->button(QDialogButtonBox::Close)->setFocus();
}
