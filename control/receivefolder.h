#pragma once
// A folder that every received file is kept under: the path a peer announces is mapped into it,
// or refused, and nothing the mapping gives may lead out of it, not even through a link or a
// folder that someone swaps for one while a file arrives.

#include "receivetarget.h"
#include "sender_export.h"

#include <QString>

#include <optional>

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
    bool stillHolds(const ReceiveTarget &target);

    /// True when users other than its owner may write in the folder and it is not sticky: they
    /// could then rename what arrives, or put something else in its place.
    bool sharedWithoutStickyBit();

private:
    /// The folder's descriptor, opened on first use (-1 when it cannot be).
    int root();
    /// The folder `route` names beneath the root; folders that are missing are made when `make`.
    FileDescriptor walk(const QList<QByteArray> &route, bool make);

    QString m_path;
    FileDescriptor m_root;
};

} // namespace sender
