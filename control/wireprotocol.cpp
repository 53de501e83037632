#include "wireprotocol.h"

#include "conversions.h"

#include <QList>
#include <QStringView>

#include <cmath>
#include <iterator>

namespace sender::wire {

namespace {

struct TagEntry
{
    const char *text;
    Tag tag;
};

constexpr TagEntry Tags[] = {
    {MessageTag, Tag::Message},    {FileDataTag, Tag::FileData}, {SendDataTag, Tag::SendData},
    {HereIsItTag, Tag::HereIsIt}, {SendErrorTag, Tag::SendError},
};

constexpr double LargestExactWhole = 9007199254740992.0; // 2^53

} // namespace

Tag tagOf(const QByteArray &arrival)
{
    if (arrival.size() < TagLength)
        return Tag::None;
    const QByteArrayView head(arrival.constData(), TagLength);
    for (const TagEntry &t : Tags)
        if (head == QByteArrayView(t.text, TagLength))
            return t.tag;
    return Tag::None;
}

bool isAnswer(Tag tag)
{
    switch (tag) {
    case Tag::SendData:
    case Tag::HereIsIt:
    case Tag::SendError:
        return true;
    case Tag::None:
    case Tag::Message:
    case Tag::FileData:
        return false;
    }
    return false;
}

bool isTagPrefix(const QByteArray &bytes)
{
    if (bytes.isEmpty() || bytes.size() >= TagLength)
        return false;
    for (const TagEntry &t : Tags)
        if (QByteArrayView(t.text, TagLength).startsWith(bytes))
            return true;
    return false;
}

QString encodeHeader(const FileHeader &header)
{
    return QLatin1String(FileDataTag) + header.path + u'|' + platform::numberToText(header.size) + u'|'
        + QString::number(header.blockSize) + u'|' + platform::boolToText(header.overwrite);
}

std::optional<FileHeader> parseHeader(const QString &payload)
{
    // Views into the payload: a header arrives with every file, so only the path is copied.
    const QList<QStringView> fields = QStringView(payload).split(u'|');
    if (fields.size() < 4)
        return std::nullopt;
    const auto size = platform::parseNumber(fields[1].toString());
    if (!size || *size < 0 || *size != std::trunc(*size) || *size >= LargestExactWhole)
        return std::nullopt;
    const auto block = platform::parseNumber(fields[2].toString());
    if (!block || std::isnan(*block))
        return std::nullopt;
    const double roundedBlock = platform::roundHalfEven(*block);
    if (roundedBlock < -2147483648.0 || roundedBlock > 2147483647.0)
        return std::nullopt;
    FileHeader h;
    h.path = fields[0].toString();
    h.size = *size;
    h.blockSize = qint32(roundedBlock);
    h.overwrite = fields[3].left(4) == u"True";
    return h;
}

bool isHeaderComplete(const QString &payload)
{
    // Counted in place: this runs on every piece of a header that arrives split.
    const qsizetype separators = payload.count(u'|');
    if (separators != 3)
        return separators > 3;
    const QStringView last = QStringView(payload).mid(payload.lastIndexOf(u'|') + 1);
    const auto properStartOf = [last](QStringView word) { return last.size() < word.size() && word.startsWith(last); };
    return !properStartOf(u"True") && !properStartOf(u"False");
}

qint16 progressPercent(double done, double total)
{
    if (!(total > 0))
        return done > 0 ? 100 : 0;
    const double percent = platform::roundHalfEven(done / total * 100);
    return qint16(qBound(-32768.0, percent, 32767.0));
}

} // namespace sender::wire
