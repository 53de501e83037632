#pragma once
// Where the digest of a file being sent stood every so many bytes, kept so that a send that
// broke can be continued without reading the file's first part again: when the receiver later
// says it holds the first N bytes, the sender takes up the last checkpoint at or before N and
// reads only from there to N to check that prefix. One small file per source file (by device and
// inode) in a folder of this user's own (0700). A checkpoint counts only while the source is as
// it was when the checkpoint was taken (size, modification and change times); the file's
// checkpoints go once it arrived whole, and any left are swept with the kept receives.

#include "filedigest.h"
#include "sender_export.h"

#include <QString>

#include <sys/types.h>

namespace sender {

class SENDER_EXPORT SentCheckpoints
{
public:
    /// The checkpoints in `folder` (defaultFolder() when empty).
    explicit SentCheckpoints(QString folder = QString());
    ~SentCheckpoints();
    SentCheckpoints(const SentCheckpoints &) = delete;
    SentCheckpoints &operator=(const SentCheckpoints &) = delete;

    /// $XDG_DATA_HOME/velmora/sent.
    static QString defaultFolder();
    /// Bytes between two checkpoints of a file of `size` bytes: at most about a thousand a file.
    static qint64 spacing(qint64 size);

    /// The digest of `file`'s first bytes at its last checkpoint at or before `upTo`, while the
    /// file is as it was then; otherwise the digest of no bytes.
    platform::FileDigest latest(int file, qint64 upTo) const;
    /// A send of `file` from `from` begins: the checkpoints it takes join those already kept, or
    /// replace them when it starts at 0. False when none can be kept.
    bool begin(int file, qint64 from);
    /// Keeps where `digest` of the file begun stands.
    void record(const platform::FileDigest &digest);
    /// The file begun arrived whole: its checkpoints go.
    void finish();
    /// Lets go of the file begun, keeping its checkpoints.
    void close();
    /// Removes the checkpoints not written to for more than `maxAgeMsec` before `nowMsec` (all of
    /// them for 0). Returns how many files went.
    int sweep(qint64 nowMsec, qint64 maxAgeMsec) const;

    /// Which file, and as it is now: what a checkpoint is taken of (and what a kept receive's
    /// digest is checked against). sourceOf() is false for what is not a regular file.
    struct Source
    {
        quint64 device = 0;
        quint64 inode = 0;
        qint64 size = 0;
        qint64 modifiedNsec = 0;
        qint64 changedNsec = 0;
        bool operator==(const Source &) const = default;
    };
    static bool sourceOf(int file, Source &source);

private:
    QString pathOf(const Source &source) const;

    QString m_folder;
    int m_out = -1;  ///< the checkpoints of the file begun, appended to
    QString m_path;  ///< and their path
    Source m_source; ///< that file as it was when it began
};

} // namespace sender
