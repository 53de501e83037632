#pragma once
// The hidden file a receive writes into, beside its target (".NAME.velmora-XXXXXXXX"): it
// replaces the target only once every byte is there, and goes without a trace otherwise. It is
// made, changed, renamed and removed only through its folder's descriptor and only while the
// name still holds the file this process made, so that nobody who may write in the folder can
// make a receive touch anything else.

#include "receivetarget.h"
#include "sender_export.h"

#include <QString>

#include <optional>

#include <sys/types.h>

namespace sender {

class SENDER_EXPORT PartFile
{
public:
    PartFile() = default;
    ~PartFile();
    PartFile(const PartFile &) = delete;
    PartFile &operator=(const PartFile &) = delete;

    /// Makes a new hidden file beside `target` (readable and writable by this user alone) and
    /// returns a descriptor of it for the caller, open for reading and writing. A name already
    /// taken is tried again under another; any other failure throws error 75 with the reason.
    int create(ReceiveTarget target);
    /// Takes up `name`, a hidden file kept beside `target` by a receive that broke, while it is
    /// the file kept (`device` and `inode`), a regular file of this user's that others may not
    /// read or write, and no other receive holds it. Returns a descriptor as create() does, or
    /// -1 (nothing taken, `target` left as it was).
    int adopt(ReceiveTarget &target, const QByteArray &name, quint64 device, quint64 inode);
    /// Lets the file be continued later: it stays where it is when this receive ends (keep()),
    /// and a process that must end at once leaves it too.
    void setKeepable();
    /// Lets go of the file and leaves it in its folder.
    void keep();
    /// Puts the file in its target's place: with the permission bits of the file it replaces,
    /// or a new file's. A name nothing has is taken with a rename that cannot replace anything;
    /// a target that is there is renamed over only while the hidden name still holds the file
    /// made here. Afterwards the target must hold that file. Otherwise error 75 says why, and
    /// the file is removed if its hidden name still holds it.
    void commit();
    /// Removes the file, if there is one and its name still holds it.
    void discard();
    /// Whether there is a file.
    bool active() const { return m_target.has_value(); }
    /// The file's whole path (looked up now), or "" when there is none.
    QString path() const;
    /// The target being received, while there is a file.
    const ReceiveTarget *target() const { return m_target ? &*m_target : nullptr; }
    /// The file's name in its folder, and which file it is.
    QByteArray name() const { return m_name; }
    quint64 device() const { return quint64(m_device); }
    quint64 inode() const { return quint64(m_inode); }

    /// Removes every hidden file of this process's receives: for a process that is about to end
    /// at once. Safe to call from any thread.
    static void discardAllNow();

private:
    bool stillOurs(const QByteArray &name) const;
    void release();
    /// Holds the file (for receives of other processes too) and registers it; returns a
    /// descriptor for the caller, or -1 with errno set.
    int take(int fd, ReceiveTarget &target, const QByteArray &name);

    std::optional<ReceiveTarget> m_target;
    FileDescriptor m_file;
    QByteArray m_name; ///< the hidden file's name in the target's folder
    dev_t m_device = 0;
    ino_t m_inode = 0;
};

} // namespace sender
