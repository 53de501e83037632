#pragma once
// The peers this user paired with, each pinned to its fingerprint, kept in one file
// ($XDG_CONFIG_HOME/velmora/known-peers) that is always replaced whole.

#include "velmora_secure_export.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

namespace secure {

struct KnownPeer
{
    QString name;           ///< what the peer called itself when it paired
    QByteArray fingerprint; ///< SHA-256 of its public key
    QDateTime paired;
    QDateTime lastSeen;
};

class VELMORA_SECURE_EXPORT KnownPeers
{
public:
    /// The file known peers are kept in by default.
    static QString defaultFile();

    explicit KnownPeers(QString file = defaultFile());

    /// Reads the file; a missing file holds no peers. False, with the reason, when it cannot be
    /// read or is damaged.
    bool load(QString *error);
    /// Writes the file whole, in place of the old one at once (readable by this user alone).
    bool save(QString *error) const;

    QList<KnownPeer> peers() const { return m_peers; }
    /// The peer pinned to `fingerprint`, or null.
    const KnownPeer *find(const QByteArray &fingerprint) const;
    /// Whether a peer announced as `name` with the fingerprint start `announcedHex` is pinned:
    /// by that start when it announces one of 16 hex digits or more, else by its name.
    bool pairedWithAnnounced(const QString &name, const QString &announcedHex) const;
    /// Pins `fingerprint` as `name`, paired and seen now (a peer paired again keeps one entry).
    void pin(const QString &name, const QByteArray &fingerprint);
    /// Notes that the pinned peer was seen now.
    void seen(const QByteArray &fingerprint);
    /// Removes the peers of that name or that fingerprint (shown or plain hex); how many went.
    int forget(const QString &nameOrFingerprint);

private:
    QString m_file;
    QList<KnownPeer> m_peers;
};

} // namespace secure
