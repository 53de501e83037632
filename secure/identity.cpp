#include "identity.h"

#include "trustfile.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstring>

#include <sys/stat.h>

namespace secure {

namespace {

constexpr char FileName[] = "identity.pem";

std::shared_ptr<EVP_PKEY> ownedKey(EVP_PKEY *key)
{
    return std::shared_ptr<EVP_PKEY>(key, EVP_PKEY_free);
}

std::shared_ptr<X509> ownedCertificate(X509 *certificate)
{
    return std::shared_ptr<X509>(certificate, X509_free);
}

std::shared_ptr<BIO> memoryBio(const QByteArray &bytes = QByteArray())
{
    BIO *bio = bytes.isNull() ? BIO_new(BIO_s_mem()) : BIO_new_mem_buf(bytes.constData(), int(bytes.size()));
    return std::shared_ptr<BIO>(bio, BIO_free);
}

} // namespace

Identity::Identity(std::shared_ptr<EVP_PKEY> key, std::shared_ptr<X509> certificate)
    : m_key(std::move(key))
    , m_certificate(std::move(certificate))
    , m_fingerprint(fingerprintOf(m_certificate.get()).value_or(QByteArray()))
{
}

QString Identity::defaultFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/velmora");
}

Identity Identity::generate()
{
    EVP_PKEY *key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
    auto certificate = ownedCertificate(X509_new());
    X509 *x = certificate.get();
    X509_set_version(x, 2);
    unsigned char serial[16];
    RAND_bytes(serial, sizeof serial);
    serial[0] &= 0x7f; // a positive number
    BIGNUM *number = BN_bin2bn(serial, sizeof serial, nullptr);
    BN_to_ASN1_INTEGER(number, X509_get_serialNumber(x));
    BN_free(number);
    // The certificate carries the key; nobody checks its dates or names: a peer is known by the
    // key's fingerprint alone.
    X509_gmtime_adj(X509_getm_notBefore(x), -24 * 3600);
    ASN1_TIME_set_string(X509_getm_notAfter(x), "99991231235959Z");
    X509_NAME *name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char *>("velmora"), -1, -1, 0);
    X509_set_issuer_name(x, name);
    X509_set_pubkey(x, key);
    X509_sign(x, key, nullptr);
    return Identity(ownedKey(key), certificate);
}

std::optional<Identity> Identity::fromPem(const QByteArray &pem, QString *why)
{
    const auto bio = memoryBio(pem);
    auto key = ownedKey(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    auto certificate = ownedCertificate(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    if (!key || !certificate || EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519) {
        *why = QStringLiteral("it holds no Ed25519 key and certificate");
        return std::nullopt;
    }
    if (X509_check_private_key(certificate.get(), key.get()) != 1) {
        *why = QStringLiteral("its certificate is not its key's");
        return std::nullopt;
    }
    return Identity(key, certificate);
}

std::optional<Identity> Identity::loadOrCreate(const QString &folder, QString *error)
{
    const QString path = folder + u'/' + QLatin1String(FileName);
    QFile file(path);
    if (!file.exists()) {
        // Readable by this user alone, the folder too when it is made here.
        if (!QDir(folder).exists() && (!QDir().mkpath(folder) || ::chmod(QFile::encodeName(folder).constData(), 0700) != 0)) {
            *error = QStringLiteral("cannot make the folder %1 for this user's identity").arg(folder);
            return std::nullopt;
        }
        Identity made = generate();
        QSaveFile out(path);
        QByteArray pem = made.pem();
        const bool written = out.open(QIODevice::WriteOnly)
            && out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner) && out.write(pem) == pem.size()
            && out.commit();
        OPENSSL_cleanse(pem.data(), size_t(pem.size()));
        if (!written) {
            *error = QStringLiteral("cannot keep this user's identity in %1: %2").arg(path, out.errorString());
            return std::nullopt;
        }
        made.m_path = path;
        return made;
    }
    // As OpenSSH does with keys: a key others may read, or that is a link, is not used.
    struct stat info = {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0) {
        *error = QStringLiteral("cannot read this user's identity in %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return std::nullopt;
    }
    if (const QString refused = TrustFile::refusal(path, info.st_mode, info.st_uid, true); !refused.isEmpty()) {
        *error = QStringLiteral("this user's identity is not used: ") + refused;
        return std::nullopt;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read this user's identity in %1: %2").arg(path, file.errorString());
        return std::nullopt;
    }
    QString why;
    QByteArray pem = file.readAll();
    auto identity = fromPem(pem, &why);
    OPENSSL_cleanse(pem.data(), size_t(pem.size()));
    if (!identity) {
        *error = QStringLiteral("the identity in %1 is damaged (%2); move it away only if you mean to pair "
                                "again with every peer")
                     .arg(path, why);
        return std::nullopt;
    }
    identity->m_path = path;
    return identity;
}

QByteArray Identity::pem() const
{
    // Memory that is wiped when freed: it holds the private key.
    const auto bio = std::shared_ptr<BIO>(BIO_new(BIO_s_secmem()), BIO_free);
    PEM_write_bio_PrivateKey(bio.get(), m_key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    PEM_write_bio_X509(bio.get(), m_certificate.get());
    char *data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return QByteArray(data, size);
}

std::optional<QByteArray> Identity::fingerprintOf(X509 *certificate)
{
    EVP_PKEY *key = certificate ? X509_get0_pubkey(certificate) : nullptr;
    unsigned char raw[32];
    size_t length = sizeof raw;
    if (!key || EVP_PKEY_get_id(key) != EVP_PKEY_ED25519 || EVP_PKEY_get_raw_public_key(key, raw, &length) != 1)
        return std::nullopt;
    QByteArray digest(32, '\0');
    unsigned int digestLength = 0;
    EVP_Digest(raw, length, reinterpret_cast<unsigned char *>(digest.data()), &digestLength, EVP_sha256(), nullptr);
    return digest;
}

QString Identity::shown(const QByteArray &fingerprint)
{
    const QString hex = QString::fromLatin1(fingerprint.toHex()).toUpper();
    QStringList groups;
    for (qsizetype at = 0; at < hex.size(); at += 4)
        groups << hex.mid(at, 4);
    return groups.join(u' ');
}

std::optional<QByteArray> Identity::parseFingerprint(const QString &text)
{
    static const QRegularExpression hexDigits(QStringLiteral("^[0-9A-Fa-f]{64}$"));
    const QString hex = QString(text).remove(u' ');
    if (!hexDigits.match(hex).hasMatch())
        return std::nullopt;
    return QByteArray::fromHex(hex.toLatin1());
}

} // namespace secure
