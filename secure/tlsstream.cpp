#include "tlsstream.h"

#include "cpace.h"
#include "identity.h"
#include "secureconnector.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <climits>
#include <cstring>

#include <linux/sockios.h>
#include <sys/stat.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace secure {

namespace {

// What one read from TLS takes at most, and how much received plaintext is held before reading
// pauses until the owner takes some.
constexpr qsizetype ReadBlock = 256 * 1024;
constexpr qsizetype MaxBuffered = 4 * 1024 * 1024;
// What is moved to the front of the buffer to make room at most: reading waits for the owner
// to take the rest rather than copying megabytes around.
constexpr qsizetype MaxMoved = 64 * 1024;
// The file bytes of one data frame: few headers, and small enough that what was read from the
// file is still in the processor's cache when it is encrypted (measured: 256 KiB beats 64 KiB
// and 1 MiB).
constexpr qint64 DataChunkBytes = 256 * 1024;
// Records written are gathered up to this much before they go to the socket.
constexpr int WriteBatchBytes = 256 * 1024;
// What one receive from the socket takes at most, when records are opened here.
constexpr qsizetype RawBlock = 64 * 1024;
// How long a closing stream may take to hand over what is queued.
constexpr int DrainLimitMsec = 60000;
constexpr char ExporterLabel[] = "EXPORTER-velmora-pairing";

// pread(2), retried when a signal interrupts it.
ssize_t readAt(int file, char *into, qint64 count, qint64 offset)
{
    ssize_t got = -1;
    do
        got = ::pread(file, into, size_t(count), off_t(offset));
    while (got < 0 && errno == EINTR);
    return got;
}

QString sslReason()
{
    const unsigned long e = ERR_peek_error();
    const char *reason = e ? ERR_reason_error_string(e) : nullptr;
    return reason ? QString::fromLatin1(reason) : QStringLiteral("the connection closed");
}

} // namespace

TlsStream::TlsStream(int descriptor, Role role, SecureConnector &connector)
    : m_fd(descriptor)
    , m_role(role)
    , m_connector(connector)
    , m_alive(&connector)
    , m_readNotifier(descriptor, QSocketNotifier::Read)
    , m_writeNotifier(descriptor, QSocketNotifier::Write)
    , m_in(MaxBuffered + ReadBlock, Qt::Uninitialized) // allocated once; pages are taken as used
{
    m_ssl = SSL_new(connector.context());
    SSL_set_app_data(m_ssl, this);
    SSL_set_fd(m_ssl, descriptor);
    if (role == Role::Connecting)
        SSL_set_connect_state(m_ssl);
    else
        SSL_set_accept_state(m_ssl);
    m_writeNotifier.setEnabled(false);
    connect(&m_readNotifier, &QSocketNotifier::activated, this, &TlsStream::pump);
    connect(&m_writeNotifier, &QSocketNotifier::activated, this, &TlsStream::pump);
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, [this] {
        giveUp(QStringLiteral("the secure connection was not set up within %1 s").arg(SetupMsec / 1000));
    });
    m_deadline.start(SetupMsec);
    // From the event loop, once the owner has taken the stream and set its callbacks.
    QTimer::singleShot(0, this, &TlsStream::pump);
}

TlsStream::~TlsStream()
{
    // A run that never confirmed was a guess (the connector may be gone when the program ends).
    if (m_pairingOpen && m_alive)
        m_connector.codeUsed(false);
    for (const Pending &p : m_queue)
        if (p.file >= 0)
            ::close(p.file);
    SSL_set_app_data(m_ssl, nullptr);
    SSL_free(m_ssl);
    OPENSSL_cleanse(m_clientSecret.data(), size_t(m_clientSecret.size()));
    OPENSSL_cleanse(m_serverSecret.data(), size_t(m_serverSecret.size()));
    if (m_fd >= 0)
        ::close(m_fd);
}

// ---------------------------------------------------------------- driving

void TlsStream::pump()
{
    if (m_phase == Phase::Failed || m_fd < 0)
        return;
    if (m_phase == Phase::Handshake) {
        handshake();
        if (m_phase == Phase::Handshake || m_phase == Phase::Failed)
            return;
    }
    flush();
    fill();
    parseFront(); // what came before a close (a refusal, say) is read first
    if (m_phase != Phase::Ready && m_phase != Phase::Failed && (m_peerClosed || m_error != 0))
        giveUp(QStringLiteral("the peer closed the connection before it was set up"));
    tellOwner();
}

void TlsStream::handshake()
{
    ERR_clear_error();
    const int result = SSL_do_handshake(m_ssl);
    if (result == 1) {
        const auto fingerprint = Identity::fingerprintOf(SSL_get0_peer_certificate(m_ssl));
        if (!fingerprint) {
            giveUp(QStringLiteral("the peer showed no identity of ours"));
            return;
        }
        m_peerFingerprint = *fingerprint;
        m_exported = QByteArray(32, '\0');
        SSL_export_keying_material(m_ssl, reinterpret_cast<unsigned char *>(m_exported.data()), size_t(m_exported.size()),
                                   ExporterLabel, sizeof ExporterLabel - 1, nullptr, 0, 0);
        takeOverRecords();
        m_kernelSends = kernelSends();
        m_phase = Phase::Hello;
        queueFrame(frame::Type::Hello, frame::helloPayload(m_connector.ownName()));
        return;
    }
    switch (SSL_get_error(m_ssl, result)) {
    case SSL_ERROR_WANT_READ:
        m_readNotifier.setEnabled(true);
        m_writeNotifier.setEnabled(false);
        return;
    case SSL_ERROR_WANT_WRITE:
        m_writeNotifier.setEnabled(true);
        return;
    default:
        giveUp(QStringLiteral("the secure handshake failed: %1").arg(sslReason()));
        return;
    }
}

void TlsStream::fill()
{
    while (!m_peerClosed && m_error == 0 && m_phase != Phase::Failed && buffered() < MaxBuffered) {
        if (m_in.size() - m_inEnd < ReadBlock) {
            // Too little room behind: what is still to be taken moves to the front, once little is.
            if (buffered() > MaxMoved)
                break;
            std::memmove(m_in.data(), front(), size_t(buffered()));
            m_inEnd = buffered();
            m_inPos = 0;
        }
        const qsizetype n = readPlain(m_in.data() + m_inEnd, ReadBlock);
        if (n == 0)
            break;
        m_inEnd += n;
    }
    m_readNotifier.setEnabled(!m_peerClosed && m_error == 0 && m_phase != Phase::Failed && buffered() < MaxBuffered
                              && (m_in.size() - m_inEnd >= ReadBlock || buffered() <= MaxMoved));
}

qsizetype TlsStream::readPlain(char *into, qsizetype room)
{
    if (m_opener)
        return openRecords(into, room);
    ERR_clear_error();
    const int n = SSL_read(m_ssl, into, int(room));
    if (n > 0)
        return n;
    const int e = SSL_get_error(m_ssl, n);
    if (e == SSL_ERROR_WANT_WRITE)
        m_writeNotifier.setEnabled(true);
    else if (e == SSL_ERROR_ZERO_RETURN || (e == SSL_ERROR_SYSCALL && (errno == 0 || errno == ECONNRESET)))
        m_peerClosed = true;
    else if (e != SSL_ERROR_WANT_READ)
        m_error = e == SSL_ERROR_SYSCALL ? errno : EPROTO;
    return 0;
}

qsizetype TlsStream::openRecords(char *into, qsizetype room)
{
    qsizetype taken = 0;
    for (;;) {
        const QByteArrayView raw(m_raw.constData() + m_rawPos, m_rawEnd - m_rawPos);
        const auto length = RecordCipher::recordLength(raw);
        if (!length) {
            m_error = EPROTO;
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
                m_error = EPROTO; // forged, damaged or out of order
                return taken;
            }
            const char *content = into + taken;
            switch (opened->type) {
            case RecordCipher::ApplicationData:
                taken += opened->size;
                continue;
            case RecordCipher::Alert:
                // close_notify is the peer's goodbye; any other alert ends the connection in error.
                if (opened->size == 2 && content[1] == 0)
                    m_peerClosed = true;
                else
                    m_error = EPROTO;
                return taken;
            case RecordCipher::Handshake:
                if (const auto update = RecordCipher::readKeyUpdate(QByteArrayView(content, opened->size))) {
                    // The peer's records go on under new keys; ours follow when it asks.
                    if (!m_opener->update()) {
                        m_error = EPROTO;
                        return taken;
                    }
                    m_keyUpdateAsked = m_keyUpdateAsked || update->asked;
                    continue;
                }
                if (opened->size > 0 && content[0] == 4)
                    continue; // a session ticket, which is never used
                m_error = EPROTO; // no other handshake message comes after the handshake
                return taken;
            }
            m_error = EPROTO;
            return taken;
        }
        if (taken > 0)
            return taken;
        // Too little for a record: receive more, behind what is there (moved to the front when
        // the room behind it runs short; it is less than a record).
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
            m_peerClosed = true; // without a goodbye, as a plain connection may end
        else if (errno != EAGAIN && errno != EWOULDBLOCK)
            m_error = errno;
        return 0;
    }
}

void TlsStream::consume(qsizetype count)
{
    m_inPos += count;
    if (m_inPos == m_inEnd)
        m_inPos = m_inEnd = 0; // all taken: reading starts at the front again
}

void TlsStream::parseFront()
{
    while (m_dataLeft == 0 && m_phase != Phase::Failed && buffered() >= frame::HeaderBytes) {
        const auto read = frame::readHeader(QByteArrayView(front(), buffered()));
        if (const auto *bad = std::get_if<frame::Malformed>(&read)) {
            if (m_phase == Phase::Ready)
                m_error = EPROTO; // the owner sees a broken connection
            else
                giveUp(QStringLiteral("the peer sent %1").arg(QLatin1String(bad->why)));
            return;
        }
        const frame::Header h = std::get<frame::Header>(read);
        if (h.type == frame::Type::Data) {
            if (m_phase != Phase::Ready) {
                giveUp(QStringLiteral("the peer sent file bytes before the connection was set up"));
                return;
            }
            consume(frame::HeaderBytes);
            m_dataLeft = h.length;
            continue;
        }
        if (buffered() < frame::HeaderBytes + qsizetype(h.length))
            return; // the rest of the frame is still on its way
        if (h.type == frame::Type::Control && m_phase == Phase::Ready && h.length > 0)
            return; // the owner's
        const QByteArray payload(front() + frame::HeaderBytes, qsizetype(h.length));
        consume(frame::HeaderBytes + h.length);
        switch (h.type) {
        case frame::Type::Stop:
            if (m_phase == Phase::Ready && peerStopped)
                peerStopped();
            break;
        case frame::Type::Hello:
        case frame::Type::Pairing:
            if (m_phase != Phase::Ready)
                onSetupFrame(h.type, payload);
            break;
        case frame::Type::Control:
            if (m_phase != Phase::Ready)
                giveUp(QStringLiteral("the peer sent a message before the connection was set up"));
            break;
        case frame::Type::Data:
            break;
        }
    }
}

void TlsStream::tellOwner()
{
    if (m_phase == Phase::Ready && m_watching && readable && (waiting() > 0 || m_peerClosed || m_error != 0))
        readable();
}

void TlsStream::watchReadable(bool on)
{
    m_watching = on;
    if (on) {
        QTimer::singleShot(0, this, [this] {
            if (m_phase != Phase::Ready)
                return;
            fill();
            parseFront();
            tellOwner();
        });
    }
}

// ---------------------------------------------------------------- setting up

void TlsStream::onSetupFrame(frame::Type type, const QByteArray &payload)
{
    if (type == frame::Type::Hello) {
        const auto hello = frame::readHello(payload);
        if (m_phase != Phase::Hello || !hello) {
            giveUp(QStringLiteral("the peer's hello is malformed or out of turn"));
            return;
        }
        m_peerName = hello->name;
        m_phase = Phase::Authenticate;
        if (m_role == Role::Accepting)
            return; // the connecting side speaks first
        QString refusal;
        if (m_connector.resumeWith(m_peerName, m_peerFingerprint, &refusal)) {
            sendPairing(Resume, {});
        } else if (!refusal.isEmpty()) {
            giveUp(refusal);
        } else {
            m_pairingNow = true;
            sendPairing(Start, {m_pairingRun.start(binding(), m_connector.ownName())});
        }
        return;
    }
    if (m_phase != Phase::Authenticate) {
        giveUp(QStringLiteral("the peer sent a pairing message out of turn"));
        return;
    }
    onPairing(payload);
}

PairingRun::Binding TlsStream::binding() const
{
    const QByteArray own = m_connector.identity().fingerprint();
    if (m_role == Role::Connecting)
        return {m_connector.connectCode(), own, m_peerFingerprint, m_exported};
    return {m_connector.pairingCode(), m_peerFingerprint, own, m_exported};
}

void TlsStream::onPairing(const QByteArray &payload)
{
    const quint8 step = payload.isEmpty() ? 0 : quint8(payload[0]);
    const QByteArray rest = payload.mid(1);
    const bool accepting = m_role == Role::Accepting;
    const auto fields = [&](int count) { return cpace::parseFields(rest, count); };
    if (accepting && step == Resume && fields(0)) {
        if (m_connector.isPinned(m_peerFingerprint)) {
            sendPairing(Welcome, {});
            becomeReady(false);
        } else {
            sendPairing(Refused, {"this side does not know you: pair again with the code it shows"});
            giveUp(QStringLiteral("a peer that is not paired here (%1) came without a pairing code")
                       .arg(Identity::shown(m_peerFingerprint).left(19)));
        }
    } else if (accepting && step == Start && fields(1) && !m_pairingOpen) {
        const QByteArray code = m_connector.pairingCode();
        if (code.isEmpty()) {
            sendPairing(Refused, {"this side takes no new peers now"});
            giveUp(QStringLiteral("a new peer asked to pair while no pairing code stands"));
            return;
        }
        m_pairingOpen = true; // one guess: counted as wrong unless it confirms
        QString name;
        const auto reply = m_pairingRun.respond(binding(), m_connector.ownName(), fields(1)->at(0), &name);
        if (!reply) {
            giveUp(QStringLiteral("the peer's pairing message is malformed"));
            return;
        }
        m_pairingName = name;
        sendPairing(Reply, {reply->first, reply->second});
    } else if (accepting && step == Confirm && fields(1) && m_pairingOpen) {
        m_pairingOpen = false;
        const bool right = m_pairingRun.confirm(fields(1)->at(0));
        m_connector.codeUsed(right);
        if (!right) {
            sendPairing(Refused, {"wrong pairing code"});
            giveUp(QStringLiteral("a peer gave a wrong pairing code"));
            return;
        }
        m_connector.pin(m_pairingName.isEmpty() ? m_peerName : m_pairingName, m_peerFingerprint);
        sendPairing(Welcome, {});
        becomeReady(true);
    } else if (!accepting && step == Reply && fields(2) && m_pairingNow) {
        QString name;
        const auto tag = m_pairingRun.finish(fields(2)->at(0), fields(2)->at(1), &name);
        if (!tag) {
            sendPairing(Refused, {"wrong pairing code"});
            giveUp(QStringLiteral("pairing failed: the code is wrong, or someone is in between"));
            return;
        }
        m_pairingName = name;
        sendPairing(Confirm, {*tag});
    } else if (!accepting && step == Welcome && fields(0)) {
        if (m_pairingNow)
            m_connector.pin(m_pairingName.isEmpty() ? m_peerName : m_pairingName, m_peerFingerprint);
        becomeReady(m_pairingNow);
    } else if (step == Refused && fields(1)) {
        if (accepting && m_pairingOpen) {
            // The initiator found the code wrong before we could.
            m_pairingOpen = false;
            m_connector.codeUsed(false);
            giveUp(QStringLiteral("a peer gave a wrong pairing code"));
            return;
        }
        giveUp(QStringLiteral("the peer refused: %1").arg(QString::fromUtf8(fields(1)->at(0))));
    } else {
        giveUp(QStringLiteral("the peer sent a pairing message out of turn"));
    }
}

void TlsStream::sendPairing(PairingStep step, const QList<QByteArray> &fields)
{
    queueFrame(frame::Type::Pairing, QByteArray(1, char(step)) + cpace::prefixFreeCat(fields));
    flush();
}

void TlsStream::becomeReady(bool pairedNow)
{
    m_phase = Phase::Ready;
    m_deadline.stop();
    if (!pairedNow)
        m_connector.seen(m_peerFingerprint);
    const QString name = m_pairingName.isEmpty() ? m_peerName : m_pairingName;
    emit m_connector.secured(name, m_peerFingerprint, pairedNow);
    if (ready)
        ready();
}

void TlsStream::giveUp(const QString &why)
{
    if (m_phase == Phase::Ready) {
        m_error = EPROTO; // the owner sees a broken connection, as for any other failure
        tellOwner();
        return;
    }
    if (m_phase == Phase::Failed)
        return;
    m_phase = Phase::Failed;
    m_deadline.stop();
    m_readNotifier.setEnabled(false);
    emit m_connector.setupFailed(m_role == Role::Accepting, why);
    if (refused)
        refused(why);
}

// ---------------------------------------------------------------- receiving

qint64 TlsStream::waiting() const
{
    if (m_phase != Phase::Ready)
        return 0;
    if (m_dataLeft > 0)
        return qMin<qint64>(m_dataLeft, buffered());
    if (nextIsControl())
        return std::get<frame::Header>(frame::readHeader(QByteArrayView(front(), buffered()))).length;
    return 0;
}

bool TlsStream::nextIsControl() const
{
    if (m_phase != Phase::Ready || m_dataLeft > 0 || buffered() < frame::HeaderBytes)
        return false;
    const auto read = frame::readHeader(QByteArrayView(front(), buffered()));
    const auto *h = std::get_if<frame::Header>(&read);
    return h && h->type == frame::Type::Control && buffered() >= frame::HeaderBytes + qsizetype(h->length);
}

qint64 TlsStream::read(char *into, qint64 count)
{
    qint64 n = 0;
    if (m_dataLeft > 0) {
        n = qMin<qint64>(qMin<qint64>(count, m_dataLeft), buffered());
        std::memcpy(into, front(), size_t(n));
        consume(n);
        m_dataLeft -= n;
    } else if (nextIsControl()) {
        const qint64 length = waiting();
        n = qMin(count, length);
        std::memcpy(into, front() + frame::HeaderBytes, size_t(n));
        consume(frame::HeaderBytes + length);
    }
    fill();
    parseFront();
    return n;
}

qint64 TlsStream::receiveToFile(int file, qint64 offset, qint64 maxBytes, int &systemError)
{
    if (m_dataLeft == 0)
        return 0;
    const qint64 n = qMin<qint64>(qMin(maxBytes, m_dataLeft), buffered());
    for (qint64 written = 0; written < n;) {
        const ssize_t out = ::pwrite(file, front() + written, size_t(n - written), off_t(offset + written));
        if (out < 0 && errno == EINTR)
            continue;
        if (out <= 0) {
            systemError = out < 0 ? errno : EIO;
            break; // what is left of these bytes is lost with the file
        }
        written += out;
    }
    consume(n);
    m_dataLeft -= n;
    fill();
    parseFront();
    return n;
}

int TlsStream::closeReason() const
{
    if (waiting() > 0)
        return -1;
    if (m_error != 0)
        return m_error;
    return m_peerClosed ? 0 : -1;
}

qint64 TlsStream::unacknowledged() const
{
    int queued = 0;
    if (m_fd < 0 || ::ioctl(m_fd, SIOCOUTQ, &queued) != 0)
        return 0;
    return qMax(queued, 0);
}

// ---------------------------------------------------------------- sending

void TlsStream::queueFrame(frame::Type type, const QByteArray &payload)
{
    const QByteArray bytes = frame::header(type, quint32(payload.size())) + payload;
    m_queue.push_back(Pending{bytes, 0, -1, 0, 0});
    m_queued += bytes.size();
}

void TlsStream::send(const QByteArray &bytes)
{
    queueFrame(frame::Type::Control, bytes);
    flush();
}

void TlsStream::sendStop()
{
    queueFrame(frame::Type::Stop, QByteArray());
    flush();
}

qint64 TlsStream::sendFile(int file, qint64 offset, qint64 count, std::optional<platform::AutomationError> &)
{
    m_queue.push_back(Pending{QByteArray(), 0, file, offset, count});
    m_queued += count;
    const qint64 before = m_queued;
    flush();
    return qMax<qint64>(0, before - m_queued);
}

void TlsStream::keyLogged(const SSL *ssl, const char *line)
{
    auto *stream = static_cast<TlsStream *>(SSL_get_app_data(ssl));
    if (!stream)
        return;
    for (auto [label, into] : {std::pair{"CLIENT_TRAFFIC_SECRET_0", &stream->m_clientSecret},
                               std::pair{"SERVER_TRAFFIC_SECRET_0", &stream->m_serverSecret}})
        if (QByteArray secret = RecordCipher::loggedSecret(line, label); !secret.isEmpty())
            *into = std::move(secret);
}

void TlsStream::takeOverRecords()
{
    // The handshake read no more than its own records (no read-ahead), and wrote none after its
    // Finished (no tickets), so both directions start here at sequence number 0.
    const SSL_CIPHER *suite = SSL_get_current_cipher(m_ssl);
    const bool connecting = m_role == Role::Connecting;
    if (!BIO_get_ktls_send(SSL_get_wbio(m_ssl)))
        m_sealer = RecordCipher::create(suite, connecting ? m_clientSecret : m_serverSecret);
    if (!BIO_get_ktls_recv(SSL_get_rbio(m_ssl)))
        m_opener = RecordCipher::create(suite, connecting ? m_serverSecret : m_clientSecret);
    OPENSSL_cleanse(m_clientSecret.data(), size_t(m_clientSecret.size()));
    OPENSSL_cleanse(m_serverSecret.data(), size_t(m_serverSecret.size()));
    m_clientSecret.clear();
    m_serverSecret.clear();
    if (m_sealer)
        m_sealed = QByteArray(WriteBatchBytes + RecordCipher::MaxRecordBytes, Qt::Uninitialized);
    else
        batchWrites();
    if (m_opener)
        m_raw = QByteArray(RawBlock + RecordCipher::MaxRecordBytes, Qt::Uninitialized);
    else
        SSL_set_read_ahead(m_ssl, 1); // several records in one read
}

qint64 TlsStream::pendingRecords() const
{
    return m_sealer ? m_sealedEnd - m_sealedSent : qint64(BIO_wpending(SSL_get_wbio(m_ssl)));
}

qsizetype TlsStream::writePlain(const char *data, qsizetype size)
{
    if (m_sealer) {
        if (m_sealedEnd >= WriteBatchBytes && !pushBatch())
            return 0;
        if (m_sealer->keyWornOut() || std::exchange(m_keyUpdateAsked, false))
            m_sealedEnd += m_sealer->sealKeyUpdate(false, m_sealed.data() + m_sealedEnd);
        const qsizetype n = qMin(size, RecordCipher::MaxContentBytes);
        m_sealedEnd += m_sealer->seal(RecordCipher::ApplicationData, data, n, m_sealed.data() + m_sealedEnd);
        return n;
    }
    ERR_clear_error();
    const int n = SSL_write(m_ssl, data, int(qMin<qsizetype>(size, INT_MAX)));
    if (n > 0)
        return n;
    waitForOpenSsl(n);
    return 0;
}

void TlsStream::waitForOpenSsl(int result)
{
    const int e = SSL_get_error(m_ssl, result);
    if (e == SSL_ERROR_WANT_WRITE)
        m_writeNotifier.setEnabled(true);
    else if (e == SSL_ERROR_WANT_READ)
        m_readNotifier.setEnabled(true);
    else
        failWriting(e == SSL_ERROR_SYSCALL && errno != 0 ? errno : EPIPE);
}

void TlsStream::sendCloseNotify()
{
    // The goodbye goes behind what is still unsent, if the network takes it now; a peer that
    // misses it sees the connection close, which it takes the same way.
    static constexpr char closeNotify[] = {1, 0}; // warning, close_notify
    m_sealedEnd += m_sealer->seal(RecordCipher::Alert, closeNotify, sizeof closeNotify, m_sealed.data() + m_sealedEnd);
    sendSealed();
}

bool TlsStream::kernelSends() const
{
    return BIO_get_ktls_send(SSL_get_wbio(m_ssl)) != 0;
}

void TlsStream::batchWrites()
{
    // Where the kernel encrypts (kTLS), records go straight to the socket. Otherwise they gather
    // in a buffer and go out many at a time: one write of 256 KiB instead of sixteen of 16 KiB
    // costs both sides far less in the network stack.
    BIO *socket = SSL_get_wbio(m_ssl);
    if (BIO_get_ktls_send(socket))
        return;
    BIO *buffer = BIO_new(BIO_f_buffer());
    if (!buffer || BIO_set_write_buffer_size(buffer, WriteBatchBytes) <= 0) {
        BIO_free(buffer);
        return; // unbatched, as before
    }
    BIO_up_ref(socket); // held by the buffer now, and still by the SSL object as its read side
    BIO_push(buffer, socket);
    SSL_set0_wbio(m_ssl, buffer);
}

int TlsStream::sendSealed()
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

bool TlsStream::pushBatch()
{
    if (m_sealer) {
        const int error = sendSealed();
        if (error == EAGAIN)
            m_writeNotifier.setEnabled(true);
        else if (error != 0)
            failWriting(error);
        return error == 0;
    }
    BIO *out = SSL_get_wbio(m_ssl);
    if (BIO_wpending(out) == 0)
        return true;
    ERR_clear_error();
    if (BIO_flush(out) > 0)
        return true;
    if (BIO_should_retry(out)) {
        m_writeNotifier.setEnabled(true);
        return false;
    }
    failWriting(errno != 0 ? errno : EPIPE);
    return false;
}

void TlsStream::failWriting(int error)
{
    for (const Pending &q : m_queue)
        if (q.file >= 0)
            ::close(q.file);
    m_queue.clear();
    m_chunk.clear();
    m_sealedSent = m_sealedEnd = 0;
    m_chunkFileBytes = 0;
    m_kernelLeft = 0;
    m_kernelRefused = false;
    m_queued = 0;
    m_writeNotifier.setEnabled(false);
    if (m_closing)
        finishClosing();
    else if (m_phase != Phase::Ready)
        giveUp(QStringLiteral("the connection broke while it was set up"));
    else if (failed)
        failed(error);
}

void TlsStream::flush()
{
    if (m_phase == Phase::Handshake || m_fd < 0)
        return;
    const bool hadWork = !m_queue.empty() || pendingRecords() > 0;
    while (!m_queue.empty()) {
        Pending &p = m_queue.front();
        const char *data = nullptr;
        qsizetype size = 0;
        if (p.file < 0) {
            data = p.bytes.constData() + p.sent;
            size = p.bytes.size() - p.sent;
        } else if (m_kernelSends) {
            if (!sendThroughKernel(p))
                return;
            continue;
        } else {
            if (m_chunk.isEmpty()) {
                // The next data frame: read the file straight behind room for the header.
                const qint64 want = qMin(p.left, DataChunkBytes);
                m_chunk.resize(frame::HeaderBytes + want);
                const ssize_t got = readAt(p.file, m_chunk.data() + frame::HeaderBytes, want, p.offset);
                if (got <= 0) {
                    m_chunk.clear();
                    cutRange(got == 0);
                    continue;
                }
                m_chunk.resize(frame::HeaderBytes + got);
                std::memcpy(m_chunk.data(), frame::header(frame::Type::Data, quint32(got)).constData(), frame::HeaderBytes);
                p.offset += got;
                p.left -= got;
                m_chunkSent = 0;
            }
            data = m_chunk.constData() + m_chunkSent;
            size = m_chunk.size() - m_chunkSent;
        }
        const qsizetype n = writePlain(data, size);
        if (n == 0)
            return; // the rest when the socket takes more (or writing failed)
        if (p.file < 0) {
            p.sent += n;
            m_queued -= n;
            if (p.sent == p.bytes.size())
                m_queue.pop_front();
            continue;
        }
        m_chunkSent += n;
        if (m_chunkSent < m_chunk.size())
            continue;
        m_queued -= m_chunk.size() - frame::HeaderBytes;
        m_chunk.clear();
        if (p.left == 0) {
            ::close(p.file);
            m_queue.pop_front();
        }
    }
    if (!pushBatch())
        return; // the rest goes when the socket takes it
    m_writeNotifier.setEnabled(false);
    if (!hadWork)
        return;
    if (m_closing)
        finishClosing();
    else if (drained && m_phase == Phase::Ready)
        drained();
}

bool TlsStream::sendThroughKernel(Pending &p)
{
    // A data frame's header goes as a record of its own; its bytes go from the page cache to
    // the socket by sendfile, and the kernel encrypts them: they never pass through here. A file
    // system that gives sendfile nothing has the rest of the file read here instead.
    if (m_chunk.isEmpty() && m_kernelLeft == 0) {
        const qint64 want = qMin<qint64>(p.left, frame::MaxDataBytes);
        struct stat now = {};
        const bool looked = ::fstat(p.file, &now) == 0;
        if (!looked || now.st_size < p.offset + want) {
            cutRange(looked);
            return true;
        }
        m_chunk = frame::header(frame::Type::Data, quint32(want));
        m_chunkSent = 0;
        m_chunkFileBytes = 0;
        m_kernelLeft = want;
    }
    const auto cut = [this](bool fileEnded) {
        // The frame cannot be completed: the connection ends (the peer discards what it
        // received) after the range is reported.
        m_kernelLeft = 0;
        m_chunk.clear();
        cutRange(fileEnded);
        failWriting(EIO);
        return false;
    };
    for (;;) {
        while (m_chunkSent < m_chunk.size()) {
            const qsizetype n = writePlain(m_chunk.constData() + m_chunkSent, m_chunk.size() - m_chunkSent);
            if (n == 0)
                return false;
            m_chunkSent += n;
        }
        m_queued -= std::exchange(m_chunkFileBytes, 0);
        m_chunk.clear();
        m_chunkSent = 0;
        if (m_kernelLeft == 0)
            break;
        if (m_kernelRefused) {
            const qint64 want = qMin(m_kernelLeft, DataChunkBytes);
            m_chunk.resize(want);
            const ssize_t got = readAt(p.file, m_chunk.data(), want, p.offset);
            if (got <= 0)
                return cut(got == 0);
            m_chunk.resize(got);
            m_chunkFileBytes = got;
            p.offset += got;
            p.left -= got;
            m_kernelLeft -= got;
            continue;
        }
        ERR_clear_error();
        errno = 0;
        const ossl_ssize_t n = SSL_sendfile(m_ssl, p.file, off_t(p.offset), size_t(m_kernelLeft), 0);
        if (n < 0 && (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
            m_kernelRefused = true;
            continue;
        }
        if (n < 0) {
            waitForOpenSsl(int(n));
            return false;
        }
        if (n == 0) // the file was cut while its frame went out
            return cut(true);
        p.offset += n;
        p.left -= n;
        m_kernelLeft -= n;
        m_queued -= n;
    }
    if (p.left == 0) {
        ::close(p.file);
        m_queue.pop_front();
        m_kernelRefused = false;
    }
    return true;
}

void TlsStream::cutRange(bool fileEnded)
{
    const int error = errno; // before anything else can change it
    const qint32 number = fileEnded ? platform::err::InputPastEndOfFile : platform::err::PathFileAccessError;
    QString description = platform::standardErrorDescription(number);
    if (!fileEnded)
        description += QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(error));
    Pending p = m_queue.front();
    m_queue.pop_front();
    ::close(p.file);
    m_queued -= p.left;
    if (rangeFailed)
        rangeFailed(number, description);
}

qint64 TlsStream::queued() const
{
    return m_queued + pendingRecords();
}

void TlsStream::closeWhenDrained()
{
    forgetOwner();
    m_watching = false;
    m_closing = true;
    m_deadline.stop();
    if ((m_queue.empty() && pendingRecords() == 0) || m_phase == Phase::Handshake) {
        finishClosing();
        return;
    }
    flush();
    QTimer::singleShot(DrainLimitMsec, this, [this] { deleteLater(); });
}

void TlsStream::finishClosing()
{
    if (m_fd < 0)
        return;
    m_readNotifier.setEnabled(false);
    m_writeNotifier.setEnabled(false);
    if (m_sealer)
        sendCloseNotify();
    else if (m_phase != Phase::Handshake)
        SSL_shutdown(m_ssl); // says goodbye, if the network takes it now
    ::close(std::exchange(m_fd, -1));
    deleteLater();
}

} // namespace secure
