#include "sendplan.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Found
{
    QString file;
    QString relative; ///< to the folder that holds what was named
};

// A name the system gives as bytes, as text: nothing when the bytes are not valid UTF-8 (the
// file could then be neither named nor announced faithfully).
std::optional<QString> nameOf(const QByteArray &bytes)
{
    const QString text = QFile::decodeName(bytes);
    if (QFile::encodeName(text) != bytes)
        return std::nullopt;
    return text;
}

// Bytes shown as text, those that are no valid UTF-8 as \xNN.
QString shown(const QByteArray &bytes)
{
    if (const auto text = nameOf(bytes))
        return *text;
    QString out;
    for (const char c : bytes)
        out += uchar(c) < 0x80 ? QString(QChar(c)) : QStringLiteral("\\x%1").arg(uint(uchar(c)), 2, 16, QLatin1Char('0'));
    return out;
}

QString reasonOf(int error)
{
    switch (error) {
    case ENOENT:
        return QStringLiteral("no such file or folder");
    case ELOOP:
        return QStringLiteral("too many levels of symbolic links");
    case EACCES:
        return QStringLiteral("unreadable");
    default:
        return QString::fromLocal8Bit(std::strerror(error));
    }
}

// What is found in the folders named: files to send and entries left out, each with its path
// relative to the folder that holds what was named.
class FolderWalk
{
public:
    FolderWalk(SendPlan &plan, QList<Found> &found) : m_plan(plan), m_found(found) {}

    /// Walks the folder `path`, announced as `relative`, without following a link.
    void walk(const QString &path, const QString &relative)
    {
        const QByteArray top = QFile::encodeName(path);
        const int fd = ::open(top.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) {
            skip(path, reasonOf(errno), true);
            return;
        }
        m_top = fd;
        m_topPath = top;
        m_relativeTop = relative;
        QList<Entry> entries;
        QList<QByteArray> folders{QByteArray()};
        while (!folders.isEmpty())
            list(folders.takeLast(), folders, entries);
        // In the order of their paths, as the peer will see them.
        std::sort(entries.begin(), entries.end(), [](const Entry &a, const Entry &b) { return a.relative < b.relative; });
        for (const Entry &e : entries)
            consider(e);
        ::close(fd);
    }

private:
    struct Entry
    {
        QByteArray inside; ///< the path below the folder walked, as bytes
        QString relative;  ///< as announced (shown escaped when not valid UTF-8)
        mode_t type;
        QString problem;   ///< why it cannot be sent, found while listing
    };

    QString pathOf(const QByteArray &inside) const { return shown(m_topPath + '/' + inside); }

    void skip(const QString &path, const QString &reason, bool failure)
    {
        m_plan.skipped.append({path, reason});
        m_plan.failures += failure;
    }

    // Lists the folder `inside` (below the top), queueing its sub-folders on `folders`.
    void list(const QByteArray &inside, QList<QByteArray> &folders, QList<Entry> &entries)
    {
        // A path the system cannot open cannot be sent, nor can anything below it.
        if (m_topPath.size() + 1 + inside.size() >= PATH_MAX) {
            skip(pathOf(inside), QStringLiteral("path longer than %1 bytes").arg(PATH_MAX - 1), true);
            return;
        }
        const int fd = inside.isEmpty() ? ::dup(m_top)
                                        : ::openat(m_top, inside.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        DIR *dir = fd < 0 ? nullptr : ::fdopendir(fd);
        if (!dir) {
            skip(pathOf(inside), reasonOf(errno), true);
            if (fd >= 0)
                ::close(fd);
            return;
        }
        while (const dirent *e = ::readdir(dir)) {
            const QByteArray name(e->d_name);
            if (name == "." || name == "..")
                continue;
            const QByteArray path = inside.isEmpty() ? name : inside + '/' + name;
            const QString relative = m_relativeTop.isEmpty() ? shown(path) : m_relativeTop + u'/' + shown(path);
            struct stat info = {};
            if (::fstatat(::dirfd(dir), e->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0)
                entries.append({path, relative, 0, reasonOf(errno)});
            else if (!nameOf(name))
                entries.append({path, relative, info.st_mode, QStringLiteral("name is not valid UTF-8")});
            else if (S_ISDIR(info.st_mode))
                folders.append(path);
            else
                entries.append({path, relative, info.st_mode, QString()});
        }
        ::closedir(dir);
    }

    void consider(const Entry &e)
    {
        const QString path = pathOf(e.inside);
        if (!e.problem.isEmpty())
            return skip(path, e.problem, true);
        if (S_ISLNK(e.type))
            return skip(path, QStringLiteral("symbolic link"), false);
        if (!S_ISREG(e.type))
            return skip(path, QStringLiteral("not a regular file"), false);
        if (m_topPath.size() + 1 + e.inside.size() >= PATH_MAX)
            return skip(path, QStringLiteral("path longer than %1 bytes").arg(PATH_MAX - 1), true);
        if (::faccessat(m_top, e.inside.constData(), R_OK, 0) != 0)
            return skip(path, QStringLiteral("unreadable"), true);
        m_found.append({path, e.relative});
    }

    SendPlan &m_plan;
    QList<Found> &m_found;
    int m_top = -1;
    QByteArray m_topPath;
    QString m_relativeTop;
};

} // namespace

SendPlan planSends(const QStringList &paths, const std::optional<QString> &receivePath)
{
    SendPlan plan;
    QList<Found> found;
    FolderWalk folders(plan, found);
    for (const QString &path : paths) {
        // What is named on the command line is followed when it is a link, as cp does; links
        // inside folders are not. Whatever named is not sent fails the run.
        struct stat info = {};
        if (::stat(QFile::encodeName(path).constData(), &info) != 0) {
            plan.skipped.append({path, reasonOf(errno)});
            ++plan.failures;
        } else if (S_ISDIR(info.st_mode)) {
            const QString cleaned = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
            folders.walk(path, QFileInfo(cleaned).fileName());
        } else if (!S_ISREG(info.st_mode)) {
            plan.skipped.append({path, QStringLiteral("not a regular file")});
            ++plan.failures;
        } else if (::access(QFile::encodeName(path).constData(), R_OK) != 0) {
            plan.skipped.append({path, QStringLiteral("unreadable")});
            ++plan.failures;
        } else {
            found.append({path, QFileInfo(path).fileName()});
        }
    }
    const bool oneFile = paths.size() == 1 && found.size() == 1 && !QFileInfo(paths.first()).isDir();
    // Two files announced alike would land on one target at the peer: the second is not sent.
    QSet<QString> announcedSoFar;
    for (const Found &f : found) {
        QString announced = f.relative;
        if (receivePath) {
            const QString folder = QFileInfo(*receivePath).absoluteFilePath();
            announced = oneFile ? folder : folder + u'/' + f.relative;
        }
        if (announcedSoFar.contains(announced)) {
            plan.skipped.append({f.file, QStringLiteral("%1 is announced for an earlier file already").arg(announced)});
            ++plan.failures;
            continue;
        }
        announcedSoFar.insert(announced);
        plan.items.append({f.file, announced});
    }
    return plan;
}
