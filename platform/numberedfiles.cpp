#include "numberedfiles.h"

#include "automation.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <cerrno>
#include <cstring>
#include <memory>

#include <fcntl.h>

#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

// An open numbered file: its descriptor and the position reads and writes go on from. Reads and
// writes give the offset each time, so the descriptor's own offset is never used or moved.
struct OpenFile
{
    int fd = -1;
    qint64 position = 0;
    bool writable = false;
    ~OpenFile()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

QHash<qint16, std::shared_ptr<OpenFile>> &table()
{
    static QHash<qint16, std::shared_ptr<OpenFile>> files;
    return files;
}

OpenFile &openFile(qint16 number)
{
    const auto it = table().constFind(number);
    if (it == table().constEnd())
        raiseError(err::BadFileNameOrNumber);
    return **it;
}

// The catalogue text of `number` followed by the reason, so that a failure says why.
[[noreturn]] void raiseWithReason(qint32 number, const QString &reason)
{
    const QString text = standardErrorDescription(number);
    raiseError(number, reason.isEmpty() ? text : text + QStringLiteral(": ") + reason);
}

QString systemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// The error that best describes why `path` could not be opened.
qint32 openError(const QString &path, FileAccess access)
{
    const QFileInfo info(path);
    if (path.isEmpty())
        return err::BadFileNameOrNumber;
    if (info.isDir() || (access == FileAccess::CreateNew && info.exists()))
        return err::PathFileAccessError;
    if (!info.absoluteDir().exists())
        return err::PathNotFound;
    if (!info.exists())
        return access == FileAccess::Read ? err::FileNotFound : err::PermissionDenied;
    return err::PermissionDenied;
}

void checkNumberFree(qint16 number)
{
    if (number < 1 || number > NumberedFiles::MaxNumber)
        raiseError(err::BadFileNameOrNumber);
    if (table().contains(number))
        raiseError(err::FileAlreadyOpen);
}

qint64 lengthOf(const OpenFile &f)
{
    struct stat info = {};
    if (::fstat(f.fd, &info) != 0)
        raiseWithReason(err::PathFileAccessError, systemReason(errno));
    return qint64(info.st_size);
}

} // namespace

qint16 NumberedFiles::FreeFile()
{
    for (qint16 n = 1; n <= MaxNumber; ++n)
        if (!table().contains(n))
            return n;
    raiseError(err::TooManyFiles);
}

void NumberedFiles::Open(qint16 number, const QString &path, FileAccess access)
{
    checkNumberFree(number);
    // Only regular files: a folder, device or FIFO has no length to announce and may block for good.
    const QFileInfo info(path);
    if (path.contains(QChar(0)))
        raiseError(err::PathFileAccessError);
    if (info.exists() && !info.isFile())
        raiseWithReason(err::PathFileAccessError, QStringLiteral("not a regular file"));
    int flags = O_CLOEXEC;
    switch (access) {
    case FileAccess::Read:
        flags |= O_RDONLY;
        break;
    case FileAccess::ReadWrite:
        flags |= O_RDWR | O_CREAT;
        break;
    case FileAccess::CreateNew:
        flags |= O_RDWR | O_CREAT | O_EXCL;
        break;
    }
    // Opened without blocking, so that a FIFO put in the file's place meanwhile cannot hold us.
    const int fd = ::open(QFile::encodeName(path).constData(), flags | O_NONBLOCK, 0666);
    if (fd < 0) {
        const int error = errno;
        const qint32 number = openError(path, access);
        if (number == err::PathFileAccessError)
            raiseWithReason(number, systemReason(error));
        raiseError(number);
    }
    auto file = std::make_shared<OpenFile>();
    file->fd = fd;
    file->writable = access != FileAccess::Read;
    struct stat opened = {};
    if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode))
        raiseWithReason(err::PathFileAccessError, QStringLiteral("not a regular file"));
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    table().insert(number, std::move(file));
}

void NumberedFiles::OpenHandle(qint16 number, int descriptor)
{
    auto file = std::make_shared<OpenFile>();
    file->fd = descriptor; // closed with `file`, also when this fails
    file->writable = true;
    checkNumberFree(number);
    struct stat info = {};
    if (::fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode))
        raiseWithReason(err::PathFileAccessError, QStringLiteral("not a regular file"));
    table().insert(number, std::move(file));
}

void NumberedFiles::Get(qint16 number, QByteArray &buffer)
{
    OpenFile &f = openFile(number);
    if (buffer.isEmpty())
        return;
    if (lengthOf(f) - f.position < buffer.size())
        raiseError(err::InputPastEndOfFile);
    qint64 done = 0;
    while (done < buffer.size()) {
        const ssize_t n = ::pread(f.fd, buffer.data() + done, size_t(buffer.size() - done), f.position);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            raiseError(n == 0 ? err::InputPastEndOfFile : err::PathFileAccessError);
        done += n;
        f.position += n;
    }
}

void NumberedFiles::Put(qint16 number, const QByteArray &data)
{
    OpenFile &f = openFile(number);
    if (!f.writable)
        raiseError(err::BadFileNameOrNumber); // opened for reading only
    // A short write is followed by another, which then fails with the system's reason.
    for (qint64 done = 0; done < data.size();) {
        const ssize_t n = ::pwrite(f.fd, data.constData() + done, size_t(data.size() - done), f.position);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            raiseWithReason(err::PathFileAccessError, systemReason(n < 0 ? errno : ENOSPC));
        done += n;
        f.position += n;
    }
}

qint64 NumberedFiles::Lof(qint16 number) { return lengthOf(openFile(number)); }
qint64 NumberedFiles::Loc(qint16 number) { return openFile(number).position; }

void NumberedFiles::SetLength(qint16 number, qint64 length)
{
    OpenFile &f = openFile(number);
    if (!f.writable)
        raiseWithReason(err::PathFileAccessError, systemReason(EBADF));
    if (::ftruncate(f.fd, length) != 0)
        raiseWithReason(err::PathFileAccessError, systemReason(errno));
}

int NumberedFiles::Handle(qint16 number)
{
    return openFile(number).fd; // writes go straight to the system: nothing waits to be flushed
}

void NumberedFiles::Seek(qint16 number, qint64 position)
{
    OpenFile &f = openFile(number);
    if (position < 0)
        raiseError(err::InvalidCall);
    f.position = position;
}

void NumberedFiles::Close(qint16 number)
{
    table().remove(number);
}

bool NumberedFiles::IsOpen(qint16 number) { return table().contains(number); }

int NumberedFiles::OpenCount() { return int(table().size()); }

qint64 NumberedFiles::FileLen(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists() || info.isDir())
        raiseError(err::FileNotFound);
    return info.size();
}

} // namespace platform
