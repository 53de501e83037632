#pragma once
// Sends the files and folders dropped onto a window one after another over its FileSender,
// through the same dispatch calls as the window's send button.

#include <QObject>
#include <QStringList>
#include <QTimer>

#include <deque>

class QLineEdit;
class QMimeData;
class MultiLineTextBox;

namespace platform {
class ControlHost;
}

class DropSender : public QObject
{
    Q_OBJECT
public:
    /// One regular file to send.
    struct Item
    {
        QString local;    ///< its path here
        QString relative; ///< its path relative to the parent of what was dropped, with "/"
        qint64 size = 0;  ///< its length when the drop was taken
    };

    /// What a drop becomes: the files to send in order, and the entries left out.
    struct Expansion
    {
        QList<Item> files;
        QStringList skipped; ///< "relative path（reason）" each
    };

    /// Expands dropped local paths: each in the order given, a folder's regular files sorted by
    /// their relative paths (sub-folders included); links, devices, FIFOs, sockets and
    /// unreadable entries are skipped with their reason.
    static Expansion expand(const QStringList &paths);

    /// The path announced for `relative` under the peer folder `folder` ("" = `relative` alone).
    static QString announced(const QString &folder, const QString &relative);

    /// The local paths among the URLs of `mime` (none: it is not a drop of files).
    static QStringList localPaths(const QMimeData *mime);

    /// Drives `control`; reads the peer folder from `folder`, pacing from `interval` and the
    /// chunk size from `bufferSize` as the send button does, and reports each drop in `log`.
    DropSender(platform::ControlHost &control, QLineEdit *folder, QLineEdit *interval, QLineEdit *bufferSize,
               MultiLineTextBox *log);

    /// Takes drops of local files anywhere on `window`, the text boxes inside it included.
    void watch(QWidget *window);

    /// Queues the files of one drop; they start once every earlier drop is done and the control is idle.
    void drop(const QStringList &paths);

    /// The control raised Error: true when it belongs to a dropped file being sent (then it is
    /// reported in the drop's line).
    bool controlError(const QString &description);

    /// The connection closed: a dropped file being sent fails.
    void controlClosed();

    static constexpr int PollMsec = 10;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    struct Batch
    {
        QString folder; ///< the peer folder, as the receive box named it at the drop
        QList<Item> files;
        QStringList skipped;
        qsizetype next = 0; ///< the file to start next
        int sent = 0;
        qint64 bytes = 0;
        QStringList failed; ///< "relative path（reason）" each
    };

    void poll();
    void startFile(Batch &batch);
    void endFile(Batch &batch, QString failure);
    void restoreReceivePath(const QString &kept);
    void report(const Batch &batch);
    bool busy();

    platform::ControlHost &m_control;
    QLineEdit *m_folder;
    QLineEdit *m_interval;
    QLineEdit *m_bufferSize;
    MultiLineTextBox *m_log;
    QTimer m_pollTimer;
    std::deque<Batch> m_batches; ///< the drops not yet reported, oldest first
    bool m_inFlight = false;     ///< the front batch's file before `next` is being sent
    QString m_failure;           ///< why the file being sent failed ("" = not failed so far)
    bool m_polling = false;
};
