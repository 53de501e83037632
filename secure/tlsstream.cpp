#include "tlsstream.h"

#include "filedigest.h"
#include "identity.h"
#include "recordcipher.h"
#include "secureconnector.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <QHostAddress>

#include <cstring>

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
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
    m_flushSoon.setSingleShot(true);
    m_flushSoon.setInterval(0);
    connect(&m_flushSoon, &QTimer::timeout, this, &TlsStream::flush);
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
    // A pairing run that never confirmed was a guess (the connector may be gone when the
    // program ends).
    if (m_session && m_alive)
        m_session->abandon();
    for (const Pending &p : m_queue)
        if (p.file >= 0)
            ::close(p.file);
    m_records.reset();
    SSL_set_app_data(m_ssl, nullptr);
    SSL_free(m_ssl);
    OPENSSL_cleanse(m_clientSecret.data(), size_t(m_clientSecret.size()));
    OPENSSL_cleanse(m_serverSecret.data(), size_t(m_serverSecret.size()));
    m_readNotifier.setEnabled(false);
    m_writeNotifier.setEnabled(false);
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
    if (m_phase == Phase::Setup && (m_peerClosed || m_error != 0))
        giveUp(QStringLiteral("the peer closed the connection before it was set up"));
    tellOwner();
}

void TlsStream::handshake()
{
    ERR_clear_error();
    const int result = SSL_do_handshake(m_ssl);
    if (result == 1) {
        startSession();
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

void TlsStream::startSession()
{
    const auto fingerprint = Identity::fingerprintOf(SSL_get0_peer_certificate(m_ssl));
    if (!fingerprint) {
        m_phase = Phase::Setup;
        giveUp(QStringLiteral("the peer showed no identity of ours"));
        return;
    }
    m_peerFingerprint = *fingerprint;
    QByteArray exported(32, '\0');
    const bool bound = SSL_export_keying_material(m_ssl, reinterpret_cast<unsigned char *>(exported.data()),
                                                  size_t(exported.size()), ExporterLabel, sizeof ExporterLabel - 1,
                                                  nullptr, 0, 0)
        == 1;
    QString why;
    if (bound) {
        m_records = RecordLayer::afterHandshake(
            m_ssl, m_fd, m_role == Role::Connecting, m_clientSecret, m_serverSecret,
            m_connector.openSslRecords() ? RecordLayer::Records::OpenSsl : RecordLayer::Records::Own,
            {[this] { m_readNotifier.setEnabled(true); }, [this] { m_writeNotifier.setEnabled(true); }}, &why);
    }
    m_phase = Phase::Setup;
    if (!bound || !m_records) {
        giveUp(bound ? QStringLiteral("the secure channel could not be taken over: %1").arg(why)
                     : QStringLiteral("the secure channel gave no value to pair on"));
        return;
    }
    m_kernelSends = kernelSends();
    m_in = QByteArray(MaxBuffered + ReadBlock, Qt::Uninitialized); // allocated once; pages are taken as used
    m_session = std::make_unique<PairingSession>(
        m_role == Role::Connecting ? PairingSession::Role::Connecting : PairingSession::Role::Accepting,
        m_connector.trust(),
        PairingSession::Channel{m_connector.identity().fingerprint(), m_peerFingerprint, exported, peerAddress()});
    m_session->sendPairing = [this](const QByteArray &payload) { queueFrame(frame::Type::Pairing, payload); };
    queueFrame(frame::Type::Hello,
               frame::helloPayload(m_connector.ownName(), m_connector.capabilities()));
}

QString TlsStream::peerAddress() const
{
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    if (m_fd < 0 || ::getpeername(m_fd, reinterpret_cast<sockaddr *>(&storage), &length) != 0)
        return QString();
    QHostAddress address(reinterpret_cast<sockaddr *>(&storage));
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    return mapped ? QHostAddress(v4).toString() : address.toString();
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
        int ended = -1;
        const qsizetype n = m_records->read(m_in.data() + m_inEnd, ReadBlock, ended);
        if (ended == 0)
            m_peerClosed = true;
        else if (ended > 0)
            m_error = ended;
        if (n == 0)
            break;
        m_inEnd += n;
    }
    m_readNotifier.setEnabled(!m_peerClosed && m_error == 0 && m_phase != Phase::Failed && buffered() < MaxBuffered
                              && (m_in.size() - m_inEnd >= ReadBlock || buffered() <= MaxMoved));
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
            if (m_phase == Phase::Ready) {
                m_error = EPROTO; // the owner sees a broken connection
            } else {
                queueFrame(frame::Type::Pairing,
                           PairingSession::message(PairingSession::RefusedStep, {QByteArray(bad->why)}));
                giveUp(QStringLiteral("the peer sent %1").arg(QLatin1String(bad->why)));
            }
            return;
        }
        const frame::Header h = std::get<frame::Header>(read);
        const bool setupFrame = h.type == frame::Type::Hello || h.type == frame::Type::Pairing;
        if (m_phase != Phase::Ready) {
            // Only set-up frames are taken before the connection is ready; any other is refused
            // as soon as its header shows what it is.
            if (setupFrame && buffered() < frame::HeaderBytes + qsizetype(h.length))
                return; // the rest of the frame is still on its way
            const QByteArray payload = setupFrame ? QByteArray(front() + frame::HeaderBytes, qsizetype(h.length))
                                                  : QByteArray();
            consume(setupFrame ? frame::HeaderBytes + h.length : buffered());
            onSetupFrame(h.type, payload);
            continue;
        }
        if (setupFrame) {
            m_error = EPROTO; // set-up is over: a peer that goes on with it breaks the connection
            return;
        }
        if (h.type == frame::Type::Data) {
            consume(frame::HeaderBytes);
            m_dataLeft = h.length;
            continue;
        }
        const quint32 needs = frame::capabilitiesOf(h.type);
        if (const auto fixed = frame::fixedLength(h.type);
            (m_agreed & needs) != needs || (fixed && h.length != *fixed)) {
            m_error = EPROTO; // a note the hellos did not agree on, or of the wrong length
            return;
        }
        if (buffered() < frame::HeaderBytes + qsizetype(h.length))
            return; // the rest of the frame is still on its way
        if ((h.type == frame::Type::Control && h.length > 0) || frame::noteOf(h.type))
            return; // the owner's
        consume(frame::HeaderBytes + h.length);
        if (h.type == frame::Type::Stop && peerStopped)
            peerStopped();
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
    m_session->take(PairingSession::inputOf(type, payload), payload);
    flush(); // our answer, or our refusal
    switch (m_session->state()) {
    case PairingSession::State::Ready:
        becomeReady();
        return;
    case PairingSession::State::Failed:
        giveUp(m_session->failure());
        return;
    case PairingSession::State::AwaitingHello:
    case PairingSession::State::AwaitingFirstStep:
    case PairingSession::State::AwaitingConfirm:
    case PairingSession::State::AwaitingResumed:
    case PairingSession::State::AwaitingReply:
    case PairingSession::State::AwaitingPaired:
        return;
    }
}

void TlsStream::becomeReady()
{
    m_phase = Phase::Ready;
    m_agreed = frame::agreed(m_connector.capabilities(), m_session->peerCapabilities());
    m_deadline.stop();
    emit m_connector.secured(m_session->peerName(), m_peerFingerprint, m_session->pairedNow(), m_session->peerCalls());
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
    if (m_session)
        m_session->abandon();
    const Phase before = std::exchange(m_phase, Phase::Failed);
    m_deadline.stop();
    m_readNotifier.setEnabled(false);
    if (before != Phase::Handshake)
        flush(); // a refusal still goes out, as far as the socket takes it now
    emit m_connector.setupFailed(m_role == Role::Accepting, why, peerAddress());
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
    return nextUnit().has_value();
}

std::optional<frame::Type> TlsStream::nextUnit() const
{
    if (m_phase != Phase::Ready || m_dataLeft > 0 || buffered() < frame::HeaderBytes)
        return std::nullopt;
    const auto read = frame::readHeader(QByteArrayView(front(), buffered()));
    const auto *h = std::get_if<frame::Header>(&read);
    const quint32 needs = h ? frame::capabilitiesOf(h->type) : 0;
    if (!h || (h->type != frame::Type::Control && !(frame::noteOf(h->type) && (m_agreed & needs) == needs))
        || buffered() < frame::HeaderBytes + qsizetype(h->length))
        return std::nullopt;
    return h->type;
}

platform::Transport::Note TlsStream::nextNote() const
{
    const auto unit = nextUnit();
    return unit ? frame::noteOf(*unit).value_or(Note::None) : Note::None;
}

void TlsStream::sendNote(Note note, const QByteArray &payload)
{
    const frame::Type type = frame::frameOf(note);
    if (note == Note::None || (m_agreed & frame::capabilitiesOf(type)) != frame::capabilitiesOf(type))
        return;
    queueFrame(type, payload);
    flushSoon();
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
    fillIfStopped();
    parseFront();
    return n;
}

qint64 TlsStream::receiveToFile(int file, qint64 offset, qint64 maxBytes, int &systemError)
{
    if (m_dataLeft == 0)
        return 0;
    const qint64 n = qMin<qint64>(qMin(maxBytes, m_dataLeft), buffered());
    if (receivedDigest)
        receivedDigest->add(front(), n);
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
    fillIfStopped();
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
    flushSoon();
}

void TlsStream::sendStop()
{
    queueFrame(frame::Type::Stop, QByteArray());
    flushSoon();
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

qint64 TlsStream::pendingRecords() const
{
    return m_records ? m_records->pending() : 0;
}

qsizetype TlsStream::writePlain(const char *data, qsizetype size)
{
    int failed = 0;
    const qsizetype n = m_records->write(data, size, failed);
    if (n == 0 && failed != 0)
        failWriting(failed);
    return n;
}

bool TlsStream::pushRecords()
{
    int failed = 0;
    if (m_records->push(failed))
        return true;
    if (failed != 0)
        failWriting(failed);
    return false;
}

bool TlsStream::kernelSends() const
{
    return BIO_get_ktls_send(SSL_get_wbio(m_ssl)) != 0;
}

void TlsStream::failWriting(int error)
{
    for (const Pending &q : m_queue)
        if (q.file >= 0)
            ::close(q.file);
    m_queue.clear();
    m_chunk.clear();
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
    if (!m_records || m_fd < 0)
        return;
    const bool hadWork = !m_queue.empty() || pendingRecords() > 0;
    while (!m_queue.empty()) {
        Pending &p = m_queue.front();
        if (p.file >= 0) {
            // A digest needs the bytes here: the kernel's sendfile would never show them.
            if (!(m_kernelSends && !sentDigest ? sendThroughKernel(p) : sendFileFrame(p)))
                return; // the rest when the socket takes more (or writing failed)
            continue;
        }
        const qsizetype n = writePlain(p.bytes.constData() + p.sent, p.bytes.size() - p.sent);
        if (n == 0)
            return;
        p.sent += n;
        m_queued -= n;
        if (p.sent == p.bytes.size())
            m_queue.pop_front();
    }
    if (!pushRecords())
        return; // the rest goes when the socket takes it
    m_writeNotifier.setEnabled(false);
    if (!hadWork)
        return;
    if (m_closing)
        finishClosing();
    else if (drained && m_phase == Phase::Ready)
        drained();
}

bool TlsStream::sendFileFrame(Pending &p)
{
    if (m_chunk.isEmpty()) {
        // The next data frame: read the file straight behind room for the header.
        const qint64 want = qMin(p.left, DataChunkBytes);
        m_chunk.resize(frame::HeaderBytes + want);
        const ssize_t got = readAt(p.file, m_chunk.data() + frame::HeaderBytes, want, p.offset);
        if (got <= 0) {
            m_chunk.clear();
            cutRange(got == 0);
            return true;
        }
        m_chunk.resize(frame::HeaderBytes + got);
        if (sentDigest)
            sentDigest->add(m_chunk.constData() + frame::HeaderBytes, got);
        std::memcpy(m_chunk.data(), frame::header(frame::Type::Data, quint32(got)).constData(), frame::HeaderBytes);
        p.offset += got;
        p.left -= got;
        m_chunkSent = 0;
    }
    while (m_chunkSent < m_chunk.size()) {
        const qsizetype n = writePlain(m_chunk.constData() + m_chunkSent, m_chunk.size() - m_chunkSent);
        if (n == 0)
            return false;
        m_chunkSent += n;
    }
    m_queued -= m_chunk.size() - frame::HeaderBytes;
    m_chunk.clear();
    if (p.left == 0) {
        ::close(p.file);
        m_queue.pop_front();
    }
    return true;
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
            const int e = SSL_get_error(m_ssl, int(n));
            if (e == SSL_ERROR_WANT_WRITE || e == SSL_ERROR_WANT_READ)
                (e == SSL_ERROR_WANT_WRITE ? m_writeNotifier : m_readNotifier).setEnabled(true);
            else
                failWriting(e == SSL_ERROR_SYSCALL && errno != 0 ? errno : EPIPE);
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
    if (m_records)
        m_records->close();
    ::close(std::exchange(m_fd, -1));
    deleteLater();
}

} // namespace secure
