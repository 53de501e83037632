#pragma once
// Writing behind a file that is written once, in order from its start (a file being received):
// the page cache holds its last few windows rather than all of it. Each window is handed to the
// disk once it is complete, and the pages of the windows before the last few are given back once
// the disk has them. The pages given back are the next ones the file is written into: a receive of
// any size writes into the same few megabytes of memory instead of taking a fresh page for every
// 4 KiB, which on a virtual machine whose host takes back free memory costs a fault in the host.
//
// The disk is dealt with by a thread of its own, started once a file reaches its first whole
// window: it waits for a disk that is slower than the network, and the receive never does (the
// page cache then holds more, as it would without writing behind). What is written does not change.

#include "sender_export.h"

#include <QtGlobal>

#include <memory>

namespace sender {

class SENDER_EXPORT WriteBehind
{
public:
    /// Bytes in a window, and windows kept in the page cache behind the one being written.
    static constexpr qint64 WindowBytes = 8 * 1024 * 1024;
    static constexpr int KeptWindows = 2;

    WriteBehind() = default;
    ~WriteBehind();
    WriteBehind(const WriteBehind &) = delete;
    WriteBehind &operator=(const WriteBehind &) = delete;

    /// The file already holds `offset` bytes written before (a receive taken up again): they are
    /// left as they are, and writing goes on from there. Before the first wrote() of a file.
    void startAt(qint64 offset);
    /// Bytes up to `end` of `file` are written (since the last stop(), all to this file).
    void wrote(int file, qint64 end);
    /// The file is done with (or given up): its thread ends after what it is doing, unwaited for,
    /// and the next wrote() is about a new file.
    void stop();

private:
    struct Behind;
    /// The thread's work on `file` (its own descriptor, closed at the end): each whole window
    /// written goes to the disk, and the pages of the windows before the kept ones are given back
    /// once written.
    static void run(std::shared_ptr<Behind> behind, int file);

    std::shared_ptr<Behind> m_behind; ///< shared with the thread, while there is one
    qint64 m_told = 0;                ///< the end the thread was last told (before it: where writing began)
    bool m_unable = false;            ///< no thread could be had for this file: it is written as usual
};

} // namespace sender
