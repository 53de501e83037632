#include "recordlayer.h"

#include "recordcipher.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <climits>
#include <cstring>

#include <sys/socket.h>

namespace secure {

namespace {

// Records written are gathered up to this much before they go to the socket: one write of
// 256 KiB instead of sixteen of 16 KiB costs both sides far less in the network stack.
constexpr int WriteBatchBytes = 256 * 1024;
// What one receive from the socket takes at most.
constexpr qsizetype RawBlock = 64 * 1024;
// Records in a row that carry no data (key updates, tickets, empty records) before the peer is
// taken for one that only keeps this side busy, as OpenSSL takes it too.
constexpr int MaxRecordsWithoutData = 32;

void wipe(QByteArray &secret)
{
    OPENSSL_cleanse(secret.data(), size_t(secret.size()));
    secret.clear();
}

// Records sealed and opened here, both ways.
class OwnRecords : public RecordLayer
{
public:
    OwnRecords(int fd, std::unique_ptr<RecordCipher> sealer, std::unique_ptr<RecordCipher> opener, Waiting waiting)
        : m_fd(fd)
        , m_sealer(std::move(sealer))
        , m_opener(std::move(opener))
        , m_waiting(std::move(waiting))
        , m_sealed(WriteBatchBytes + RecordCipher::MaxRecordBytes, Qt::Uninitialized)
        , m_raw(RawBlock + RecordCipher::MaxRecordBytes, Qt::Uninitialized)
    {
    }

    bool openSsl() const override { return false; }

    qsizetype read(char *into, qsizetype room, int &ended) override
    {
        qsizetype taken = 0;
        for (;;) {
            const QByteArrayView raw(m_raw.constData() + m_rawPos, m_rawEnd - m_rawPos);
            const auto length = RecordCipher::recordLength(raw);
            if (!length) {
                ended = EPROTO;
                return taken;
            }
            if (*length > 0 && raw.size() >= *length) {
                if (room - taken < *length - RecordCipher::HeaderBytes - RecordCipher::TagBytes)
                    return taken; // the rest when there is room
                const auto opened = m_opener->open(raw.first(*length), into + taken);
                m_rawPos += *length;
                if (m_rawPos == m_rawEnd)
                    m_rawPos = m_rawEnd = 0;
                if (!opened) {
                    ended = EPROTO; // forged, damaged, out of order or too long
                    return taken;
                }
                if (!takeContent(opened->type, into + taken, opened->size, taken, ended))
                    return taken;
                continue;
            }
            if (taken > 0)
                return taken;
            // Too little for a record: receive more, behind what is there (moved to the front
            // when the room behind it runs short; it is less than a record).
            if (m_raw.size() - m_rawEnd < RawBlock) {
                std::memmove(m_raw.data(), raw.data(), size_t(raw.size()));
                m_rawEnd = raw.size();
                m_rawPos = 0;
            }
            const ssize_t got = ::recv(m_fd, m_raw.data() + m_rawEnd, size_t(m_raw.size() - m_rawEnd), 0);
            if (got > 0) {
                m_rawEnd += got;
                continue;
            }
            if (got < 0 && errno == EINTR)
                continue;
            if (got == 0 || errno == ECONNRESET)
                ended = 0; // without a goodbye, as a plain connection may end
            else if (errno != EAGAIN && errno != EWOULDBLOCK)
                ended = errno;
            return 0;
        }
    }

    qsizetype write(const char *data, qsizetype size, int &failed) override
    {
        if (m_sealedEnd >= WriteBatchBytes && !push(failed))
            return 0;
        if (m_sealer->keyWornOut() || std::exchange(m_keyUpdateAsked, false)) {
            const qsizetype update = m_sealer->sealKeyUpdate(false, m_sealed.data() + m_sealedEnd);
            if (update == 0) {
                failed = EPROTO;
                return 0;
            }
            m_sealedEnd += update;
        }
        const qsizetype n = qMin(size, RecordCipher::MaxContentBytes);
        const qsizetype sealed = m_sealer->seal(RecordCipher::ApplicationData, data, n, m_sealed.data() + m_sealedEnd);
        if (sealed == 0) {
            failed = EPROTO;
            return 0;
        }
        m_sealedEnd += sealed;
        return n;
    }

    bool push(int &failed) override
    {
        const int error = sendSealed();
        if (error == EAGAIN || error == EWOULDBLOCK)
            m_waiting.forWrite();
        else if (error != 0)
            failed = error;
        return error == 0;
    }

    qint64 pending() const override { return m_sealedEnd - m_sealedSent; }

    void close() override
    {
        static constexpr char closeNotify[] = {1, 0}; // warning, close_notify
        if (const qsizetype n = m_sealer->seal(RecordCipher::Alert, closeNotify, sizeof closeNotify,
                                               m_sealed.data() + m_sealedEnd))
            m_sealedEnd += n;
        sendSealed();
    }

private:
    // What an opened record carries: application data is taken; a goodbye, a key update or a
    // ticket is handled; anything else ends the connection. False when reading must stop.
    bool takeContent(RecordCipher::ContentType type, const char *content, qsizetype size, qsizetype &taken, int &ended)
    {
        if (type == RecordCipher::ApplicationData && size > 0)
            m_withoutData = 0;
        else if (++m_withoutData > MaxRecordsWithoutData) {
            ended = EPROTO;
            return false;
        }
        switch (type) {
        case RecordCipher::ApplicationData:
            taken += size;
            return true;
        case RecordCipher::Alert:
            // close_notify is the peer's goodbye; any other alert ends the connection in error.
            ended = size == 2 && content[1] == 0 ? 0 : EPROTO;
            return false;
        case RecordCipher::Handshake:
            if (const auto update = RecordCipher::readKeyUpdate(QByteArrayView(content, size))) {
                // The peer's records go on under new keys; ours follow, once, when it asks.
                if (!m_opener->update()) {
                    ended = EPROTO;
                    return false;
                }
                m_keyUpdateAsked = m_keyUpdateAsked || update->asked;
                return true;
            }
            if (size > 0 && content[0] == 4)
                return true; // a session ticket, which is never used nor kept
            ended = EPROTO; // no other handshake message comes after the handshake
            return false;
        }
        ended = EPROTO;
        return false;
    }

    // Hands the sealed records to the socket: 0 once all went, else errno (EAGAIN for later).
    int sendSealed()
    {
        while (m_sealedSent < m_sealedEnd) {
            const ssize_t n = ::send(m_fd, m_sealed.constData() + m_sealedSent, size_t(m_sealedEnd - m_sealedSent),
                                     MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0)
                m_sealedSent += n;
            else if (n == 0 || errno != EINTR)
                return n < 0 ? errno : EPIPE;
        }
        m_sealedSent = m_sealedEnd = 0;
        return 0;
    }

    int m_fd;
    std::unique_ptr<RecordCipher> m_sealer;
    std::unique_ptr<RecordCipher> m_opener;
    Waiting m_waiting;
    QByteArray m_sealed; ///< records sealed: bytes m_sealedSent to m_sealedEnd are unsent
    qsizetype m_sealedSent = 0;
    qsizetype m_sealedEnd = 0;
    bool m_keyUpdateAsked = false; ///< the peer renewed its keys and asked us to renew ours
    int m_withoutData = 0;         ///< records in a row that carried no data
    QByteArray m_raw;              ///< record bytes received: m_rawPos to m_rawEnd are unopened
    qsizetype m_rawPos = 0;
    qsizetype m_rawEnd = 0;
};

// OpenSSL's record layer, both ways (the kernel's where kTLS runs).
class OpenSslRecords : public RecordLayer
{
public:
    OpenSslRecords(SSL *ssl, Waiting waiting)
        : m_ssl(ssl)
        , m_waiting(std::move(waiting))
    {
        batchWrites();
        SSL_set_read_ahead(m_ssl, 1); // several records in one read
    }

    bool openSsl() const override { return true; }

    qsizetype read(char *into, qsizetype room, int &ended) override
    {
        ERR_clear_error();
        const int n = SSL_read(m_ssl, into, int(qMin<qsizetype>(room, INT_MAX)));
        if (n > 0)
            return n;
        const int e = SSL_get_error(m_ssl, n);
        if (e == SSL_ERROR_WANT_WRITE)
            m_waiting.forWrite();
        else if (e == SSL_ERROR_ZERO_RETURN || (e == SSL_ERROR_SYSCALL && (errno == 0 || errno == ECONNRESET)))
            ended = 0;
        else if (e != SSL_ERROR_WANT_READ)
            ended = e == SSL_ERROR_SYSCALL ? errno : EPROTO;
        return 0;
    }

    qsizetype write(const char *data, qsizetype size, int &failed) override
    {
        ERR_clear_error();
        const int n = SSL_write(m_ssl, data, int(qMin<qsizetype>(size, INT_MAX)));
        if (n > 0)
            return n;
        const int e = SSL_get_error(m_ssl, n);
        if (e == SSL_ERROR_WANT_WRITE)
            m_waiting.forWrite();
        else if (e == SSL_ERROR_WANT_READ)
            m_waiting.forRead();
        else
            failed = e == SSL_ERROR_SYSCALL && errno != 0 ? errno : EPIPE;
        return 0;
    }

    bool push(int &failed) override
    {
        BIO *out = SSL_get_wbio(m_ssl);
        if (BIO_wpending(out) == 0)
            return true;
        ERR_clear_error();
        if (BIO_flush(out) > 0)
            return true;
        if (BIO_should_retry(out))
            m_waiting.forWrite();
        else
            failed = errno != 0 ? errno : EPIPE;
        return false;
    }

    qint64 pending() const override { return qint64(BIO_wpending(SSL_get_wbio(m_ssl))); }

    void close() override { SSL_shutdown(m_ssl); }

private:
    void batchWrites()
    {
        // Where the kernel encrypts (kTLS), records go straight to the socket. Otherwise they
        // gather in a buffer and go out many at a time.
        BIO *socket = SSL_get_wbio(m_ssl);
        if (BIO_get_ktls_send(socket))
            return;
        BIO *buffer = BIO_new(BIO_f_buffer());
        if (!buffer || BIO_set_write_buffer_size(buffer, WriteBatchBytes) <= 0) {
            BIO_free(buffer);
            return; // unbatched
        }
        BIO_up_ref(socket); // held by the buffer now, and still by the SSL object as its read side
        BIO_push(buffer, socket);
        SSL_set0_wbio(m_ssl, buffer);
    }

    SSL *m_ssl;
    Waiting m_waiting;
};

} // namespace

RecordLayer::Records RecordLayer::defaultRecords()
{
    return qgetenv("VELMORA_TLS_RECORDS").compare("openssl", Qt::CaseInsensitive) == 0 ? Records::OpenSsl
                                                                                        : Records::Own;
}

std::unique_ptr<RecordLayer> RecordLayer::afterHandshake(SSL *ssl, int fd, bool connecting, QByteArray &clientSecret,
                                                         QByteArray &serverSecret, Records records, Waiting waiting,
                                                         QString *why)
{
    // Moved, not copied: a shared copy would be detached, and left unwiped, by the wiping.
    struct Wiped
    {
        QByteArray a, b;
        ~Wiped()
        {
            wipe(a);
            wipe(b);
        }
    } secrets{std::exchange(clientSecret, QByteArray()), std::exchange(serverSecret, QByteArray())};
    const bool kernel = BIO_get_ktls_send(SSL_get_wbio(ssl)) || BIO_get_ktls_recv(SSL_get_rbio(ssl));
    if (records == Records::OpenSsl || kernel)
        return std::make_unique<OpenSslRecords>(ssl, std::move(waiting));
    // Taking over is sound only if OpenSSL is done with the socket: it read no record past the
    // handshake (no read-ahead) and has nothing left to write, so both directions start here at
    // sequence number 0 under the secrets its key log handed over.
    if (SSL_has_pending(ssl))
        *why = QStringLiteral("OpenSSL holds records read past the handshake");
    else if (BIO_wpending(SSL_get_wbio(ssl)) > 0)
        *why = QStringLiteral("OpenSSL has records of the handshake still to send");
    else if (secrets.a.isEmpty() || secrets.b.isEmpty())
        *why = QStringLiteral("the traffic secrets of the handshake did not come");
    if (!why->isEmpty())
        return nullptr;
    const SSL_CIPHER *suite = SSL_get_current_cipher(ssl);
    auto sealer = RecordCipher::create(suite, connecting ? secrets.a : secrets.b);
    auto opener = RecordCipher::create(suite, connecting ? secrets.b : secrets.a);
    if (!sealer || !opener) {
        *why = QStringLiteral("the record keys could not be derived");
        return nullptr;
    }
    return std::make_unique<OwnRecords>(fd, std::move(sealer), std::move(opener), std::move(waiting));
}

} // namespace secure
