#include "writebehind.h"

#include <QByteArray>

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

namespace sender {

struct WriteBehind::Behind
{
    std::mutex lock;
    std::condition_variable told;
    qint64 from = 0;    ///< where writing began: what the file held before is not this writing's
    qint64 written = 0; ///< bytes up to this are written
    bool stopped = false;
};

void WriteBehind::run(std::shared_ptr<Behind> behind, int file)
{
    // What the file held before writing began is neither handed to the disk nor given back here.
    qint64 handedOver = behind->from;                           // bytes before this were handed to the disk
    qint64 givenBack = behind->from / WindowBytes * WindowBytes; // the pages of bytes before this were given back
    std::unique_lock<std::mutex> hold(behind->lock);
    for (;;) {
        behind->told.wait(hold, [&] { return behind->stopped || behind->written - handedOver >= WindowBytes; });
        if (behind->stopped)
            break;
        const qint64 end = behind->written;
        hold.unlock();
        ::sync_file_range(file, handedOver, end - handedOver, SYNC_FILE_RANGE_WRITE);
        handedOver = end;
        // Whole windows only, so that no page of the page cache straddles two give-backs.
        const qint64 before = (handedOver - KeptWindows * WindowBytes) / WindowBytes * WindowBytes;
        if (before > givenBack) {
            // Pages are given back only once written: this waits for the disk where it lags.
            ::sync_file_range(file, givenBack, before - givenBack,
                              SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
            ::posix_fadvise(file, givenBack, before - givenBack, POSIX_FADV_DONTNEED);
            givenBack = before;
        }
        hold.lock();
    }
    hold.unlock();
    ::close(file);
}

WriteBehind::~WriteBehind()
{
    stop();
}

void WriteBehind::startAt(qint64 offset)
{
    if (!m_behind)
        m_told = offset;
}

void WriteBehind::wrote(int file, qint64 end)
{
    if (end - m_told < WindowBytes || m_unable)
        return;
    if (!m_behind) {
        // The thread keeps a descriptor of its own: the file may be closed, renamed or removed
        // here while it still works on it. Opened anew rather than duplicated, so that it shares
        // no lock with the receive's: a file kept for its peer is free the moment the receive
        // lets go of it.
        const int copy = ::open(QByteArray("/proc/self/fd/" + QByteArray::number(file)).constData(),
                                O_RDONLY | O_CLOEXEC);
        auto behind = std::make_shared<Behind>();
        behind->from = m_told; // told nothing yet: where writing began
        try {
            if (copy < 0)
                throw std::system_error(errno, std::generic_category());
            std::thread(run, behind, copy).detach();
        } catch (const std::system_error &) {
            if (copy >= 0)
                ::close(copy);
            m_unable = true;
            return;
        }
        m_behind = std::move(behind);
    }
    {
        const std::lock_guard<std::mutex> hold(m_behind->lock);
        m_behind->written = end;
    }
    m_behind->told.notify_one();
    m_told = end;
}

void WriteBehind::stop()
{
    if (m_behind) {
        {
            const std::lock_guard<std::mutex> hold(m_behind->lock);
            m_behind->stopped = true;
        }
        m_behind->told.notify_one();
        m_behind.reset();
    }
    m_told = 0;
    m_unable = false;
}

} // namespace sender
