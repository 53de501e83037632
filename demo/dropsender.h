#pragma once
// Sends the files and folders dropped onto a window one after another over its FileSender,
// through the same dispatch calls as the window's send button. Where the connection takes
// batches (a paired peer of ours), a drop of several files is announced once and its small
// files go back to back, through the control face's batch calls.

#include <QObject>
#include <QPointer>
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

private slots:
    // The control face's answers to a batch: the peer's, and each file's.
    void onBatchAnswered(bool accepted);
    void onQueuedSettled(const QString &announced, double size, bool received, const QString &why);

private:
    struct Batch
    {
        enum class Mode { Undecided, FileByFile, Offered, Accepted };
        Mode mode = Mode::Undecided;
        std::deque<qsizetype> queued; ///< files sent back to back and not answered yet, oldest first
        QString folder; ///< the peer folder, as the receive box named it at the drop
        QList<Item> files;
        QStringList skipped;
        qsizetype next = 0; ///< the file to start next
        int sent = 0;
        qint64 bytes = 0;
        QStringList failed; ///< "relative path（reason）" each
    };

    void poll();
    /// Announces `batch` as one, where the connection takes batches and it holds several files.
    bool offerBatch(const Batch &batch);
    /// Sends the next files of an accepted batch back to back, as far as the window lets them go.
    void queueFiles(Batch &batch);

    void startFile(Batch &batch);
    void endFile(Batch &batch, QString failure);
    void restoreReceivePath(const QString &kept);
    void report(const Batch &batch);
    bool busy();

    platform::ControlHost &m_control;
    QPointer<QWidget> m_face; ///< the control's face: its batch calls and signals
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
