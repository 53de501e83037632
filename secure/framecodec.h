#pragma once
// The frames of a secure connection: pure functions, bytes in, a frame's header or an error
// out. Each frame is a type byte and a 32-bit big-endian payload length, then the payload.
//
//   Hello    version (1 byte), capabilities (32-bit big-endian), then the sender's name in
//            UTF-8: the first frame each way
//   Control  one control message, tag first, exactly as a plain connection carries it
//   Data     bytes of the file being sent
//   Stop     the sender stopped its send: the receiving side ends its receive
//   Pairing  a message of the pairing run (see pairing.h)
//   Held     receiver to sender, before "SendDat:": the bytes it holds of the file from a try
//            that broke (64-bit big-endian) and their XXH3-128
//   From     sender to receiver, after "SendDat:": where its bytes start (64-bit big-endian)
//   Digest   each way, after a file's last byte: the XXH3-128 of the whole file as it was read
//            or written
//   Batch    sender to receiver: how many files follow, their total bytes and their top-level
//            names (see the control's BatchOffer)
//   BatchAnswer receiver to sender: the batch is accepted (1) or declined (0)
//   Held, From and Digest only between peers that both offered FileChecks in their hellos;
//   Batch and BatchAnswer only between peers that both offered FileChecks and Batches.

#include "transport.h"
#include "velmora_secure_export.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>
#include <variant>

namespace secure::frame {

enum class Type : quint8 {
    Hello = 1,
    Control = 2,
    Data = 3,
    Stop = 4,
    Pairing = 5,
    Held = 6,
    From = 7,
    Digest = 8,
    Batch = 9,
    BatchAnswer = 10,
};

/// Bytes of a frame's header.
inline constexpr int HeaderBytes = 5;
/// The version this program speaks, and the capabilities a hello may offer.
inline constexpr quint8 Version = 1;
/// Whole-file checks and resume: the Held, From and Digest frames.
inline constexpr quint32 FileChecks = 1u << 0;
/// Batches of files sent back to back: the Batch and BatchAnswer frames (with FileChecks only).
inline constexpr quint32 Batches = 1u << 1;
inline constexpr quint32 Capabilities = FileChecks | Batches;
/// The exact payload length of the file-check frames.
inline constexpr quint32 HeldBytes = 8 + 16;
inline constexpr quint32 FromBytes = 8;
inline constexpr quint32 DigestBytes = 16;
inline constexpr quint32 BatchAnswerBytes = 1;
/// The longest batch announcement: its counts and the names it shows.
inline constexpr quint32 MaxBatchBytes = 8192;
/// The longest payload of each kind a reader accepts: a control message is at most a tag and
/// 8192 characters of four bytes; data frames as the writer cuts them.
inline constexpr quint32 MaxControlBytes = 8 + 8192 * 4;
inline constexpr quint32 MaxDataBytes = 4 * 1024 * 1024;
inline constexpr quint32 MaxSmallBytes = 1024; ///< hello, stop and pairing frames

/// A frame's header.
struct Header
{
    Type type;
    quint32 length;
    bool operator==(const Header &) const = default;
};

/// Not enough bytes yet for a header.
struct NeedMore
{
};

/// Why bytes are no frame: an unknown type, or a payload longer than its type allows.
struct Malformed
{
    const char *why;
};

/// Reads the header at the front of `bytes`.
VELMORA_SECURE_EXPORT std::variant<NeedMore, Header, Malformed> readHeader(QByteArrayView bytes);
/// The header of a frame of `type` with a payload of `length` bytes.
VELMORA_SECURE_EXPORT QByteArray header(Type type, quint32 length);
/// A whole frame.
VELMORA_SECURE_EXPORT QByteArray frame(Type type, QByteArrayView payload);

/// The note a frame of `type` carries to the owner of the stream, if it is one (Held, From,
/// Digest), and the frame that carries `note`.
VELMORA_SECURE_EXPORT std::optional<platform::Transport::Note> noteOf(Type type);
VELMORA_SECURE_EXPORT Type frameOf(platform::Transport::Note note);

/// The capabilities both hellos must have offered for a frame of `type` to be sent (0: none).
VELMORA_SECURE_EXPORT quint32 capabilitiesOf(Type type);
/// What two hellos agree on: what both offered, and Batches only with FileChecks.
VELMORA_SECURE_EXPORT quint32 agreed(quint32 ours, quint32 theirs);

/// What a peer's hello says.
struct Hello
{
    quint8 version = 0;
    quint32 capabilities = 0;
    QString name;
};
/// The payload of our hello, under `name`, offering `capabilities`.
VELMORA_SECURE_EXPORT QByteArray helloPayload(const QString &name, quint32 capabilities = Capabilities);
/// The exact length a frame of `type` must have, for those whose length is fixed.
VELMORA_SECURE_EXPORT std::optional<quint32> fixedLength(Type type);
/// Reads a hello's payload; nothing when it is not one.
VELMORA_SECURE_EXPORT std::optional<Hello> readHello(QByteArrayView payload);

} // namespace secure::frame
