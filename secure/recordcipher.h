#pragma once
// The protection of TLS 1.3 records in one direction of a connection whose handshake OpenSSL
// did: the same records OpenSSL would write and read, sealed and opened here. A secure stream
// seals file bytes straight from where it read them, many records into one buffer for one
// write, and opens records straight into the buffer its owner takes bytes from: none of
// OpenSSL's copies and calls per record.

#include "velmora_secure_export.h"

#include <QByteArray>
#include <QByteArrayView>

#include <memory>
#include <optional>

typedef struct evp_cipher_ctx_st EVP_CIPHER_CTX;
typedef struct ssl_cipher_st SSL_CIPHER;

namespace secure {

class VELMORA_SECURE_EXPORT RecordCipher
{
public:
    enum ContentType : quint8 { Alert = 21, Handshake = 22, ApplicationData = 23 };

    static constexpr qsizetype HeaderBytes = 5;
    static constexpr qsizetype TagBytes = 16;
    /// The most content one record carries, and the longest record a peer may send.
    static constexpr qsizetype MaxContentBytes = 16384;
    static constexpr qsizetype MaxRecordBytes = HeaderBytes + MaxContentBytes + 256;
    /// What a record adds to its content: the header, the inner content type and the tag.
    static constexpr qsizetype OverheadBytes = HeaderBytes + 1 + TagBytes;

    /// The protection of records under `suite`'s AEAD with keys from the traffic `secret`
    /// (as the key log names it); nothing for a suite that is not TLS 1.3's.
    static std::unique_ptr<RecordCipher> create(const SSL_CIPHER *suite, QByteArrayView secret);
    ~RecordCipher();
    RecordCipher(const RecordCipher &) = delete;
    RecordCipher &operator=(const RecordCipher &) = delete;

    /// Seals `content` (at most MaxContentBytes) as the next record of `type` into `out`, which
    /// has room for its size plus OverheadBytes and does not overlap it; the record's length.
    qsizetype seal(ContentType type, const char *content, qsizetype size, char *out);

    /// The whole length of the record at the front of `bytes` once its header is there; 0
    /// while it is not; nothing when the header is no protected TLS 1.3 record's.
    static std::optional<qsizetype> recordLength(QByteArrayView bytes);

    struct Opened
    {
        ContentType type;
        qsizetype size; ///< of the content
    };
    /// Opens the next record, whole in `record`, into `into`, which has room for the record
    /// less HeaderBytes and TagBytes; nothing when it fails its tag or carries no type.
    std::optional<Opened> open(QByteArrayView record, char *into);

private:
    RecordCipher() = default;
    void nonce(unsigned char *out) const;

    EVP_CIPHER_CTX *m_context = nullptr;
    unsigned char m_iv[12] = {};
    quint64 m_sequence = 0;
};

} // namespace secure
