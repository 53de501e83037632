#include "framecodec.h"

#include <QtEndian>

namespace secure::frame {

namespace {

std::optional<quint32> limitOf(quint8 type)
{
    switch (Type(type)) {
    case Type::Control:
        return MaxControlBytes;
    case Type::Data:
        return MaxDataBytes;
    case Type::Hello:
    case Type::Stop:
    case Type::Pairing:
    case Type::Held:
    case Type::From:
    case Type::Digest:
    case Type::BatchAnswer:
        return MaxSmallBytes;
    case Type::Batch:
        return MaxBatchBytes;
    }
    return std::nullopt; // a type this version does not know
}

} // namespace

std::variant<NeedMore, Header, Malformed> readHeader(QByteArrayView bytes)
{
    if (bytes.size() < HeaderBytes)
        return NeedMore{};
    const quint8 type = quint8(bytes[0]);
    const quint32 length = qFromBigEndian<quint32>(bytes.data() + 1);
    const auto limit = limitOf(type);
    if (!limit)
        return Malformed{"a frame of an unknown type"};
    if (length > *limit)
        return Malformed{"a frame longer than its type allows"};
    return Header{Type(type), length};
}

QByteArray header(Type type, quint32 length)
{
    QByteArray out(HeaderBytes, '\0');
    out[0] = char(type);
    qToBigEndian(length, out.data() + 1);
    return out;
}

QByteArray frame(Type type, QByteArrayView payload)
{
    return header(type, quint32(payload.size())) + payload.toByteArray();
}

std::optional<quint32> fixedLength(Type type)
{
    switch (type) {
    case Type::Held:
        return HeldBytes;
    case Type::From:
        return FromBytes;
    case Type::Digest:
        return DigestBytes;
    case Type::BatchAnswer:
        return BatchAnswerBytes;
    case Type::Batch:
    case Type::Hello:
    case Type::Control:
    case Type::Data:
    case Type::Stop:
    case Type::Pairing:
        break;
    }
    return std::nullopt;
}

quint32 capabilitiesOf(Type type)
{
    switch (type) {
    case Type::Held:
    case Type::From:
    case Type::Digest:
        return FileChecks;
    case Type::Batch:
    case Type::BatchAnswer:
        return FileChecks | Batches;
    case Type::Hello:
    case Type::Control:
    case Type::Data:
    case Type::Stop:
    case Type::Pairing:
        break;
    }
    return 0;
}

quint32 agreed(quint32 ours, quint32 theirs)
{
    const quint32 both = ours & theirs & Capabilities;
    return (both & FileChecks) ? both : 0;
}

std::optional<platform::Transport::Note> noteOf(frame::Type type)
{
    switch (type) {
    case frame::Type::Held: return platform::Transport::Note::Held;
    case frame::Type::From: return platform::Transport::Note::From;
    case frame::Type::Digest: return platform::Transport::Note::Digest;
    case frame::Type::Batch: return platform::Transport::Note::Batch;
    case frame::Type::BatchAnswer: return platform::Transport::Note::BatchAnswer;
    case frame::Type::Hello:
    case frame::Type::Control:
    case frame::Type::Data:
    case frame::Type::Stop:
    case frame::Type::Pairing:
        break;
    }
    return std::nullopt;
}

frame::Type frameOf(platform::Transport::Note note)
{
    switch (note) {
    case platform::Transport::Note::Held: return frame::Type::Held;
    case platform::Transport::Note::From: return frame::Type::From;
    case platform::Transport::Note::Batch: return frame::Type::Batch;
    case platform::Transport::Note::BatchAnswer: return frame::Type::BatchAnswer;
    case platform::Transport::Note::Digest:
    case platform::Transport::Note::None:
        break;
    }
    return frame::Type::Digest;
}

QByteArray helloPayload(const QString &name, quint32 capabilities)
{
    QByteArray out(5, '\0');
    out[0] = char(Version);
    qToBigEndian(capabilities, out.data() + 1);
    return out + name.toUtf8().left(int(MaxSmallBytes) - 5);
}

std::optional<Hello> readHello(QByteArrayView payload)
{
    if (payload.size() < 5 || quint8(payload[0]) == 0)
        return std::nullopt;
    return Hello{quint8(payload[0]), qFromBigEndian<quint32>(payload.data() + 1),
                 QString::fromUtf8(payload.sliced(5))};
}

} // namespace secure::frame
