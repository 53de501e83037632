#pragma once
// The bytes two controls exchange: five 8-character tags, the file header and progress.
// Pure functions, no state.

#include "sender_export.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace sender::wire {

inline constexpr qsizetype TagLength = 8;
inline constexpr char MessageTag[] = "Message:";
inline constexpr char FileDataTag[] = "FileDat:";
inline constexpr char SendDataTag[] = "SendDat:";
inline constexpr char HereIsItTag[] = "HereisIt";
inline constexpr char SendErrorTag[] = "SendErr:";

/// The longest text message, in characters (16-bit code units) before encoding.
inline constexpr qsizetype MaxMessageLength = 8192;

/// Which tag an arrival starts with.
enum class Tag { None, Message, FileData, SendData, HereIsIt, SendError };

/// The tag formed by the first 8 bytes, compared exactly (None for anything else or a short arrival).
SENDER_EXPORT Tag tagOf(const QByteArray &arrival);
/// True for the three answers a receiving side sends: "SendDat:", "HereisIt", "SendErr:".
SENDER_EXPORT bool isAnswer(Tag tag);
/// True when `bytes` is shorter than a tag and is the beginning of one of the five.
SENDER_EXPORT bool isTagPrefix(const QByteArray &bytes);

/// What the "FileDat:" header announces.
struct FileHeader
{
    QString path;        ///< where the receiver is to store the file (may be empty)
    double size = 0;     ///< the file's length in bytes
    qint32 blockSize = 0;///< the sender's chunk size
    bool overwrite = false;
};

/// "FileDat:" + path|size|block size|True or False.
SENDER_EXPORT QString encodeHeader(const FileHeader &header);
/// Reads the text after "FileDat:". Nothing when it has fewer than four fields, a size that is
/// not a whole number from 0 to 2^53 - 1 (larger ones cannot be held exactly), or a block size
/// that is not a 32-bit integer.
SENDER_EXPORT std::optional<FileHeader> parseHeader(const QString &payload);
/// False while the text after "FileDat:" may still be growing: fewer than four fields, or a fourth
/// and last field that is a proper start of "True" or "False" (empty included). A sender sends
/// nothing until it is answered, so such a header is the front of one the network split.
SENDER_EXPORT bool isHeaderComplete(const QString &payload);

/// The most bytes a header may take while it is being completed.
inline constexpr qsizetype MaxHeaderBytes = 8192;

/// done / total x 100 as a 16-bit percentage, rounded half to even.
SENDER_EXPORT qint16 progressPercent(double done, double total);

} // namespace sender::wire
