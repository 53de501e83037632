#include "cpace.h"

#include <sodium.h>

#include <algorithm>

namespace secure::cpace {

namespace {

// SHA-512's input block.
constexpr int HashBlockBytes = 128;

QByteArray sha512(const QByteArray &data)
{
    QByteArray out(crypto_hash_sha512_BYTES, '\0');
    crypto_hash_sha512(reinterpret_cast<unsigned char *>(out.data()),
                       reinterpret_cast<const unsigned char *>(data.constData()), quint64(data.size()));
    return out;
}

const unsigned char *bytes(const QByteArray &data)
{
    return reinterpret_cast<const unsigned char *>(data.constData());
}

// Reads a LEB128 length at `at`, moving past it; nothing when it runs past the end, is too long,
// or is not written in its fewest bytes (each length has one encoding, as prependLength writes it).
std::optional<qsizetype> readLength(const QByteArray &data, qsizetype &at)
{
    quint64 value = 0;
    for (int shift = 0; at < data.size() && shift < 35; shift += 7) {
        const uchar b = uchar(data[at++]);
        value |= quint64(b & 0x7f) << shift;
        if (!(b & 0x80))
            return b == 0 && shift > 0 ? std::nullopt : std::optional<qsizetype>(qsizetype(value));
    }
    return std::nullopt;
}

} // namespace

QByteArray prependLength(const QByteArray &data)
{
    QByteArray out;
    quint64 length = quint64(data.size());
    do {
        const uchar low = uchar(length & 0x7f);
        length >>= 7;
        out += char(length ? low | 0x80 : low);
    } while (length);
    return out + data;
}

QByteArray prefixFreeCat(const QList<QByteArray> &parts)
{
    QByteArray out;
    for (const QByteArray &part : parts)
        out += prependLength(part);
    return out;
}

QByteArray generatorString(const QByteArray &prs, const QByteArray &ci, const QByteArray &sid)
{
    const QByteArray dsi(Dsi);
    const qsizetype padding =
        std::max<qsizetype>(0, HashBlockBytes - 1 - prependLength(prs).size() - prependLength(dsi).size());
    return prefixFreeCat({dsi, prs, QByteArray(padding, '\0'), ci, sid});
}

QByteArray elementFromHash(const QByteArray &hash)
{
    QByteArray point(ElementBytes, '\0');
    if (hash.size() == crypto_core_ristretto255_HASHBYTES)
        crypto_core_ristretto255_from_hash(reinterpret_cast<unsigned char *>(point.data()), bytes(hash));
    return point;
}

QByteArray generator(const QByteArray &prs, const QByteArray &ci, const QByteArray &sid)
{
    // Both the string and its hash are as secret as the code.
    QByteArray string = generatorString(prs, ci, sid);
    QByteArray hash = sha512(string);
    const QByteArray element = elementFromHash(hash);
    wipe(string);
    wipe(hash);
    return element;
}

QByteArray sampleScalar()
{
    QByteArray scalar(ElementBytes, '\0');
    crypto_core_ristretto255_scalar_random(reinterpret_cast<unsigned char *>(scalar.data()));
    return scalar;
}

std::optional<QByteArray> scalarMult(const QByteArray &scalar, const QByteArray &element)
{
    if (scalar.size() != ElementBytes || element.size() != ElementBytes)
        return std::nullopt;
    QByteArray out(ElementBytes, '\0');
    // Fails for an encoding that is not a group element and for the neutral element as result.
    if (crypto_scalarmult_ristretto255(reinterpret_cast<unsigned char *>(out.data()), bytes(scalar), bytes(element))
        != 0)
        return std::nullopt;
    return out;
}

bool isShare(const QByteArray &element)
{
    return element.size() == ElementBytes && crypto_core_ristretto255_is_valid_point(bytes(element)) == 1
        && !sodium_is_zero(bytes(element), size_t(element.size()));
}

void wipe(QByteArray &secret)
{
    if (!secret.isEmpty())
        sodium_memzero(secret.data(), size_t(secret.size()));
    secret.clear();
}

QByteArray message(const QByteArray &share, const QByteArray &associated)
{
    return prefixFreeCat({share, associated});
}

std::optional<QList<QByteArray>> parseFields(const QByteArray &data, int count)
{
    QList<QByteArray> fields;
    qsizetype at = 0;
    while (fields.size() < count) {
        const auto length = readLength(data, at);
        if (!length || *length > data.size() - at)
            return std::nullopt;
        fields.append(data.mid(at, *length));
        at += *length;
    }
    if (at != data.size())
        return std::nullopt;
    return fields;
}

std::optional<QPair<QByteArray, QByteArray>> parseMessage(const QByteArray &message)
{
    const auto fields = parseFields(message, 2);
    if (!fields)
        return std::nullopt;
    return qMakePair(fields->at(0), fields->at(1));
}

QByteArray intermediateKey(const QByteArray &sid, const QByteArray &shared, const QByteArray &initiatorMessage,
                           const QByteArray &responderMessage)
{
    QByteArray input = prefixFreeCat({QByteArray(Dsi) + "_ISK", sid, shared}) + initiatorMessage + responderMessage;
    const QByteArray isk = sha512(input);
    wipe(input);
    return isk;
}

QByteArray confirmationTag(const QByteArray &isk, const QByteArray &ownMessage)
{
    QByteArray keyed = "CPaceMac" + isk;
    QByteArray key = sha512(keyed);
    crypto_auth_hmacsha512_state state;
    crypto_auth_hmacsha512_init(&state, bytes(key), size_t(key.size()));
    crypto_auth_hmacsha512_update(&state, bytes(ownMessage), quint64(ownMessage.size()));
    QByteArray tag(crypto_auth_hmacsha512_BYTES, '\0');
    crypto_auth_hmacsha512_final(&state, reinterpret_cast<unsigned char *>(tag.data()));
    sodium_memzero(&state, sizeof state);
    wipe(keyed);
    wipe(key);
    return tag;
}

} // namespace secure::cpace
