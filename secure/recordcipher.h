#pragma once
// The protection of TLS 1.3 records in one direction of a connection whose handshake OpenSSL
// did: the same records OpenSSL would write and read, sealed and opened here, with the key
// updates that renew their keys. A secure stream
// seals file bytes straight from where it read them, many records into one buffer for one
// write, and opens records straight into the buffer its owner takes bytes from: none of
// OpenSSL's copies and calls per record. AES-128-GCM, the suite our peers agree on, runs on the
// processor's vector AES where it has it (see VaesGcm), OpenSSL's otherwise.

#include "velmora_secure_export.h"

#include <QByteArray>
#include <QByteArrayView>

#include <memory>
#include <optional>
#include <string_view>

typedef struct evp_cipher_ctx_st EVP_CIPHER_CTX;
typedef struct evp_cipher_st EVP_CIPHER;
typedef struct evp_md_st EVP_MD;
typedef struct ssl_cipher_st SSL_CIPHER;

namespace secure {

class VaesGcm;

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
    /// The records sealed under one key before the sender renews it: TLS 1.3 advises at most
    /// about 2^24.5 for AES-GCM (some 380 GiB of full records).
    static constexpr quint64 RecordsPerKey = quint64(1) << 24;
    /// The length of a sealed key update.
    static constexpr qsizetype KeyUpdateBytes = OverheadBytes + 5;

    /// The secret of a key-log line ("LABEL <client random> <secret>", both in hex) when the
    /// line is `label`'s; empty otherwise. The line is read in place, never copied.
    static QByteArray loggedSecret(const char *line, std::string_view label);

    /// Who encrypts: the fastest code this processor runs, or OpenSSL's whatever it is.
    enum class Engine { Fastest, OpenSsl };
    /// Whether Engine::Fastest runs AES-128-GCM on the processor's vector AES here.
    static bool vectorAes();

    /// The protection of records under `suite`'s AEAD with keys from the traffic `secret`
    /// (as the key log names it); nothing for a suite that is not TLS 1.3's.
    static std::unique_ptr<RecordCipher> create(const SSL_CIPHER *suite, QByteArrayView secret,
                                                Engine engine = Engine::Fastest);
    ~RecordCipher();
    RecordCipher(const RecordCipher &) = delete;
    RecordCipher &operator=(const RecordCipher &) = delete;

    /// Seals `content` (at most MaxContentBytes) as the next record of `type` into `out`, which
    /// has room for its size plus OverheadBytes and does not overlap it; the record's length, or
    /// 0 when sealing failed (see broken()).
    qsizetype seal(ContentType type, const char *content, qsizetype size, char *out);

    /// Seals a key update (asking the peer to renew its own keys too when `askPeer`) into
    /// `out`, and renews the keys for the records that follow it; the record's length, or 0 when
    /// either failed (see broken()).
    qsizetype sealKeyUpdate(bool askPeer, char *out);
    /// True once RecordsPerKey records were sealed under the current key.
    bool keyWornOut() const { return m_sequence >= RecordsPerKey; }

    /// Renews the keys as a key update does: the next traffic secret from this one. False when
    /// the derivation failed (see broken()).
    bool update();
    /// True once a derivation or a cipher call failed, or a record broke the rules: no record
    /// is sealed or opened any more (a nonce is never used twice), and the connection must end.
    bool broken() const { return m_broken; }
    /// Whether the content of a handshake record is a key update, and if so whether the peer
    /// asks for ours.
    struct KeyUpdate
    {
        bool asked;
    };
    static std::optional<KeyUpdate> readKeyUpdate(QByteArrayView content);

    /// The whole length of the record at the front of `bytes` once its header is there; 0
    /// while it is not; nothing when the header is no protected TLS 1.3 record's.
    static std::optional<qsizetype> recordLength(QByteArrayView bytes);

    struct Opened
    {
        ContentType type;
        qsizetype size; ///< of the content
    };
    /// Opens the next record, whole in `record`, into `into`, which has room for the record
    /// less HeaderBytes and TagBytes; nothing when it fails its tag, carries no type or more than
    /// MaxContentBytes and its type (then broken()).
    std::optional<Opened> open(QByteArrayView record, char *into);

private:
    RecordCipher() = default;
    bool setKeys();
    /// The nonce of the next record; false (broken) once the sequence would wrap.
    bool nonce(unsigned char *out);

    Engine m_engine = Engine::Fastest;
    const EVP_CIPHER *m_aead = nullptr;
    const EVP_MD *m_hash = nullptr;
    QByteArray m_secret; ///< the traffic secret of the current keys
    EVP_CIPHER_CTX *m_context = nullptr;
    std::unique_ptr<VaesGcm> m_vector; ///< in place of m_context's keys, where it runs
    unsigned char m_iv[12] = {};
    quint64 m_sequence = 0;
    bool m_broken = false;
};

} // namespace secure
