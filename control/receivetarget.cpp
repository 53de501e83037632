#include "receivetarget.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>

namespace sender {

std::optional<ReceiveTarget> ReceiveTarget::atPath(const QString &path)
{
    QByteArray native = QFile::encodeName(QFileInfo(path).absoluteFilePath());
    struct stat info = {};
    if (::lstat(native.constData(), &info) == 0 && S_ISLNK(info.st_mode)) {
        // A link is followed to the file it leads to, which is then replaced; a dangling one
        // stays a link, which look() refuses.
        if (char *real = ::realpath(native.constData(), nullptr)) {
            native = real;
            std::free(real);
        }
    }
    const qsizetype slash = native.lastIndexOf('/');
    const QByteArray folder = slash == 0 ? QByteArray("/") : native.left(slash);
    const QByteArray name = native.mid(slash + 1);
    if (name.isEmpty())
        return std::nullopt;
    FileDescriptor fd(::open(folder.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!fd.isValid())
        return std::nullopt;
    return ReceiveTarget(std::make_shared<const OpenFolder>(std::move(fd)), name, path);
}

ReceiveTarget::ReceiveTarget(std::shared_ptr<const OpenFolder> folder, QByteArray name, QString path, QList<QByteArray> route)
    : m_folder(std::move(folder))
    , m_name(std::move(name))
    , m_path(std::move(path))
    , m_route(std::move(route))
{
}

QString ReceiveTarget::folderPath() const
{
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", folder());
    const QString where = QFile::symLinkTarget(QFile::decodeName(link));
    return where.isEmpty() ? QFileInfo(m_path).absolutePath() : where;
}

ReceiveTarget::Present ReceiveTarget::look() const
{
    struct stat info = {};
    if (::fstatat(folder(), m_name.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return {false, errno == ENOENT, 0};
    // A read-only file in a folder we may write to could be replaced by a rename all the same;
    // it is refused, as a target that cannot be opened for writing is.
    const bool usable = S_ISREG(info.st_mode) && ::faccessat(folder(), m_name.constData(), W_OK, AT_EACCESS) == 0;
    return {true, usable, qint64(info.st_size)};
}

qint64 OpenFolder::longestName() const
{
    if (m_longestName == 0) { // asked of the file system once per folder
        const long longest = ::fpathconf(m_folder.get(), _PC_NAME_MAX);
        m_longestName = longest > 0 ? longest : NAME_MAX;
    }
    return m_longestName;
}

bool ReceiveTarget::nameFits() const
{
    return m_name.size() <= longestName();
}

} // namespace sender
