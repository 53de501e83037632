#pragma once
// A folder of this user's alone (0700), made where missing: where a broken transfer's leftovers
// are kept. Not installed; both sides' records use it.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>

#include <sys/stat.h>
#include <unistd.h>

namespace sender {

/// Makes `path` (and its parents) where missing; true when it is a folder, not a link, owned by
/// this user and closed to everyone else.
inline bool privateFolder(const QString &path)
{
    const QByteArray folder = QFile::encodeName(path);
    QDir().mkpath(QFileInfo(path).path());
    ::mkdir(folder.constData(), 0700);
    struct stat info = {};
    return ::lstat(folder.constData(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid()
        && (info.st_mode & 077) == 0;
}

} // namespace sender
