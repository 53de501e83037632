#include "numberedfiles.h"

#include "automation.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <memory>

#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

QHash<qint16, std::shared_ptr<QFile>> &table()
{
    static QHash<qint16, std::shared_ptr<QFile>> files;
    return files;
}

QFile &openFile(qint16 number)
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

[[noreturn]] void raiseWithReason(qint32 number, const QFile &f)
{
    raiseWithReason(number, f.errorString());
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
    if (number < 1 || number > MaxNumber)
        raiseError(err::BadFileNameOrNumber);
    if (table().contains(number))
        raiseError(err::FileAlreadyOpen);
    // Only regular files: a folder, device or FIFO has no length to announce and may block for good.
    const QFileInfo info(path);
    if (path.contains(QChar(0)))
        raiseError(err::PathFileAccessError);
    if (info.exists() && !info.isFile())
        raiseWithReason(err::PathFileAccessError, QStringLiteral("not a regular file"));
    auto file = std::make_shared<QFile>(path);
    // Unbuffered: every write reaches the system at once, so a failing one fails here, with its reason.
    QIODevice::OpenMode mode = QIODevice::Unbuffered;
    switch (access) {
    case FileAccess::Read:
        mode |= QIODevice::ReadOnly;
        break;
    case FileAccess::ReadWrite:
        mode |= QIODevice::ReadWrite;
        break;
    case FileAccess::CreateNew:
        mode |= QIODevice::ReadWrite | QIODevice::NewOnly;
        break;
    }
    if (!file->open(mode)) {
        const qint32 number = openError(path, access);
        if (number == err::PathFileAccessError)
            raiseWithReason(number, *file);
        raiseError(number);
    }
    table().insert(number, std::move(file));
}

void NumberedFiles::OpenHandle(qint16 number, int descriptor)
{
    auto file = std::make_shared<QFile>();
    struct stat info = {};
    const bool regular = ::fstat(descriptor, &info) == 0 && S_ISREG(info.st_mode);
    if (number < 1 || number > MaxNumber || table().contains(number) || !regular
        || !file->open(descriptor, QIODevice::ReadWrite | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        ::close(descriptor);
        if (number < 1 || number > MaxNumber)
            raiseError(err::BadFileNameOrNumber);
        if (table().contains(number))
            raiseError(err::FileAlreadyOpen);
        raiseWithReason(err::PathFileAccessError, regular ? file->errorString() : QStringLiteral("not a regular file"));
    }
    table().insert(number, std::move(file));
}

void NumberedFiles::Get(qint16 number, QByteArray &buffer)
{
    QFile &f = openFile(number);
    if (buffer.isEmpty())
        return;
    if (f.size() - f.pos() < buffer.size())
        raiseError(err::InputPastEndOfFile);
    qint64 done = 0;
    while (done < buffer.size()) {
        const qint64 n = f.read(buffer.data() + done, buffer.size() - done);
        if (n <= 0)
            raiseError(n == 0 ? err::InputPastEndOfFile : err::PathFileAccessError);
        done += n;
    }
}

void NumberedFiles::Put(qint16 number, const QByteArray &data)
{
    QFile &f = openFile(number);
    if (!f.isWritable())
        raiseError(err::BadFileNameOrNumber); // opened for reading only
    // A short write is followed by another, which then fails with the system's reason.
    for (qint64 done = 0; done < data.size();) {
        const qint64 n = f.write(data.constData() + done, data.size() - done);
        if (n <= 0)
            raiseWithReason(err::PathFileAccessError, f);
        done += n;
    }
}

qint64 NumberedFiles::Lof(qint16 number) { return openFile(number).size(); }
qint64 NumberedFiles::Loc(qint16 number) { return openFile(number).pos(); }

void NumberedFiles::SetLength(qint16 number, qint64 length)
{
    QFile &f = openFile(number);
    if (!f.flush() || !f.resize(length))
        raiseWithReason(err::PathFileAccessError, f);
}

int NumberedFiles::Handle(qint16 number)
{
    QFile &f = openFile(number);
    if (!f.flush())
        raiseError(err::PathFileAccessError, f.errorString());
    return f.handle();
}

void NumberedFiles::Seek(qint16 number, qint64 position)
{
    QFile &f = openFile(number);
    if (position < 0)
        raiseError(err::InvalidCall);
    if (!f.seek(position))
        raiseWithReason(err::PathFileAccessError, f);
}

void NumberedFiles::Close(qint16 number)
{
    if (auto file = table().take(number))
        file->close();
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
