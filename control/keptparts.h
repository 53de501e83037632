#pragma once
// The hidden files of receives that broke, kept so that the same peer can continue them: one
// small entry per kept file in a folder of this user's own (0700), naming the peer's key, the
// path and size it announced, and where the hidden file stands. Entries are found by what a
// new offer says, never by the peer's word alone, and a kept file is taken again only while
// it is the very file kept (device and inode), owned by this user and private to it.

#include "filedigest.h"
#include "sender_export.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>

namespace sender {

/// One kept hidden file.
struct SENDER_EXPORT KeptPart
{
    QByteArray peer;     ///< fingerprint of the peer's key
    QString announced;   ///< the path it announced
    qint64 size = 0;     ///< the size it announced
    QString folder;      ///< the target's folder
    QByteArray target;   ///< the target's name in it
    QByteArray hidden;   ///< the hidden file's name in it
    quint64 device = 0;
    quint64 inode = 0;
    qint64 keptAtMsec = 0; ///< when the receive into it last began
    /// The digest of the hidden file's bytes when it was set aside (saved), and the file's
    /// modification and change times then: the bytes need not be read again while it stays so.
    QByteArray digest;
    qint64 modifiedNsec = 0;
    qint64 changedNsec = 0;

    /// Records `digest` as the one of every byte `file` (the hidden file) holds now; nothing when
    /// its length is not the file's.
    void setDigest(int file, const platform::FileDigest &digest);
    /// The digest recorded, while `file` is as it was then (the same size, modification and
    /// change times): any write to it since changes its change time.
    std::optional<platform::FileDigest> digestOf(int file) const;
};

class SENDER_EXPORT KeptParts
{
public:
    /// How long a kept file waits for its peer before it is swept.
    static constexpr qint64 MaxAgeMsec = 7LL * 24 * 60 * 60 * 1000;
    /// How often a process sweeps at most.
    static constexpr qint64 SweepEveryMsec = 60 * 60 * 1000;

    /// The entries in `folder` (defaultFolder() when empty); `now` gives the time in ms since
    /// the epoch (the system's clock unless given).
    explicit KeptParts(QString folder = QString(), std::function<qint64()> now = {});
    /// $XDG_DATA_HOME/velmora/partial.
    static QString defaultFolder();
    QString folder() const { return m_folder; }
    qint64 now() const { return m_now(); }

    /// The entry for a file `peer` offers as `announced` of `size` bytes, to be kept as
    /// `target` in `folder`; nothing when there is none.
    std::optional<KeptPart> find(const QByteArray &peer, const QString &announced, qint64 size,
                                 const QString &folder, const QByteArray &target) const;
    /// Records `part` (replacing an entry for the same offer); false with why when it cannot.
    bool keep(const KeptPart &part, QString *error = nullptr) const;
    /// Drops the entry for `part`'s offer (the hidden file is the caller's business).
    void forget(const KeptPart &part) const;
    /// Removes the kept files whose receive began more than `maxAgeMsec` ago (every one for 0),
    /// with their entries; a file in use by a receive is left. Returns how many went.
    int sweep(qint64 maxAgeMsec = MaxAgeMsec) const;

private:
    QString entryPath(const KeptPart &part) const;

    QString m_folder;
    std::function<qint64()> m_now;
};

} // namespace sender
