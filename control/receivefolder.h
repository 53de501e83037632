#pragma once
// A folder that every received file is kept under: the path a peer announces is mapped into it,
// or refused, and nothing the mapping gives may lead out of it, not even through a link.

#include "sender_export.h"

#include <QString>

#include <optional>

namespace sender {

class SENDER_EXPORT ReceiveFolder
{
public:
    /// `folder` is made absolute; links in it are resolved once it exists.
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

    /// True when `target` (a path map() gave) stays inside the folder once links are followed:
    /// the target when it exists, else the nearest of its folders that does.
    bool confines(const QString &target) const;

private:
    QString m_path;
};

} // namespace sender
