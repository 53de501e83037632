#include "recordcipher.h"

#include "vaesgcm.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/ssl.h>

#include <array>
#include <limits>

namespace secure {

namespace {

// HKDF-Expand-Label(secret, label, "", length) of TLS 1.3, for a length of at most one hash.
QByteArray expandLabel(const EVP_MD *hash, QByteArrayView secret, QByteArrayView label, int length)
{
    const QByteArray full = QByteArrayLiteral("tls13 ") + label.toByteArray();
    QByteArray info;
    info.append(char(length >> 8)).append(char(length & 0xff));
    info.append(char(full.size())).append(full).append(char(0)); // no context
    info.append(char(1));                                         // the first block of HKDF-Expand
    unsigned char block[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    QByteArray out;
    if (HMAC(hash, secret.data(), int(secret.size()), reinterpret_cast<const unsigned char *>(info.constData()),
             size_t(info.size()), block, &size)
        && int(size) >= length)
        out = QByteArray(reinterpret_cast<const char *>(block), length);
    OPENSSL_cleanse(block, sizeof block);
    return out;
}

} // namespace

QByteArray RecordCipher::loggedSecret(const char *line, std::string_view label)
{
    const std::string_view text(line);
    const size_t secret = text.rfind(' ');
    if (!text.starts_with(label) || text.size() <= label.size() || text[label.size()] != ' '
        || secret == label.size())
        return {};
    return QByteArray::fromHex(QByteArray::fromRawData(line + secret + 1, qsizetype(text.size() - secret - 1)));
}

bool RecordCipher::vectorAes()
{
    static const bool available = VaesGcm::available();
    return available;
}

std::unique_ptr<RecordCipher> RecordCipher::create(const SSL_CIPHER *suite, QByteArrayView secret, Engine engine)
{
    if (!suite || secret.isEmpty())
        return nullptr;
    const EVP_CIPHER *aead = nullptr;
    switch (SSL_CIPHER_get_protocol_id(suite)) {
    case 0x1301: aead = EVP_aes_128_gcm(); break;
    case 0x1302: aead = EVP_aes_256_gcm(); break;
    case 0x1303: aead = EVP_chacha20_poly1305(); break;
    default: return nullptr;
    }
    const EVP_MD *hash = SSL_CIPHER_get_handshake_digest(suite);
    if (!hash)
        return nullptr;
    std::unique_ptr<RecordCipher> cipher(new RecordCipher);
    cipher->m_engine = engine;
    cipher->m_aead = aead;
    cipher->m_hash = hash;
    cipher->m_secret = secret.toByteArray();
    cipher->m_context = EVP_CIPHER_CTX_new();
    if (!cipher->m_context || !cipher->setKeys())
        return nullptr;
    return cipher;
}

RecordCipher::~RecordCipher()
{
    EVP_CIPHER_CTX_free(m_context);
    OPENSSL_cleanse(m_iv, sizeof m_iv);
    OPENSSL_cleanse(m_secret.data(), size_t(m_secret.size()));
}

bool RecordCipher::setKeys()
{
    QByteArray key = expandLabel(m_hash, m_secret, "key", EVP_CIPHER_get_key_length(m_aead));
    const QByteArray iv = expandLabel(m_hash, m_secret, "iv", sizeof m_iv);
    const auto *keyBytes = reinterpret_cast<const unsigned char *>(key.constData());
    const bool vector = m_engine == Engine::Fastest && m_aead == EVP_aes_128_gcm() && vectorAes();
    m_vector.reset(vector && key.size() == qsizetype(VaesGcm::KeyBytes) ? new VaesGcm(keyBytes) : nullptr);
    const bool keyed = !key.isEmpty() && !iv.isEmpty()
        && (m_vector || EVP_CipherInit_ex(m_context, m_aead, nullptr, keyBytes, nullptr, 1) == 1);
    OPENSSL_cleanse(key.data(), size_t(key.size()));
    if (keyed)
        std::copy(iv.begin(), iv.end(), m_iv);
    else
        m_broken = true; // the old key and IV are never used again with a sequence from 0
    m_sequence = 0;
    return keyed;
}

bool RecordCipher::update()
{
    QByteArray next = expandLabel(m_hash, m_secret, "traffic upd", EVP_MD_get_size(m_hash));
    OPENSSL_cleanse(m_secret.data(), size_t(m_secret.size()));
    m_secret = next;
    if (m_secret.isEmpty())
        m_broken = true;
    return !m_broken && setKeys();
}

qsizetype RecordCipher::sealKeyUpdate(bool askPeer, char *out)
{
    // A handshake message: type 24, a 24-bit length of 1, then whether the peer is asked.
    const char message[] = {24, 0, 0, 1, char(askPeer ? 1 : 0)};
    const qsizetype length = seal(Handshake, message, sizeof message, out);
    return length > 0 && update() ? length : 0;
}

std::optional<RecordCipher::KeyUpdate> RecordCipher::readKeyUpdate(QByteArrayView content)
{
    if (content.size() != 5 || content[0] != 24 || content[1] != 0 || content[2] != 0 || content[3] != 1
        || quint8(content[4]) > 1)
        return std::nullopt;
    return KeyUpdate{content[4] == 1};
}

bool RecordCipher::nonce(unsigned char *out)
{
    if (m_broken || m_sequence == std::numeric_limits<quint64>::max()) {
        m_broken = true; // a sequence number is never used twice
        return false;
    }
    // The IV with the record's sequence number, big-endian, over its last eight bytes.
    std::copy(std::begin(m_iv), std::end(m_iv), out);
    for (int i = 0; i < 8; ++i)
        out[11 - i] ^= static_cast<unsigned char>(m_sequence >> (8 * i));
    return true;
}

qsizetype RecordCipher::seal(ContentType type, const char *content, qsizetype size, char *out)
{
    unsigned char iv[12];
    if (size < 0 || size > MaxContentBytes || !nonce(iv))
        return 0;
    const qsizetype length = size + 1 + TagBytes;
    auto *header = reinterpret_cast<unsigned char *>(out);
    header[0] = ApplicationData; // what every protected record says it is
    header[1] = 3;
    header[2] = 3;
    header[3] = static_cast<unsigned char>(length >> 8);
    header[4] = static_cast<unsigned char>(length);
    unsigned char *body = header + HeaderBytes;
    const unsigned char innerType = type;
    if (m_vector) {
        // The whole blocks of the content straight from where it is, the rest with the type behind it.
        const auto *from = reinterpret_cast<const unsigned char *>(content);
        const qsizetype whole = size & ~qsizetype(15);
        unsigned char last[16];
        std::copy(from + whole, from + size, last);
        last[size - whole] = innerType;
        VaesGcm::Run run;
        m_vector->begin(run, iv, header, HeaderBytes);
        m_vector->seal(run, from, body, size_t(whole));
        m_vector->seal(run, last, body + whole, size_t(size - whole + 1));
        m_vector->tag(run, body + size + 1);
        OPENSSL_cleanse(&run, sizeof run);
        OPENSSL_cleanse(last, sizeof last);
        ++m_sequence;
        return HeaderBytes + length;
    }
    int n = 0;
    const bool sealed = EVP_EncryptInit_ex(m_context, nullptr, nullptr, nullptr, iv) == 1
        && EVP_EncryptUpdate(m_context, nullptr, &n, header, int(HeaderBytes)) == 1
        && EVP_EncryptUpdate(m_context, body, &n, reinterpret_cast<const unsigned char *>(content), int(size)) == 1
        && EVP_EncryptUpdate(m_context, body + size, &n, &innerType, 1) == 1
        && EVP_EncryptFinal_ex(m_context, body + size + 1, &n) == 1
        && EVP_CIPHER_CTX_ctrl(m_context, EVP_CTRL_AEAD_GET_TAG, int(TagBytes), body + size + 1) == 1;
    ++m_sequence; // used, whatever came of it
    if (!sealed) {
        m_broken = true;
        return 0;
    }
    return HeaderBytes + length;
}

std::optional<qsizetype> RecordCipher::recordLength(QByteArrayView bytes)
{
    if (bytes.size() < HeaderBytes)
        return 0;
    const auto *header = reinterpret_cast<const unsigned char *>(bytes.data());
    const qsizetype length = (qsizetype(header[3]) << 8) | header[4];
    if (header[0] != ApplicationData || header[1] != 3 || header[2] != 3 || length < 1 + TagBytes
        || length > MaxRecordBytes - HeaderBytes)
        return std::nullopt;
    return HeaderBytes + length;
}

std::optional<RecordCipher::Opened> RecordCipher::open(QByteArrayView record, char *into)
{
    const auto *header = reinterpret_cast<const unsigned char *>(record.data());
    const qsizetype sealed = record.size() - HeaderBytes - TagBytes;
    unsigned char iv[12];
    // The inner plaintext (content and type) of a record is at most 2^14 + 1 bytes.
    if (sealed < 1 || sealed > MaxContentBytes + 1 || !nonce(iv)) {
        m_broken = true;
        return std::nullopt;
    }
    std::array<unsigned char, TagBytes> tag;
    std::copy_n(header + HeaderBytes + sealed, TagBytes, tag.begin());
    auto *plain = reinterpret_cast<unsigned char *>(into);
    bool authentic = false;
    if (m_vector) {
        VaesGcm::Run run;
        unsigned char expected[TagBytes];
        m_vector->begin(run, iv, header, HeaderBytes);
        m_vector->open(run, header + HeaderBytes, plain, size_t(sealed));
        m_vector->tag(run, expected);
        authentic = CRYPTO_memcmp(expected, tag.data(), TagBytes) == 0;
        OPENSSL_cleanse(&run, sizeof run);
    } else {
        int n = 0;
        authentic = EVP_DecryptInit_ex(m_context, nullptr, nullptr, nullptr, iv) == 1
            && EVP_DecryptUpdate(m_context, nullptr, &n, header, int(HeaderBytes)) == 1
            && EVP_DecryptUpdate(m_context, plain, &n, header + HeaderBytes, int(sealed)) == 1
            && EVP_CIPHER_CTX_ctrl(m_context, EVP_CTRL_AEAD_SET_TAG, int(TagBytes), tag.data()) == 1
            && EVP_DecryptFinal_ex(m_context, plain + sealed, &n) == 1;
    }
    if (!authentic) {
        OPENSSL_cleanse(plain, size_t(sealed)); // nothing of a forged record is left to read
        m_broken = true;
        return std::nullopt;
    }
    ++m_sequence;
    // The content type is the last byte that is not padding.
    qsizetype end = sealed;
    while (end > 0 && plain[end - 1] == 0)
        --end;
    if (end == 0) {
        m_broken = true;
        return std::nullopt;
    }
    return Opened{ContentType(plain[end - 1]), end - 1};
}

} // namespace secure
