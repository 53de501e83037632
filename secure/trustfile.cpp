#include "trustfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace secure {

namespace {

QString systemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// A descriptor closed when it goes out of scope.
struct Descriptor
{
    int fd = -1;
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

// Bytes written whole, retried when a signal interrupts.
bool writeAll(int fd, const char *data, qsizetype size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size_t(size));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= n;
    }
    return true;
}

} // namespace

TrustFile::TrustFile(QString path)
    : m_path(std::move(path))
{
}

QString TrustFile::refusal(const QString &path, unsigned mode, unsigned owner, bool privateFile)
{
    const QString shownMode = QStringLiteral("%1").arg(mode & 07777, 4, 8, QLatin1Char('0'));
    if (S_ISLNK(mode))
        return QStringLiteral("%1 is a link: it is not followed; put the file itself there").arg(path);
    if (!S_ISREG(mode))
        return QStringLiteral("%1 is not a plain file").arg(path);
    if (owner != ::getuid())
        return QStringLiteral("%1 belongs to another user (uid %2): it is not used").arg(path).arg(owner);
    const unsigned others = privateFile ? 077 : 022;
    if (mode & others)
        return QStringLiteral("%1 may be %2 by others (mode %3): it is not used until only you may %4 it "
                              "(chmod 600 %1)")
            .arg(path, privateFile ? QStringLiteral("read") : QStringLiteral("written"), shownMode,
                 privateFile ? QStringLiteral("read") : QStringLiteral("write"));
    return QString();
}

std::optional<QByteArray> TrustFile::read(QString *error) const
{
    const QByteArray name = QFile::encodeName(m_path);
    struct stat info = {};
    if (::lstat(name.constData(), &info) != 0) {
        if (errno == ENOENT)
            return QByteArray();
        *error = QStringLiteral("cannot read %1: %2").arg(m_path, systemReason(errno));
        return std::nullopt;
    }
    if (const QString why = refusal(m_path, info.st_mode, info.st_uid, false); !why.isEmpty()) {
        *error = why;
        return std::nullopt;
    }
    Descriptor file{::open(name.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC)};
    // Looked at again through the descriptor: what was checked is what is read.
    if (file.fd < 0 || ::fstat(file.fd, &info) != 0) {
        *error = QStringLiteral("cannot read %1: %2").arg(m_path, systemReason(errno));
        return std::nullopt;
    }
    if (const QString why = refusal(m_path, info.st_mode, info.st_uid, false); !why.isEmpty()) {
        *error = why;
        return std::nullopt;
    }
    QByteArray bytes;
    char block[16384];
    for (;;) {
        const ssize_t n = ::read(file.fd, block, sizeof block);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *error = QStringLiteral("cannot read %1: %2").arg(m_path, systemReason(errno));
            return std::nullopt;
        }
        if (n == 0)
            return bytes;
        bytes.append(block, n);
    }
}

bool TrustFile::update(const std::function<bool(QByteArray &bytes)> &change, QString *error) const
{
    const QString folder = QFileInfo(m_path).absolutePath();
    if (!QDir(folder).exists()) {
        if (!QDir().mkpath(folder) || ::chmod(QFile::encodeName(folder).constData(), 0700) != 0) {
            *error = QStringLiteral("cannot make the folder %1").arg(folder);
            return false;
        }
    }
    // The lock file stays: removing it would let two processes lock two different files.
    const QByteArray lockName = QFile::encodeName(folder + QStringLiteral("/.") + QFileInfo(m_path).fileName() + QStringLiteral(".lock"));
    Descriptor lock{::open(lockName.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600)};
    int locked = -1;
    while (lock.fd >= 0 && (locked = ::flock(lock.fd, LOCK_EX)) != 0 && errno == EINTR) {
    }
    if (lock.fd < 0 || locked != 0) {
        *error = QStringLiteral("cannot lock %1: %2").arg(m_path, systemReason(errno));
        return false;
    }
    auto bytes = read(error);
    if (!bytes)
        return false;
    if (!change(*bytes))
        return true;
    return write(*bytes, error); // the lock goes with the descriptor
}

bool TrustFile::write(const QByteArray &bytes, QString *error) const
{
    // A new file beside the old one, readable by its owner alone, then renamed over it: a link
    // in its place is replaced, never followed, and a reader sees the old file or the new one.
    const QFileInfo info(m_path);
    QByteArray temporary = QFile::encodeName(info.absolutePath() + QStringLiteral("/.") + info.fileName() + QStringLiteral(".XXXXXX"));
    Descriptor file{::mkostemp(temporary.data(), O_CLOEXEC)};
    const auto fail = [&](int reason) {
        *error = QStringLiteral("cannot keep %1: %2").arg(m_path, systemReason(reason));
        if (file.fd >= 0)
            ::unlink(temporary.constData());
        return false;
    };
    if (file.fd < 0)
        return fail(errno);
    errno = 0;
    if (::fchmod(file.fd, 0600) != 0 || !writeAll(file.fd, bytes.constData(), bytes.size()) || ::fsync(file.fd) != 0)
        return fail(errno ? errno : EIO);
    if (::rename(temporary.constData(), QFile::encodeName(m_path).constData()) != 0)
        return fail(errno);
    return true;
}

} // namespace secure
