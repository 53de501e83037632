// Plays a listener and a connecting side of a pairing run against arbitrary messages: the
// responder gets an arbitrary first message, the initiator an arbitrary reply. Nothing may
// crash, a prefix-free concatenation must read back as written, and an arbitrary reply must
// never confirm.

#include "cpace.h"
#include "pairing.h"

#include "fuzzcheck.h"

#include <QByteArray>

#include <cstdint>

namespace {

using fuzz::check;
using fuzz::fail;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace secure;
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    const int count = input.isEmpty() ? 0 : uchar(input[0]) % 4;
    const QByteArray rest = input.mid(1);
    if (const auto fields = cpace::parseFields(rest, count))
        check(cpace::prefixFreeCat(*fields) == rest, "fields that do not write back as read", input);
    const PairingRun::Binding binding{"417093", QByteArray(32, 'i'), QByteArray(32, 'r'), QByteArray(32, 'x')};
    // The listener's side: an arbitrary first message.
    PairingRun responder;
    QString name;
    if (const auto reply = responder.respond(binding, QStringLiteral("office"), rest, &name)) {
        check(cpace::parseMessage(reply->first).has_value(), "a reply that does not read back", input);
        check(!responder.confirm(rest.left(64)), "an arbitrary tag confirmed", input);
    }
    // The connecting side: an arbitrary reply, split into message and tag.
    PairingRun initiator;
    initiator.start(binding, QStringLiteral("laptop"));
    const qsizetype cut = qMax<qsizetype>(0, rest.size() - 64);
    check(!initiator.finish(rest.left(cut), rest.mid(cut), &name), "an arbitrary reply confirmed", input);
    return 0;
}
