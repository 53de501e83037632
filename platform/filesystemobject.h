#pragma once
// The file-system object: drive, folder and file tests, and one-level folder creation.

#include "velmora_platform_export.h"

#include <QString>

namespace platform {

/// Drive and folder queries on local paths. On Linux the only drive is "/": an absolute
/// path has it as its drive part and a relative one has none, so it never "exists".
class VELMORA_PLATFORM_EXPORT FileSystemObject
{
public:
    /// True when `path` names an existing file (not a folder).
    bool FileExists(const QString &path) const;
    /// "/" for an absolute path, "" for a relative or empty one.
    QString GetDriveName(const QString &path) const;
    /// The path without its last component ("" when there is none).
    QString GetParentFolderName(const QString &path) const;
    /// True for "/" (and for any existing absolute folder given as a drive); false for "".
    bool DriveExists(const QString &drive) const;
    /// True when `path` names an existing folder.
    bool FolderExists(const QString &path) const;
    /// Creates exactly one folder: 58 when it exists, 76 when its parent is missing,
    /// 70 when it may not be created.
    void CreateFolder(const QString &path) const;
};

} // namespace platform
