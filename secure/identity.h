#pragma once
// This user's identity for secure connections: an Ed25519 key pair and a self-signed
// certificate, kept in one file readable by the user alone, and its fingerprint.

#include "velmora_secure_export.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>

typedef struct evp_pkey_st EVP_PKEY;
typedef struct x509_st X509;

namespace secure {

class VELMORA_SECURE_EXPORT Identity
{
public:
    /// The folder identities are kept in by default: $XDG_DATA_HOME/velmora.
    static QString defaultFolder();
    /// The identity kept in `folder` (made 0700 when missing), made and kept there (0600) on
    /// first use. A file that is there but cannot be read or is not an identity is an error that
    /// names it, never the cue for a new identity (every pin of it would break).
    static std::optional<Identity> loadOrCreate(const QString &folder, QString *error);
    /// Reads an identity from PEM text (the key, then the certificate).
    static std::optional<Identity> fromPem(const QByteArray &pem, QString *why);
    /// A new identity, kept nowhere.
    static Identity generate();

    /// The file it is kept in ("" when it is kept nowhere).
    QString path() const { return m_path; }
    EVP_PKEY *key() const { return m_key.get(); }
    X509 *certificate() const { return m_certificate.get(); }
    /// The key and the certificate as PEM text.
    QByteArray pem() const;
    /// SHA-256 of the raw public key.
    QByteArray fingerprint() const { return m_fingerprint; }

    /// SHA-256 of the raw Ed25519 public key in `certificate`; nothing for any other kind of key.
    static std::optional<QByteArray> fingerprintOf(X509 *certificate);
    /// A fingerprint as people read it: upper-case hex in groups of four ("3F2A 9C41 …").
    static QString shown(const QByteArray &fingerprint);
    /// A fingerprint read from hex, with or without blanks between groups.
    static std::optional<QByteArray> parseFingerprint(const QString &text);

private:
    Identity(std::shared_ptr<EVP_PKEY> key, std::shared_ptr<X509> certificate);

    std::shared_ptr<EVP_PKEY> m_key;
    std::shared_ptr<X509> m_certificate;
    QByteArray m_fingerprint;
    QString m_path;
};

} // namespace secure
