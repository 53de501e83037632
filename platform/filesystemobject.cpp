#include "filesystemobject.h"

#include "automation.h"

#include <QDir>
#include <QFileInfo>

namespace platform {

namespace {

QString withoutTrailingSeparators(QString path)
{
    while (path.size() > 1 && path.endsWith(u'/'))
        path.chop(1);
    return path;
}

} // namespace

bool FileSystemObject::FileExists(const QString &path) const
{
    if (path.isEmpty())
        return false;
    const QFileInfo info(path);
    return info.exists() && !info.isDir();
}

QString FileSystemObject::GetDriveName(const QString &path) const
{
    return path.startsWith(u'/') ? QStringLiteral("/") : QString();
}

QString FileSystemObject::GetParentFolderName(const QString &path) const
{
    const QString p = withoutTrailingSeparators(path);
    const qsizetype slash = p.lastIndexOf(u'/');
    if (slash < 0 || p == u"/")
        return QString();
    if (slash == 0)
        return QStringLiteral("/");
    return p.left(slash);
}

bool FileSystemObject::DriveExists(const QString &drive) const
{
    return drive.startsWith(u'/') && QFileInfo(drive).isDir();
}

bool FileSystemObject::FolderExists(const QString &path) const
{
    return !path.isEmpty() && QFileInfo(path).isDir();
}

void FileSystemObject::CreateFolder(const QString &path) const
{
    const QString p = withoutTrailingSeparators(path);
    if (p.isEmpty())
        raiseError(err::InvalidCall);
    const QFileInfo info(p);
    if (info.exists())
        raiseError(err::FileAlreadyExists);
    const QString parent = GetParentFolderName(p);
    if (!parent.isEmpty() && !FolderExists(parent))
        raiseError(err::PathNotFound);
    if (!QDir().mkdir(p))
        raiseError(err::PermissionDenied);
}

} // namespace platform
