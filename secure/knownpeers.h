#pragma once
// The peers this user paired with, each pinned to its fingerprint, kept in one file
// ($XDG_CONFIG_HOME/velmora/known-peers). Every decision reads the file again, and every change
// reads, changes and writes it under a lock (see TrustFile), so that a peer forgotten by one
// process is forgotten by every other at its next connection, and two processes pairing at once
// lose neither pin. A name is bound to one key: names compare without regard to case, as the
// names peers announce do.

#include "velmora_secure_export.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include <functional>

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

    QString file() const { return m_file; }

    /// Reads the file again; a missing file holds no peers. False, with the reason, when it
    /// cannot be read, is refused (a link, or others may write it) or is damaged: then no peer
    /// is known here.
    bool load(QString *error);

    QList<KnownPeer> peers() const { return m_peers; }
    /// The peer pinned to `fingerprint`, or null.
    const KnownPeer *find(const QByteArray &fingerprint) const;
    /// The peer pinned under `name`, or null.
    const KnownPeer *named(const QString &name) const;

    /// What an announcement of `name` with the fingerprint start `announcedHex` (16 hex digits
    /// or more count; "" for none) is to this side.
    enum class Standing {
        Unknown,  ///< neither its name nor its key is pinned
        Paired,   ///< pinned: by its name (announcing that pin's key, or none), or by its key
        Impostor, ///< its name is pinned to another key than the one it announces
    };
    Standing standingOf(const QString &name, const QString &announcedHex) const;

    // Each change reads the file again under its lock, makes the change, writes the file and
    // keeps what it wrote here. False (or -1), with the reason, when the file could not be read
    // or kept; it is then unchanged.

    /// Pins `fingerprint` as `name`, paired and seen now (a peer paired again keeps one entry).
    bool pin(const QString &name, const QByteArray &fingerprint, QString *error);
    /// Notes that the pinned peer was seen now. A peer the file has as seen less than
    /// SeenEverySecs ago is left as it is, the file untouched: writing it waits for the disk,
    /// which may be busy with a large receive, and would hold up each connection of a run of
    /// transfers (a resumed one above all) for as long.
    bool seen(const QByteArray &fingerprint, QString *error);
    static constexpr qint64 SeenEverySecs = 60;
    /// Removes the peers of that name or that fingerprint (shown or plain hex); how many went.
    int forget(const QString &nameOrFingerprint, QString *error);

private:
    bool change(const std::function<bool(QList<KnownPeer> &)> &edit, QString *error);

    QString m_file;
    QList<KnownPeer> m_peers;
};

} // namespace secure
