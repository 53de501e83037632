// Feeds arbitrary bytes to the header parser, the completeness check, the tag tests and the
// number conversions they use; aborts when a result breaks what the wire format promises.

#include "automation.h"
#include "conversions.h"
#include "wireprotocol.h"

#include "fuzzcheck.h"

#include <QByteArray>
#include <QString>

#include <cmath>
#include <cstdint>

namespace {

using namespace sender;

using fuzz::check;
using fuzz::fail;

void checkTags(const QByteArray &bytes)
{
    const wire::Tag tag = wire::tagOf(bytes);
    if (tag != wire::Tag::None) {
        check(bytes.size() >= wire::TagLength, "a tag found in a short arrival", bytes);
        check(!wire::isTagPrefix(bytes), "a whole tag taken for a prefix", bytes);
        check(wire::tagOf(bytes.left(wire::TagLength)) == tag, "a tag that depends on what follows it", bytes);
    }
    if (wire::isTagPrefix(bytes)) {
        check(bytes.size() < wire::TagLength, "a prefix as long as a tag", bytes);
        // Some tag completes it.
        bool completes = false;
        for (const char *t : {wire::MessageTag, wire::FileDataTag, wire::SendDataTag, wire::HereIsItTag,
                              wire::SendErrorTag})
            completes = completes || wire::tagOf(bytes + QByteArray(t).mid(bytes.size())) != wire::Tag::None;
        check(completes, "a prefix no tag completes", bytes);
    }
}

void checkNumbers(const QString &text, const QByteArray &input)
{
    (void)platform::leadingNumber(text);
    try {
        (void)platform::wholeInt32FromText(text);
    } catch (const platform::AutomationError &) {
        // not a number, or out of range: reported, not crashed
    }
    const auto n = platform::parseNumber(text);
    if (!n)
        return;
    check(std::isfinite(*n), "parseNumber gave a value that is not finite", input);
    // Whole numbers a double holds exactly are written as digits and read back unchanged.
    if (*n == std::trunc(*n) && std::fabs(*n) < 9007199254740992.0) {
        const auto back = platform::parseNumber(platform::numberToText(*n));
        check(back && *back == *n, "a whole number that does not survive numberToText", input);
    }
}

void checkHeader(const QString &payload, const QByteArray &input)
{
    (void)wire::isHeaderComplete(payload);
    const auto h = wire::parseHeader(payload);
    if (!h)
        return;
    check(h->size >= 0 && h->size <= 9007199254740991.0 && h->size == std::trunc(h->size),
          "a size that is not a whole number from 0 to 2^53 - 1", input);
    check(!h->path.contains(u'|'), "a path holding the field separator", input);
    // What the parser accepted is what an encoder writes again, and that reads back the same.
    const QString encoded = wire::encodeHeader(*h);
    check(encoded.startsWith(QLatin1String(wire::FileDataTag)), "an encoded header without its tag", input);
    const QString again = encoded.mid(wire::TagLength);
    check(wire::isHeaderComplete(again), "an encoded header that is not complete", input);
    const auto h2 = wire::parseHeader(again);
    check(h2.has_value(), "an encoded header that does not parse", input);
    check(h2->path == h->path && h2->size == h->size && h2->blockSize == h->blockSize
              && h2->overwrite == h->overwrite,
          "an encoded header that parses to other values", input);
    check(wire::tagOf(encoded.toLocal8Bit()) == wire::Tag::FileData, "an encoded header not tagged FileDat:", input);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    checkTags(input);
    // The control reads a header as the text after the tag, in the local 8-bit encoding.
    const QByteArray body = wire::tagOf(input) == wire::Tag::FileData ? input.mid(wire::TagLength) : input;
    const QString payload = QString::fromLocal8Bit(body);
    checkHeader(payload, input);
    checkNumbers(payload, input);
    // Each field on its own, as the parser reads them.
    for (const QString &field : payload.split(u'|'))
        checkNumbers(field, input);
    (void)wire::progressPercent(double(size), double(size % 7));
    return 0;
}
