#include "secureconnector.h"

#include "pairing.h"
#include "recordlayer.h"
#include "tlsstream.h"
#include "trustrules.h"

#include <QFileInfo>
#include <QFileSystemWatcher>

#include <openssl/ssl.h>

namespace secure {

namespace {

static_assert(SecureConnector::WrongCodesAllowed == GuessBudget::GuessesPerCode);
static_assert(SecureConnector::FirstPauseSec == GuessBudget::FirstPauseSec);

// A ClientHello opens with a TLS handshake record; no tag of the plain protocol starts so.
constexpr char HandshakeRecord = 0x16;

// Certificates are self-signed: a peer is judged by its key's fingerprint once the handshake is
// done (pinned, or paired with a code), never by a chain.
int acceptAnyCertificate(int, X509_STORE_CTX *)
{
    return 1;
}

} // namespace

QString SecureConnector::guessFile(const QString &identityFolder)
{
    return identityFolder + QStringLiteral("/pairing-guesses");
}

namespace {

// Where the guesses at this identity's codes are counted: beside its file.
QString budgetFile(const Identity &identity)
{
    return identity.path().isEmpty() ? QString() : SecureConnector::guessFile(QFileInfo(identity.path()).absolutePath());
}

} // namespace

quint32 SecureConnector::capabilities() const
{
    if (!m_fileChecks)
        return 0;
    return frame::FileChecks | (m_batches ? frame::Batches : 0);
}

SecureConnector::SecureConnector(Identity identity, KnownPeers peers, QString ownName, QObject *parent)
    : QObject(parent)
    , m_identity(std::move(identity))
    , m_trust(std::make_unique<TrustRules>(std::move(peers), GuessBudget(budgetFile(m_identity)), std::move(ownName)))
    , m_openSslRecords(RecordLayer::defaultRecords() == RecordLayer::Records::OpenSsl)
    , m_fileChecks(qgetenv("VELMORA_FILE_CHECKS") != "off")
    , m_batches(qgetenv("VELMORA_BATCHES") != "off")
{
    m_context = SSL_CTX_new(TLS_method());
    SSL_CTX_set_min_proto_version(m_context, TLS1_3_VERSION);
    SSL_CTX_set_max_proto_version(m_context, TLS1_3_VERSION);
    SSL_CTX_use_certificate(m_context, m_identity.certificate());
    SSL_CTX_use_PrivateKey(m_context, m_identity.key());
    SSL_CTX_set_verify(m_context, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, acceptAnyCertificate);
    // AES-128-GCM first: the fastest where the processor has AES instructions.
    SSL_CTX_set_ciphersuites(m_context, "TLS_AES_128_GCM_SHA256:TLS_CHACHA20_POLY1305_SHA256:TLS_AES_256_GCM_SHA384");
    SSL_CTX_set_mode(m_context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // The kernel encrypts where it can (kTLS), so that file bytes can skip this process.
    // A peer gone without saying goodbye is a closed connection, as on a plain one. No session
    // is resumed, so none is kept, whatever tickets a peer sends.
    SSL_CTX_set_options(m_context, SSL_OP_ENABLE_KTLS | SSL_OP_NO_TICKET | SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_num_tickets(m_context, 0);
    SSL_CTX_set_session_cache_mode(m_context, SSL_SESS_CACHE_OFF);
    // The handshake reads no record beyond its own, so that the stream can take over the
    // records that follow with their keys from the key log. Where OpenSSL keeps reading, it
    // reads ahead into a buffer small enough to stay in the processor's cache until the records
    // are decrypted and taken (measured: 32 KiB moves more than 256 KiB or 1 MiB).
    SSL_CTX_set_default_read_buffer_len(m_context, 32 * 1024);
    SSL_CTX_set_keylog_callback(m_context, TlsStream::keyLogged);

    m_trust->listenCode = [this] { return pairingCode(); };
    m_trust->codeUsed = [this] { makeCode(); }; // a code pairs once
    m_trust->guessWasWrong = [this](const PeerClaim &peer, int left) {
        emit wrongCode(peer.address, peer.calls, peer.fingerprint, left);
        if (left == 0)
            dropCode();
    };
    m_trust->problem = [this](const QString &why) { emit problem(why); };
    m_pauseEnd.setSingleShot(true);
    connect(&m_pauseEnd, &QTimer::timeout, this, &SecureConnector::recheckBudget);
    // Another process of this identity may spend the codes or ask for a new one.
    if (const QString file = budgetFile(m_identity); !file.isEmpty()) {
        m_budgetWatch = new QFileSystemWatcher({QFileInfo(file).absolutePath()}, this);
        connect(m_budgetWatch, &QFileSystemWatcher::directoryChanged, this, &SecureConnector::recheckBudget);
    }
}

SecureConnector::~SecureConnector()
{
    SSL_CTX_free(m_context);
}

PeerTrust &SecureConnector::trust()
{
    return *m_trust;
}

void SecureConnector::setPairingCode(const QByteArray &code)
{
    m_trust->setCode(code);
}

void SecureConnector::setExpectedName(const QString &name)
{
    m_trust->setExpectedName(name);
}

void SecureConnector::setAnnouncedFingerprint(const QString &hexStart)
{
    m_trust->setAnnouncedFingerprint(hexStart);
}

KnownPeers SecureConnector::knownPeers() const
{
    return m_trust->peers();
}

QString SecureConnector::ownName() const
{
    return m_trust->ownName();
}

void SecureConnector::setOwnName(const QString &name)
{
    m_trust->setOwnName(name);
}

QDateTime SecureConnector::pairingPausedUntil() const
{
    // As the count of guesses said when the code was last made: hosts ask on every tick.
    return m_pausedUntil.isValid() && QDateTime::currentDateTimeUtc() < m_pausedUntil ? m_pausedUntil : QDateTime();
}

void SecureConnector::setPairing(bool on)
{
    m_pairing = on;
    if (!on) {
        m_pauseEnd.stop();
        return;
    }
    if (m_listenCode.isEmpty())
        makeCode();
}

void SecureConnector::newCode()
{
    m_trust->budget().restart();
    m_pauseEnd.stop();
    m_listenCode.clear();
    makeCode();
}

void SecureConnector::makeCode()
{
    m_listenCode.clear();
    if (!m_pairing)
        return;
    m_pausedUntil = m_trust->budget().pausedUntil();
    if (m_pausedUntil.isValid()) {
        // Spent: a guesser gets a handful of codes an hour, never an endless supply.
        m_pauseEnd.start(
            int(qBound<qint64>(0, QDateTime::currentDateTimeUtc().msecsTo(m_pausedUntil) + 1, qint64(3600) * 1000)));
        emit pairingCodeChanged(QByteArray());
        return;
    }
    m_listenCode = PairingRun::newCode();
    emit pairingCodeChanged(m_listenCode);
}

void SecureConnector::dropCode()
{
    if (m_listenCode.isEmpty())
        return;
    makeCode(); // none while the pause runs: it says so and waits
}

void SecureConnector::recheckBudget()
{
    // Another process of this identity may have spent the code, or the user asked it for a new
    // one; or the pause ended.
    if (!m_pairing)
        return;
    const bool paused = m_trust->budget().pausedUntil().isValid(); // read again: it may have changed
    if (paused != m_listenCode.isEmpty() || (paused && !m_pauseEnd.isActive()))
        makeCode();
}

bool SecureConnector::kernelEncrypts(const platform::Transport *transport)
{
    const auto *stream = dynamic_cast<const TlsStream *>(transport);
    return stream && stream->kernelSends();
}

std::optional<SecureConnector::Peer> SecureConnector::peerOf(const platform::Transport *transport)
{
    const auto *stream = dynamic_cast<const TlsStream *>(transport);
    const PairingSession *session = stream && stream->isReady() ? stream->session() : nullptr;
    if (!session)
        return std::nullopt;
    return Peer{session->peerName(), session->peerCalls(), stream->peerFingerprint(), session->pairedNow()};
}

platform::Transport *SecureConnector::connected(int descriptor)
{
    return m_connectSecurely ? new TlsStream(descriptor, TlsStream::Role::Connecting, *this) : nullptr;
}

platform::Transport *SecureConnector::accepted(int descriptor, const QByteArray &first, QString *refusal)
{
    if (m_accepting == Accepting::Plain)
        return nullptr;
    if (!first.isEmpty() && first[0] == HandshakeRecord)
        return new TlsStream(descriptor, TlsStream::Role::Accepting, *this);
    if (m_accepting == Accepting::SecureOnly) {
        *refusal = QStringLiteral("a plaintext peer was refused: this side takes secure peers only");
        return nullptr;
    }
    emit plaintextPeer();
    return nullptr;
}

} // namespace secure
