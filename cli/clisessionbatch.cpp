// CliSession's batches: the files of a send announced once and sent back to back where the
// connection takes batches.

#include "clisession.h"

#include "lineescape.h"

#include <QFileInfo>

bool CliSession::sendBatched()
{
    const qsizetype left = m_files.left();
    switch (m_batch) {
    case Batch::None: {
        if (left < 2 || !m_control.takesBatches())
            return false;
        const qint64 bytes = m_files.bytesLeft();
        if (!m_sendClock.isValid())
            m_sendClock.start();
        m_batch = Batch::Offered;
        m_batchFiles = left;
        m_batchBytes = bytes;
        m_batchFilesDone = m_batchBytesDone = 0;
        m_control.setBufferSize(m_options.chunk);
        m_control.offerBatch(sender::BatchOffer::of(left, bytes, m_files.topNames()));
        return true;
    }
    case Batch::Offered:
        return true; // its answer moves the run on
    case Batch::Accepted:
        break;
    }
    while (std::optional<SendItem> item = m_files.next()) {
        try {
            if (!m_control.queueFile(item->file, item->announced, m_options.overwrite)) {
                m_files.giveBack({*item}); // no room now, or a file that goes on its own
                break;
            }
            m_queued.push_back(*item);
        } catch (const platform::AutomationError &e) {
            m_current = *item;
            print(QStringLiteral("error %1: %2").arg(e.number).arg(e.description),
                  {{"event", "error"}, {"number", e.number}, {"description", e.description}});
            reportSendFailed(e.description);
            settleBatchFile(item->size);
        }
    }
    if (!m_queued.empty())
        return true; // each settled file moves the run on
    if (m_files.left() == 0)
        forgetBatch();
    return false;
}

void CliSession::forgetBatch()
{
    m_batch = Batch::None;
    m_queued.clear();
    m_batchFiles = 0;
    m_batchIncoming = false;
}

bool CliSession::willRetry() const
{
    return !m_options.listen && m_requestId < 0 && m_phase == Phase::Acting && m_retriesMade < m_options.retries;
}

void CliSession::onBatchAnswered(bool accepted)
{
    if (m_batch != Batch::Offered)
        return;
    if (accepted) {
        m_batch = Batch::Accepted;
        print(QStringLiteral("batch: %1 files (%2 bytes) accepted by the peer").arg(m_batchFiles).arg(m_batchBytes),
              {{"event", "batch"}, {"files", double(m_batchFiles)}, {"bytes", double(m_batchBytes)}});
        nextAction();
        return;
    }
    if (m_control.State() != platform::SocketComponent::Connected && willRetry())
        return; // the connection broke before the answer: the close tries again
    // Declined: nothing of it is sent, and the run ends.
    const qsizetype left = m_files.left();
    print(QStringLiteral("declined: %1 files (%2 bytes) by the peer").arg(left).arg(m_batchBytes),
          {{"event", "batch-declined"}, {"files", double(left)}, {"bytes", double(m_batchBytes)}});
    m_failedFiles += int(left);
    m_files.finish();
    forgetBatch();
    reportSendTotals();
    finish(1);
}

void CliSession::onQueuedSettled(const QString &announced, double size, bool received, const QString &why)
{
    if (m_queued.empty())
        return;
    if (!received && m_control.State() != platform::SocketComponent::Connected && willRetry()) {
        // The connection broke: every file not answered goes again, in a batch of its own.
        m_files.giveBack({m_queued.begin(), m_queued.end()});
        forgetBatch();
        return;
    }
    m_current = m_queued.front();
    m_queued.pop_front();
    Q_UNUSED(announced);
    if (received) {
        m_retriesMade = 0;
        ++m_sentFiles;
        m_sentBytes += qint64(size);
        print(QStringLiteral("sent: %1 (%2 bytes)").arg(escapedForLine(m_current.file)).arg(qint64(size)),
              {{"event", "sent"}, {"path", m_current.file}, {"size", size}, {"resumed", 0}});
    } else {
        ++m_failedFiles;
        print(QStringLiteral("send failed: %1 (%2)").arg(escapedForLine(m_current.file), escapedForLine(why)),
              {{"event", "send-failed"}, {"path", m_current.file}, {"reason", why}, {"sent", 0.0}, {"size", size}});
    }
    settleBatchFile(qint64(size));
    if (m_queued.empty() && m_phase == Phase::Acting && m_control.State() == platform::SocketComponent::Connected)
        nextAction();
    else if (!m_queued.empty() && m_phase == Phase::Acting)
        sendBatched(); // room in the window: the next file goes
}
