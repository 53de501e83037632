#include "receivefolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringList>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

namespace sender {

namespace {

// "C:", "C:\x", "C:x": a path on a Windows drive.
bool startsWithDrive(const QString &path)
{
    return path.size() >= 2 && path[1] == u':' && path[0].isLetter() && path[0].unicode() < 128;
}

bool isInside(const QString &path, const QString &folder)
{
    return path.startsWith(folder + u'/') || folder == u"/";
}

// The names below `folder` that an announced path maps to, or nothing when it is refused.
std::optional<QStringList> componentsOf(const QString &announced, const QString &folder)
{
    if (announced.contains(QChar(0)))
        return std::nullopt;
    QStringList parts = announced.split(QRegularExpression(QStringLiteral("[/\\\\]")), Qt::SkipEmptyParts);
    parts.removeAll(QStringLiteral("."));
    if (parts.contains(QStringLiteral("..")))
        return std::nullopt;
    const bool windows = startsWithDrive(announced) || announced.startsWith(u'\\');
    if (announced.startsWith(u'/')) {
        const QString absolute = u'/' + parts.join(u'/');
        if (isInside(absolute, folder))
            parts = absolute.mid(folder == u"/" ? 1 : folder.size() + 1).split(u'/', Qt::SkipEmptyParts);
        else
            parts = parts.mid(parts.size() - 1);
    } else if (windows) {
        parts = parts.mid(parts.size() - 1);
        if (!parts.isEmpty() && startsWithDrive(parts.first()))
            parts.first().remove(0, 2); // "C:x": the name after the drive
        parts.removeAll(QString());
    }
    if (parts.isEmpty())
        return std::nullopt;
    return parts;
}

bool sameFile(int a, int b)
{
    struct stat sa = {}, sb = {};
    return ::fstat(a, &sa) == 0 && ::fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

} // namespace

ReceiveFolder::ReceiveFolder(const QString &folder)
    : m_path(QDir::cleanPath(QFileInfo(folder).absoluteFilePath()))
{
}

std::optional<QString> ReceiveFolder::map(const QString &announced) const
{
    const auto parts = componentsOf(announced, m_path);
    if (!parts)
        return std::nullopt;
    return (m_path == u"/" ? QString() : m_path) + u'/' + parts->join(u'/');
}

int ReceiveFolder::root()
{
    if (!m_root.isValid())
        m_root.reset(::open(QFile::encodeName(m_path).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    return m_root.get();
}

FileDescriptor ReceiveFolder::walk(const QList<QByteArray> &route, bool make)
{
    FileDescriptor at(root() < 0 ? -1 : ::fcntl(root(), F_DUPFD_CLOEXEC, 0));
    for (const QByteArray &name : route) {
        if (!at.isValid())
            break;
        // O_NOFOLLOW with O_DIRECTORY: a link at any level fails, wherever it points.
        constexpr int flags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
        int next = ::openat(at.get(), name.constData(), flags);
        if (next < 0 && errno == ENOENT && make && (::mkdirat(at.get(), name.constData(), 0777) == 0 || errno == EEXIST))
            next = ::openat(at.get(), name.constData(), flags);
        at.reset(next);
    }
    return at;
}

std::optional<ReceiveTarget> ReceiveFolder::resolve(const QString &announced)
{
    const auto parts = componentsOf(announced, m_path);
    if (!parts)
        return std::nullopt;
    QList<QByteArray> route;
    for (const QString &part : *parts)
        route.append(QFile::encodeName(part));
    const QByteArray name = route.takeLast();
    FileDescriptor folder = walk(route, true);
    if (!folder.isValid())
        return std::nullopt;
    return ReceiveTarget(std::move(folder), name, *map(announced), route);
}

bool ReceiveFolder::stillHolds(const ReceiveTarget &target)
{
    const FileDescriptor now = walk(target.route(), false);
    return now.isValid() && sameFile(now.get(), target.folder());
}

bool ReceiveFolder::sharedWithoutStickyBit()
{
    struct stat info = {};
    if (root() < 0 || ::fstat(root(), &info) != 0)
        return false;
    return (info.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (info.st_mode & S_ISVTX) == 0;
}

} // namespace sender
