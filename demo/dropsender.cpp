#include "dropsender.h"

#include "controlhost.h"
#include "conversions.h"
#include "filesenderinterface.h"
#include "multilinetextbox.h"

#include <QDir>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QMimeData>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QUrl>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace id = sender::dispid;
using platform::AutomationError;

namespace {

constexpr int Connected = 7; // the control's State while a connection stands

// A name or reason stays on the one line of its drop.
QString oneLine(QString text)
{
    for (QChar &c : text) {
        if (c == u'\r' || c == u'\n' || c == QChar::LineSeparator || c == QChar::ParagraphSeparator)
            c = u' ';
    }
    return text;
}

QString entry(const QString &relative, QString reason)
{
    if (reason.endsWith(u'。'))
        reason.chop(1);
    return oneLine(relative) + u'（' + oneLine(reason) + u'）';
}

QString joined(const QString &relative, const QString &name)
{
    return relative.isEmpty() ? name : relative + u'/' + name;
}

// Walks one dropped entry without following links; files are collected in walking order.
void collect(const QString &path, const QString &relative, QList<DropSender::Item> &files,
             QList<std::pair<QString, QString>> &skipped)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat st = {};
    if (::lstat(native.constData(), &st) != 0) {
        skipped.append({relative, QStringLiteral("不存在")});
    } else if (S_ISLNK(st.st_mode)) {
        skipped.append({relative, QStringLiteral("符号链接")});
    } else if (S_ISDIR(st.st_mode)) {
        if (::access(native.constData(), R_OK | X_OK) != 0) {
            skipped.append({relative, QStringLiteral("无法读取")});
            return;
        }
        const QStringList names =
            QDir(path).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::NoSort);
        for (const QString &name : names)
            collect(path + u'/' + name, joined(relative, name), files, skipped);
    } else if (S_ISREG(st.st_mode)) {
        if (::access(native.constData(), R_OK) != 0)
            skipped.append({relative, QStringLiteral("无法读取")});
        else if (!platform::wireEncodingHolds(relative)) // it would reach the peer under another name
            skipped.append({relative, QStringLiteral("名称含有线路编码无法表示的字符")});
        else
            files.append({path, relative, qint64(st.st_size)});
    } else if (S_ISFIFO(st.st_mode)) {
        skipped.append({relative, QStringLiteral("管道")});
    } else if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
        skipped.append({relative, QStringLiteral("设备")});
    } else {
        skipped.append({relative, QStringLiteral("不是普通文件")});
    }
}

} // namespace

DropSender::Expansion DropSender::expand(const QStringList &paths)
{
    Expansion out;
    for (const QString &dropped : paths) {
        const QString path = QDir::cleanPath(dropped);
        QList<Item> files;
        QList<std::pair<QString, QString>> skipped;
        collect(path, QFileInfo(path).fileName(), files, skipped);
        std::sort(files.begin(), files.end(), [](const Item &a, const Item &b) { return a.relative < b.relative; });
        std::sort(skipped.begin(), skipped.end());
        out.files += files;
        for (const auto &[relative, reason] : skipped)
            out.skipped << entry(relative, reason);
    }
    return out;
}

QString DropSender::announced(const QString &folder, const QString &relative)
{
    if (folder.isEmpty())
        return relative;
    if (folder.endsWith(u'/') || folder.endsWith(u'\\'))
        return folder + relative;
    return folder + u'/' + relative;
}

QStringList DropSender::localPaths(const QMimeData *mime)
{
    QStringList paths;
    if (mime && mime->hasUrls()) {
        for (const QUrl &url : mime->urls()) {
            if (url.isLocalFile())
                paths << url.toLocalFile();
        }
    }
    return paths;
}

DropSender::DropSender(platform::ControlHost &control, QLineEdit *folder, QLineEdit *interval, QLineEdit *bufferSize,
                       MultiLineTextBox *log)
    : m_control(control)
    , m_folder(folder)
    , m_interval(interval)
    , m_bufferSize(bufferSize)
    , m_log(log)
{
    m_pollTimer.setInterval(PollMsec);
    connect(&m_pollTimer, &QTimer::timeout, this, &DropSender::poll);
    m_face = control.widget();
    if (m_face && m_face->metaObject()->indexOfMethod("offerBatchOf(qint64,qint64,QStringList)") >= 0) {
        connect(m_face, SIGNAL(batchAnswered(bool)), this, SLOT(onBatchAnswered(bool)));
        connect(m_face, SIGNAL(queuedFileSettled(QString,double,bool,QString)), this,
                SLOT(onQueuedSettled(QString,double,bool,QString)));
    } else {
        m_face = nullptr; // a control without batches: every file goes on its own
    }
}

bool DropSender::offerBatch(const Batch &batch)
{
    bool takes = false;
    if (!m_face || batch.files.size() < 2
        || !QMetaObject::invokeMethod(m_face, "takesBatchesNow", Q_RETURN_ARG(bool, takes)) || !takes || busy())
        return false;
    qint64 bytes = 0;
    QStringList names;
    for (const Item &item : batch.files) {
        bytes += item.size;
        const QString path = announced(batch.folder, item.relative);
        names << path.left(path.indexOf(QRegularExpression(QStringLiteral("[/\\\\]"))));
    }
    bool offered = false;
    QMetaObject::invokeMethod(m_face, "offerBatchOf", Q_RETURN_ARG(bool, offered),
                              Q_ARG(qint64, qint64(batch.files.size())), Q_ARG(qint64, bytes), Q_ARG(QStringList, names));
    return offered;
}

void DropSender::queueFiles(Batch &batch)
{
    while (batch.next < batch.files.size()) {
        const Item &item = batch.files[batch.next];
        int went = 0;
        if (!m_face || !QMetaObject::invokeMethod(m_face, "tryQueueFile", Q_RETURN_ARG(int, went), Q_ARG(QString, item.local),
                                                  Q_ARG(QString, announced(batch.folder, item.relative)), Q_ARG(bool, true)))
            return;
        if (went == 0)
            return; // later: once the window has room, or on its own once none is in flight
        if (went < 0) {
            QString why;
            QMetaObject::invokeMethod(m_face, "queueFailure", Q_RETURN_ARG(QString, why));
            batch.failed << entry(item.relative, why);
        } else {
            batch.queued.push_back(batch.next);
        }
        ++batch.next;
    }
}

void DropSender::onBatchAnswered(bool accepted)
{
    if (m_batches.empty() || m_batches.front().mode != Batch::Mode::Offered)
        return;
    Batch &batch = m_batches.front();
    if (accepted) {
        batch.mode = Batch::Mode::Accepted;
    } else {
        // Declined: nothing of it is sent.
        for (; batch.next < batch.files.size(); ++batch.next)
            batch.failed << entry(batch.files[batch.next].relative, QStringLiteral("对方拒绝了这批文件"));
    }
    poll();
}

void DropSender::onQueuedSettled(const QString &, double size, bool received, const QString &why)
{
    if (m_batches.empty() || m_batches.front().queued.empty())
        return;
    Batch &batch = m_batches.front();
    const Item &item = batch.files[batch.queued.front()];
    batch.queued.pop_front();
    if (received) {
        ++batch.sent;
        batch.bytes += qint64(size);
    } else {
        batch.failed << entry(item.relative, why);
    }
    poll();
}

void DropSender::watch(QWidget *window)
{
    // A drop goes to the innermost widget that takes drops (a text box, say): each one is watched.
    window->setAcceptDrops(true);
    window->installEventFilter(this);
    for (QWidget *child : window->findChildren<QWidget *>())
        child->installEventFilter(this);
}

bool DropSender::eventFilter(QObject *watched, QEvent *event)
{
    const QEvent::Type type = event->type();
    if (type != QEvent::DragEnter && type != QEvent::DragMove && type != QEvent::Drop)
        return QObject::eventFilter(watched, event);
    auto *dropEvent = static_cast<QDropEvent *>(event);
    const QStringList paths = localPaths(dropEvent->mimeData());
    if (paths.isEmpty())
        return QObject::eventFilter(watched, event); // text and the like: the widget's own
    if (dropEvent->possibleActions() & Qt::CopyAction)
        dropEvent->setDropAction(Qt::CopyAction);
    dropEvent->accept();
    if (type == QEvent::Drop)
        drop(paths);
    return true;
}

void DropSender::drop(const QStringList &paths)
{
    Expansion expansion = expand(paths);
    Batch batch;
    batch.folder = m_folder->text();
    batch.files = std::move(expansion.files);
    batch.skipped = std::move(expansion.skipped);
    m_batches.push_back(std::move(batch));
    m_pollTimer.start();
    poll();
}

bool DropSender::controlError(const QString &description)
{
    if (!m_inFlight)
        return false;
    if (m_failure.isEmpty())
        m_failure = description.isEmpty() ? QStringLiteral("错误") : description;
    return true;
}

void DropSender::controlClosed()
{
    if (m_inFlight && m_failure.isEmpty())
        m_failure = QStringLiteral("连接已断开");
}

bool DropSender::busy()
{
    return m_control.get(id::Busy).toBool();
}

void DropSender::poll()
{
    // A message box opened from inside a step runs the event loop, and with it this timer.
    if (m_polling)
        return;
    m_polling = true;
    const auto done = qScopeGuard([this]() noexcept { m_polling = false; });
    try {
        while (!m_batches.empty()) {
            Batch &batch = m_batches.front();
            if (m_inFlight) {
                if (busy())
                    return;
                endFile(batch, m_failure); // Busy went false: that file is over
            }
            if (batch.mode == Batch::Mode::Undecided)
                batch.mode = offerBatch(batch) ? Batch::Mode::Offered : Batch::Mode::FileByFile;
            if (batch.mode == Batch::Mode::Offered)
                return; // its answer moves it on
            if (batch.mode == Batch::Mode::Accepted) {
                queueFiles(batch);
                if (!batch.queued.empty())
                    return; // their answers move it on
            }
            if (batch.next == batch.files.size()) {
                report(batch);
                m_batches.pop_front();
                continue;
            }
            if (busy())
                return; // a transfer of the send button's or of the peer's: ours waits
            startFile(batch);
        }
        m_pollTimer.stop();
    } catch (const AutomationError &) {
        // Busy could not be read: asked again on the next tick.
    }
}

void DropSender::startFile(Batch &batch)
{
    const Item &item = batch.files[batch.next++];
    m_failure.clear();
    try {
        if (m_control.get(id::State).toInt() != Connected) {
            endFile(batch, QStringLiteral("连接未打开"));
            return;
        }
        // The send button's settings, read at each file's start as the button reads them.
        const qint32 interval = platform::wholeInt32FromText(m_interval->text());
        const qint32 bufferSize = platform::wholeInt32FromText(m_bufferSize->text());
        if (bufferSize <= 0) {
            // The control would refuse it with a box of its own, for every file of the drop.
            endFile(batch, QStringLiteral("发送块大小不能为0。"));
            return;
        }
        m_control.put(id::Interval, interval);
        m_control.put(id::BufferSize, bufferSize);
        // The path goes out in the header at once; the receive path is the user's again after that.
        const QString kept = m_control.get(id::ReciveFilePath).toString();
        m_control.put(id::ReciveFilePath, announced(batch.folder, item.relative));
        m_inFlight = true;
        try {
            m_control.call(id::SendFile, {item.local, true});
        } catch (const AutomationError &) {
            restoreReceivePath(kept);
            throw;
        }
        restoreReceivePath(kept);
    } catch (const AutomationError &e) {
        if (m_failure.isEmpty())
            m_failure = e.description.isEmpty() ? QStringLiteral("Error %1").arg(e.number) : e.description;
        endFile(batch, m_failure);
        return;
    }
    if (!busy() && m_failure.isEmpty())
        m_failure = QStringLiteral("未能开始发送"); // refused by the control without an error
}

void DropSender::restoreReceivePath(const QString &kept)
{
    try {
        m_control.put(id::ReciveFilePath, kept);
    } catch (const AutomationError &) {
        // Only a failing control refuses a path it took a moment ago: nothing more to do.
    }
}

void DropSender::endFile(Batch &batch, QString failure)
{
    m_inFlight = false;
    const Item &item = batch.files[batch.next - 1];
    if (failure.isEmpty()) {
        ++batch.sent;
        batch.bytes += item.size;
    } else {
        batch.failed << entry(item.relative, failure);
    }
    m_failure.clear();
}

void DropSender::report(const Batch &batch)
{
    QString line = QStringLiteral("已发送：%1/%2个文件（%3字节）").arg(batch.sent).arg(batch.files.size()).arg(batch.bytes);
    if (!batch.failed.isEmpty())
        line += QStringLiteral("；失败：") + batch.failed.join(u'、');
    if (!batch.skipped.isEmpty())
        line += QStringLiteral("；跳过：") + batch.skipped.join(u'、');
    m_log->setText(m_log->text() + line + QStringLiteral("\r\n"));
}
