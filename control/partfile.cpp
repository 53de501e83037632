#include "partfile.h"

#include "automation.h"
#include "filesenderdetail.h"

#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <list>
#include <mutex>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sender {

namespace {

// The hidden files of this process, for a process that must end at once. Each entry is the
// folder's descriptor (owned by its PartFile) and the name in it.
struct Registered
{
    const PartFile *owner;
    int folder;
    std::string name;
    dev_t device;
    ino_t inode;
    bool keepable = false;
};

std::mutex &registryLock()
{
    static std::mutex lock;
    return lock;
}

std::list<Registered> &registry()
{
    static std::list<Registered> entries;
    return entries;
}

// The bytes of `name` kept in a hidden file's name: at most `budget`, cut between characters.
QByteArray shortened(const QByteArray &name, qsizetype budget)
{
    if (name.size() <= budget)
        return name;
    qsizetype cut = budget;
    while (cut > 0 && (uchar(name[cut]) & 0xc0) == 0x80)
        --cut; // not inside a UTF-8 sequence
    return name.left(cut);
}

// The process's file mode mask, read without changing it (umask() cannot be read without
// setting it, which would race with other threads making files).
mode_t fileModeMask()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine()) {
            if (line.startsWith("Umask:"))
                return mode_t(line.mid(6).trimmed().toUInt(nullptr, 8)) & 0777;
        }
    }
    return 022;
}

// The permission bits a new file gets: what the file mode mask leaves of 0666. The mask is read
// once per process: it is read at the first file a receive puts in place, not for each file.
mode_t newFileMode()
{
    static const mode_t mask = fileModeMask();
    return 0666 & ~mask;
}

platform::AutomationError systemFileError()
{
    return detail::fileError(QString::fromLocal8Bit(std::strerror(errno)));
}

} // namespace

PartFile::~PartFile()
{
    discard();
}

int PartFile::create(ReceiveTarget target)
{
    discard();
    // Room for ".", ".velmora-" and eight digits within the longest name the folder takes.
    const QByteArray front = shortened(target.name(), qMin<qint64>(200, target.longestName() - 18));
    for (int attempt = 1;; ++attempt) {
        const QByteArray name = '.' + front + ".velmora-"
            + QByteArray::number(QRandomGenerator::global()->generate(), 16).rightJustified(8, '0');
        const int fd = ::openat(target.folder(), name.constData(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                0600);
        if (fd < 0) {
            if (errno == EEXIST && attempt < 8)
                continue; // only a name already taken is tried again
            throw systemFileError();
        }
        const int folder = target.folder();
        const int copy = take(fd, target, name);
        if (copy < 0) {
            const platform::AutomationError error = systemFileError();
            ::unlinkat(folder, name.constData(), 0);
            m_file.reset();
            throw error;
        }
        return copy;
    }
}

int PartFile::adopt(ReceiveTarget &target, const QByteArray &name, quint64 device, quint64 inode)
{
    discard();
    const int fd = ::openat(target.folder(), name.constData(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return -1;
    struct stat info = {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid() || (info.st_mode & 077) != 0
        || quint64(info.st_dev) != device || quint64(info.st_ino) != inode) {
        ::close(fd);
        return -1;
    }
    const int copy = take(fd, target, name);
    if (copy < 0)
        m_file.reset();
    return copy;
}

int PartFile::take(int fd, ReceiveTarget &target, const QByteArray &name)
{
    m_file.reset(fd);
    struct stat info = {};
    // Held for as long as this receive has it: no other receive takes it, nothing sweeps it.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::fstat(fd, &info) != 0)
        return -1;
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0)
        return -1;
    m_device = info.st_dev;
    m_inode = info.st_ino;
    m_name = name;
    m_target.emplace(std::move(target));
    const std::lock_guard<std::mutex> hold(registryLock());
    registry().push_back({this, m_target->folder(), name.toStdString(), m_device, m_inode});
    return copy;
}

QString PartFile::path() const
{
    return m_target ? m_target->folderPath() + u'/' + QFile::decodeName(m_name) : QString();
}

void PartFile::setKeepable()
{
    const std::lock_guard<std::mutex> hold(registryLock());
    for (Registered &r : registry())
        if (r.owner == this)
            r.keepable = true;
}

void PartFile::keep()
{
    release();
}

bool PartFile::stillOurs(const QByteArray &name) const
{
    struct stat info = {};
    return ::fstatat(m_target->folder(), name.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0
        && info.st_dev == m_device && info.st_ino == m_inode;
}

void PartFile::commit()
{
    if (!m_target)
        return;
    const int folder = m_target->folder();
    const QByteArray &target = m_target->name();
    // A name nothing has is taken with RENAME_NOREPLACE, which cannot take the place of anything:
    // the names need no look beforehand, whatever the rename moved is checked at the target
    // afterwards. A name that is taken, or a file system that cannot tell (EINVAL), goes the
    // general way.
    const bool renamed = ::fchmod(m_file.get(), newFileMode()) == 0
        && ::renameat2(folder, m_name.constData(), folder, target.constData(), RENAME_NOREPLACE) == 0;
    if (!renamed) {
        struct stat replaced = {};
        const bool replacing = ::fstatat(folder, target.constData(), &replaced, AT_SYMLINK_NOFOLLOW) == 0
            && S_ISREG(replaced.st_mode);
        if (::fchmod(m_file.get(), replacing ? replaced.st_mode & 07777 : newFileMode()) != 0) {
            const platform::AutomationError error = systemFileError();
            discard();
            throw error;
        }
        if (!stillOurs(m_name)) {
            discard();
            throw detail::fileError(QStringLiteral("the file being received was moved or replaced in its folder"));
        }
        if (::renameat(folder, m_name.constData(), folder, target.constData()) != 0) {
            const platform::AutomationError error = systemFileError();
            discard();
            throw error;
        }
    }
    // If the hidden file's name changed hands before the rename, what now stands at the target
    // is not what arrived, and it is not reported as received.
    const bool kept = stillOurs(target);
    release();
    if (!kept)
        throw detail::fileError(QStringLiteral("the file being received was moved or replaced in its folder"));
}

void PartFile::discard()
{
    if (m_target && stillOurs(m_name))
        ::unlinkat(m_target->folder(), m_name.constData(), 0);
    release();
}

void PartFile::release()
{
    {
        const std::lock_guard<std::mutex> hold(registryLock());
        registry().remove_if([this](const Registered &r) { return r.owner == this; });
    }
    m_target.reset();
    m_file.reset();
    m_name.clear();
}

void PartFile::discardAllNow()
{
    const std::lock_guard<std::mutex> hold(registryLock());
    for (const Registered &r : registry()) {
        if (r.keepable)
            continue; // its peer may continue it
        struct stat info = {};
        if (::fstatat(r.folder, r.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && info.st_dev == r.device
            && info.st_ino == r.inode)
            ::unlinkat(r.folder, r.name.c_str(), 0);
    }
}

} // namespace sender
