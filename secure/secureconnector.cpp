#include "secureconnector.h"

#include "pairing.h"
#include "tlsstream.h"

#include <openssl/ssl.h>

namespace secure {

namespace {

// A ClientHello opens with a TLS handshake record; no tag of the plain protocol starts so.
constexpr char HandshakeRecord = 0x16;

// Certificates are self-signed: a peer is judged by its key's fingerprint once the handshake is
// done (pinned, or paired with a code), never by a chain.
int acceptAnyCertificate(int, X509_STORE_CTX *)
{
    return 1;
}

} // namespace

SecureConnector::SecureConnector(Identity identity, KnownPeers peers, QString ownName, QObject *parent)
    : QObject(parent)
    , m_identity(std::move(identity))
    , m_peers(std::move(peers))
    , m_ownName(std::move(ownName))
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
    // A peer gone without saying goodbye is a closed connection, as on a plain one.
    SSL_CTX_set_options(m_context, SSL_OP_ENABLE_KTLS | SSL_OP_NO_TICKET | SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_num_tickets(m_context, 0);
    // The handshake reads no record beyond its own, so that the stream can take over the
    // records that follow with their keys from the key log. Where OpenSSL keeps reading, it
    // reads ahead into a buffer small enough to stay in the processor's cache until the records
    // are decrypted and taken (measured: 32 KiB moves more than 256 KiB or 1 MiB).
    SSL_CTX_set_default_read_buffer_len(m_context, 32 * 1024);
    SSL_CTX_set_keylog_callback(m_context, TlsStream::keyLogged);
    m_pause.setSingleShot(true);
    connect(&m_pause, &QTimer::timeout, this, &SecureConnector::newCode);
}

SecureConnector::~SecureConnector()
{
    SSL_CTX_free(m_context);
}

void SecureConnector::setPairing(bool on)
{
    m_pairing = on;
    m_wrongCodes = 0;
    m_pause.stop();
    if (on)
        newCode();
}

void SecureConnector::newCode()
{
    m_listenCode = PairingRun::newCode();
    m_wrongCodes = 0;
    emit pairingCodeChanged(m_listenCode);
}

bool SecureConnector::kernelEncrypts(const platform::Transport *transport)
{
    const auto *stream = dynamic_cast<const TlsStream *>(transport);
    return stream && stream->kernelSends();
}

void SecureConnector::codeUsed(bool right)
{
    if (right) {
        m_pauses = 0;
        newCode(); // a code pairs once
        return;
    }
    if (++m_wrongCodes < WrongCodesAllowed)
        return;
    // Spent: a guesser gets a handful of codes an hour, never an endless supply.
    m_listenCode.clear();
    emit pairingCodeChanged(QByteArray());
    m_pause.start(FirstPauseMsec << qMin(m_pauses++, 10));
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

bool SecureConnector::resumeWith(const QString &peerName, const QByteArray &fingerprint, QString *refusal) const
{
    if (!m_announcedFingerprint.isEmpty() && !QString::fromLatin1(fingerprint.toHex()).startsWith(m_announcedFingerprint)) {
        *refusal = QStringLiteral("the peer is not the one announced as %1: its key is not the one announced")
                       .arg(m_expectedName);
        return false;
    }
    if (isPinned(fingerprint))
        return true;
    for (const KnownPeer &p : m_peers.peers()) {
        const bool sameName = (!peerName.isEmpty() && p.name == peerName) || (!m_expectedName.isEmpty() && p.name == m_expectedName);
        if (sameName && p.fingerprint != fingerprint) {
            *refusal = QStringLiteral("the peer's identity changed; if it was reinstalled, forget it and pair again "
                                      "(it was %1, it is %2)")
                           .arg(Identity::shown(p.fingerprint).left(19), Identity::shown(fingerprint).left(19));
            return false;
        }
    }
    if (m_code.isEmpty())
        *refusal = QStringLiteral("the peer %1 is not paired with this side: give the pairing code it shows")
                       .arg(peerName);
    return false;
}

void SecureConnector::pin(const QString &name, const QByteArray &fingerprint)
{
    m_peers.pin(name, fingerprint);
    QString why;
    if (!m_peers.save(&why))
        emit problem(why);
}

void SecureConnector::seen(const QByteArray &fingerprint)
{
    m_peers.seen(fingerprint);
    QString why;
    if (!m_peers.save(&why))
        emit problem(why);
}

} // namespace secure
