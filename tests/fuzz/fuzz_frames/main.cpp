// Feeds arbitrary bytes to the frame reader as a stream of frames, the way a secure connection
// reads them, and to the hello reader; then to the record layer below the frames, as records to
// open and as content to seal and open again. Aborts when a result breaks what the frame format
// or the records say.

#include "framecodec.h"
#include "recordcipher.h"

#include "fuzzcheck.h"

#include <openssl/ssl.h>

#include <QByteArray>

#include <cstdint>

namespace {

using fuzz::check;
using fuzz::fail;
using secure::RecordCipher;

std::unique_ptr<RecordCipher> cipher(RecordCipher::Engine engine = RecordCipher::Engine::Fastest)
{
    static SSL_CTX *context = SSL_CTX_new(TLS_method());
    static SSL *ssl = SSL_new(context);
    static const SSL_CIPHER *suite = SSL_CIPHER_find(ssl, reinterpret_cast<const unsigned char *>("\x13\x01"));
    return RecordCipher::create(suite, "a traffic secret of 32 bytes....", engine);
}

// Records cut from the bytes as a reader cuts them: none is authentic, whatever its lengths, so
// each must be refused (and read within its bounds). Then the bytes as the content of records,
// sealed and opened again: they must come back as they were, and OpenSSL's AES-GCM must seal
// them to the same bytes and open them (where the processor has vector AES, that is ours).
void records(const QByteArray &input)
{
    const auto opener = cipher();
    QByteArray plain(RecordCipher::MaxRecordBytes, '\0');
    for (qsizetype at = 0; at < input.size();) {
        const QByteArrayView rest(input.constData() + at, input.size() - at);
        const auto length = RecordCipher::recordLength(rest);
        if (!length || *length == 0 || *length > rest.size())
            break;
        check(*length <= RecordCipher::MaxRecordBytes, "a record longer than TLS allows taken", input);
        check(!opener->open(rest.first(*length), plain.data()), "a forged record opened", input);
        at += *length;
    }
    const auto sealer = cipher(), reopener = cipher(RecordCipher::Engine::OpenSsl);
    const auto reference = cipher(RecordCipher::Engine::OpenSsl);
    QByteArray sealed(RecordCipher::MaxContentBytes + RecordCipher::OverheadBytes, '\0');
    QByteArray expected = sealed;
    for (qsizetype at = 0; at < input.size(); at += RecordCipher::MaxContentBytes) {
        const qsizetype size = qMin(input.size() - at, RecordCipher::MaxContentBytes);
        const qsizetype length = sealer->seal(RecordCipher::ApplicationData, input.constData() + at, size, sealed.data());
        check(RecordCipher::recordLength(sealed) == length, "a sealed record that reads as another length", input);
        reference->seal(RecordCipher::ApplicationData, input.constData() + at, size, expected.data());
        check(QByteArrayView(sealed).first(length) == QByteArrayView(expected).first(length),
              "a record sealed unlike OpenSSL seals it", input);
        const auto opened = reopener->open(QByteArrayView(sealed).first(length), plain.data());
        check(opened && opened->type == RecordCipher::ApplicationData
                  && QByteArrayView(plain).first(opened->size) == QByteArrayView(input).sliced(at, size),
              "a sealed record that does not open to its content", input);
    }
}

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
        const quint32 limit = h.type == Type::Control ? MaxControlBytes
            : h.type == Type::Data                    ? MaxDataBytes
            : h.type == Type::Batch                   ? MaxBatchBytes
                                                      : MaxSmallBytes;
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
    records(input);
    return 0;
}
