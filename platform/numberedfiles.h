#pragma once
// The runtime's process-wide table of numbered binary files.

#include "velmora_platform_export.h"

#include <QByteArray>
#include <QString>

namespace platform {

/// How a numbered file is opened for binary access.
enum class FileAccess {
    Read,      ///< read-only; the file must exist
    ReadWrite, ///< read and write; created when missing
    CreateNew  ///< read and write; a new file, refused (75) when the path exists
};

/// Numbered binary files shared by the whole process. Every file opens at its first byte;
/// reads and writes follow one another from there. All sizes are 64-bit.
class VELMORA_PLATFORM_EXPORT NumberedFiles
{
public:
    static constexpr qint16 MaxNumber = 511;

    /// The lowest number not in use (67 when all are taken).
    static qint16 FreeFile();
    /// Opens `path` under `number`: 52 for a number out of range, 55 when it is in use,
    /// 53 / 76 / 70 / 75 when the file cannot be opened (75, saying why, for anything but a
    /// regular file and for a new file whose path exists).
    static void Open(qint16 number, const QString &path, FileAccess access);
    /// Opens, under `number`, the file behind `descriptor` for reading and writing, taking the
    /// descriptor over (it is closed with the file, also when this fails): for a file made with
    /// care elsewhere (relative to a folder's descriptor, say). 52 / 55 as for Open; 75 when the
    /// descriptor is no regular file.
    static void OpenHandle(qint16 number, int descriptor);
    /// Reads exactly `buffer.size()` bytes at the current position (62 when fewer remain).
    static void Get(qint16 number, QByteArray &buffer);
    /// Writes `data` at the current position; a failure (75) names the system's reason.
    static void Put(qint16 number, const QByteArray &data);
    /// Length of the open file.
    static qint64 Lof(qint16 number);
    /// Bytes read or written so far (the current position).
    static qint64 Loc(qint16 number);
    /// Cuts or extends the open file to `length` bytes.
    static void SetLength(qint16 number, qint64 length);
    /// The system descriptor of the open file, for moving bytes between it and a socket
    /// without copying them here; bytes written with Put are flushed first. Such moves use
    /// explicit offsets and leave the current position (Loc) where it was: Seek moves it.
    static int Handle(qint16 number);
    /// Moves the current position to `position` bytes from the first (5 when negative).
    static void Seek(qint16 number, qint64 position);
    /// Closes `number`; a number that is not open is left alone.
    static void Close(qint16 number);
    /// True while `number` names an open file.
    static bool IsOpen(qint16 number);
    /// How many numbers name an open file.
    static int OpenCount();
    /// Length of the file at `path` (53 when there is none).
    static qint64 FileLen(const QString &path);
};

} // namespace platform
