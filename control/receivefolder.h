#pragma once
// A folder that every received file is kept under: the path a peer announces is mapped into it,
// or refused, and nothing the mapping gives may lead out of it, not even through a link or a
// folder that someone swaps for one while a file arrives.

#include "receivetarget.h"
#include "sender_export.h"

#include <QString>

#include <memory>
#include <optional>
#include <vector>

#include <sys/types.h>

namespace sender {

class SENDER_EXPORT ReceiveFolder
{
public:
    /// `folder` is made absolute; it is opened (links in its own path followed) when it is first
    /// needed, and that folder is the one used from then on.
    explicit ReceiveFolder(const QString &folder);

    /// The folder, absolute.
    QString path() const { return m_path; }

    /// Where a file announced as `announced` is kept, or nothing when it is refused:
    /// - a relative path is kept below the folder, with the sub-folders it names;
    /// - an absolute path inside the folder is kept as it is;
    /// - any other absolute path (a Windows one too, "C:\dir\x") keeps only its file name;
    /// - refused: a ".." component, a NUL, or nothing left (an empty path, the folder itself).
    /// Both "/" and "\" separate components.
    std::optional<QString> map(const QString &announced) const;

    /// The target of a file announced as `announced`: map()'s path, with the sub-folders it names
    /// made where missing. Each level is opened beneath the one above and never through a link,
    /// so nothing outside the folder is reached. Nothing when the path is refused or a level
    /// cannot be made or opened (a link, a file, no permission, a name too long).
    std::optional<ReceiveTarget> resolve(const QString &announced);

    /// True while `target`'s folder (one that resolve() gave) is still where it was found,
    /// inside this folder.
    ///
    /// The folders of the last path resolved stay open: the files that follow it into the same
    /// folder (a folder sent file by file, a batch) look at each level where it stands, once,
    /// rather than opening every level again.
    bool stillHolds(const ReceiveTarget &target);

    /// True when users other than its owner may write in the folder and it is not sticky: they
    /// could then rename what arrives, or put something else in its place.
    bool sharedWithoutStickyBit();

private:
    /// A folder of the last route, opened beneath the one before it (the root for the first).
    struct Level
    {
        QByteArray name;
        std::shared_ptr<const OpenFolder> folder;
        dev_t device;
        ino_t inode;
    };

    /// The whole path of the names `parts` below the folder.
    QString pathOf(const QStringList &parts) const;
    /// The folder's descriptor, opened on first use (-1 when it cannot be).
    int root();
    /// The folder `route` names beneath the root, missing folders made: the levels it shares with
    /// the last route are taken as they are while they still stand where they were opened.
    std::shared_ptr<const OpenFolder> open(const QList<QByteArray> &route);
    /// True while level `depth` of the last route still has its name beneath the level above.
    bool holds(qsizetype depth) const;
    /// The folder `route` names, opened afresh level by level (nothing made).
    FileDescriptor reopen(const QList<QByteArray> &route);

    QString m_path;
    std::shared_ptr<const OpenFolder> m_root;
    std::vector<Level> m_open; ///< the last route's folders, from the root down
};

} // namespace sender
