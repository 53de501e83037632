// Feeds arbitrary bytes to the frame reader as a stream of frames, the way a secure connection
// reads them, and to the hello reader; aborts when a result breaks what the frame format says.

#include "framecodec.h"

#include "fuzzcheck.h"

#include <QByteArray>

#include <cstdint>

namespace {

using fuzz::check;
using fuzz::fail;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace secure::frame;
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    for (qsizetype at = 0; at < input.size();) {
        const QByteArrayView rest(input.constData() + at, input.size() - at);
        const auto read = readHeader(rest);
        if (std::holds_alternative<NeedMore>(read)) {
            check(rest.size() < HeaderBytes, "more asked for with a whole header there", input);
            break;
        }
        if (std::holds_alternative<Malformed>(read))
            break; // the connection ends here
        const Header h = std::get<Header>(read);
        check(header(h.type, h.length) == rest.first(HeaderBytes), "a header that does not write back as read", input);
        const quint32 limit = h.type == Type::Control ? MaxControlBytes : h.type == Type::Data ? MaxDataBytes : MaxSmallBytes;
        check(h.length <= limit, "a frame longer than its type allows taken", input);
        const QByteArrayView payload = rest.sliced(HeaderBytes, qMin<qsizetype>(h.length, rest.size() - HeaderBytes));
        if (h.type == Type::Hello) {
            if (const auto hello = readHello(payload)) {
                check(hello->version != 0, "a hello of version 0 taken", input);
                check(readHello(helloPayload(hello->name)).has_value(), "our own hello not read back", input);
            }
        }
        at += HeaderBytes + h.length;
    }
    return 0;
}
