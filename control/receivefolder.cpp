#include "receivefolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
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
    QString slashed = announced;
    slashed.replace(u'\\', u'/');
    QStringList parts = slashed.split(u'/', Qt::SkipEmptyParts);
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
    return pathOf(*parts);
}

QString ReceiveFolder::pathOf(const QStringList &parts) const
{
    return (m_path == u"/" ? QString() : m_path) + u'/' + parts.join(u'/');
}

int ReceiveFolder::root()
{
    if (!m_root) {
        FileDescriptor fd(::open(QFile::encodeName(m_path).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!fd.isValid())
            return -1;
        m_root = std::make_shared<const OpenFolder>(std::move(fd));
    }
    return m_root->get();
}

bool ReceiveFolder::holds(qsizetype depth) const
{
    const Level &level = m_open[size_t(depth)];
    const int above = depth == 0 ? m_root->get() : m_open[size_t(depth) - 1].folder->get();
    struct stat info = {};
    return ::fstatat(above, level.name.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode)
        && info.st_dev == level.device && info.st_ino == level.inode;
}

std::shared_ptr<const OpenFolder> ReceiveFolder::open(const QList<QByteArray> &route)
{
    if (root() < 0)
        return nullptr;
    qsizetype kept = 0;
    while (kept < qsizetype(m_open.size()) && kept < route.size() && m_open[size_t(kept)].name == route[kept]
           && holds(kept))
        ++kept;
    m_open.resize(size_t(kept));
    for (qsizetype depth = kept; depth < route.size(); ++depth) {
        const int above = depth == 0 ? m_root->get() : m_open.back().folder->get();
        const char *name = route[depth].constData();
        // O_NOFOLLOW with O_DIRECTORY: a link at any level fails, wherever it points.
        constexpr int flags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
        FileDescriptor next(::openat(above, name, flags));
        if (!next.isValid() && errno == ENOENT && (::mkdirat(above, name, 0777) == 0 || errno == EEXIST))
            next.reset(::openat(above, name, flags));
        struct stat info = {};
        if (!next.isValid() || ::fstat(next.get(), &info) != 0)
            return nullptr;
        m_open.push_back({route[depth], std::make_shared<const OpenFolder>(std::move(next)), info.st_dev, info.st_ino});
    }
    return route.isEmpty() ? m_root : m_open.back().folder;
}

FileDescriptor ReceiveFolder::reopen(const QList<QByteArray> &route)
{
    FileDescriptor at(root() < 0 ? -1 : ::fcntl(root(), F_DUPFD_CLOEXEC, 0));
    for (const QByteArray &name : route) {
        if (!at.isValid())
            break;
        at.reset(::openat(at.get(), name.constData(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
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
    std::shared_ptr<const OpenFolder> folder = open(route);
    if (!folder)
        return std::nullopt;
    return ReceiveTarget(std::move(folder), name, pathOf(*parts), route);
}

bool ReceiveFolder::stillHolds(const ReceiveTarget &target)
{
    const QList<QByteArray> &route = target.route();
    const auto depth = size_t(route.size());
    // A folder of the last route: each level is looked at where it stands. (The levels above
    // a folder still open there are the ones it was opened beneath.)
    if (m_root && depth <= m_open.size() && target.openFolder() == (depth == 0 ? m_root : m_open[depth - 1].folder)) {
        for (qsizetype level = 0; level < route.size(); ++level)
            if (!holds(level))
                return false;
        return true;
    }
    const FileDescriptor now = reopen(route);
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
