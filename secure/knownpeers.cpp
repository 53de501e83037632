#include "knownpeers.h"

#include "identity.h"
#include "trustfile.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>

#include <algorithm>
#include <optional>

namespace secure {

namespace {

std::optional<QList<KnownPeer>> parse(const QByteArray &bytes)
{
    QList<KnownPeer> peers;
    if (bytes.isEmpty())
        return peers;
    const QJsonDocument document = QJsonDocument::fromJson(bytes);
    if (!document.isArray())
        return std::nullopt;
    for (const QJsonValue &value : document.array()) {
        const QJsonObject o = value.toObject();
        const auto fingerprint = Identity::parseFingerprint(o.value(QStringLiteral("fingerprint")).toString());
        if (!fingerprint)
            return std::nullopt;
        peers.append({o.value(QStringLiteral("name")).toString(), *fingerprint,
                      QDateTime::fromString(o.value(QStringLiteral("paired")).toString(), Qt::ISODate),
                      QDateTime::fromString(o.value(QStringLiteral("last-seen")).toString(), Qt::ISODate)});
    }
    return peers;
}

QByteArray written(const QList<KnownPeer> &peers)
{
    QJsonArray list;
    for (const KnownPeer &p : peers) {
        list.append(QJsonObject{{"name", p.name},
                                {"fingerprint", QString::fromLatin1(p.fingerprint.toHex())},
                                {"paired", p.paired.toUTC().toString(Qt::ISODate)},
                                {"last-seen", p.lastSeen.toUTC().toString(Qt::ISODate)}});
    }
    return QJsonDocument(list).toJson();
}

} // namespace

QString KnownPeers::defaultFile()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/velmora/known-peers");
}

KnownPeers::KnownPeers(QString file)
    : m_file(std::move(file))
{
}

bool KnownPeers::load(QString *error)
{
    m_peers.clear();
    const auto bytes = TrustFile(m_file).read(error);
    if (!bytes)
        return false;
    const auto peers = parse(*bytes);
    if (!peers) {
        *error = QStringLiteral("the known peers in %1 are damaged").arg(m_file);
        return false;
    }
    m_peers = *peers;
    return true;
}

bool KnownPeers::change(const std::function<bool(QList<KnownPeer> &)> &edit, QString *error)
{
    std::optional<QList<KnownPeer>> result;
    const bool done = TrustFile(m_file).update([&](QByteArray &bytes) {
        result = parse(bytes);
        if (!result)
            return false;
        const bool changed = edit(*result);
        if (changed)
            bytes = written(*result);
        return changed;
    }, error);
    if (done && !result)
        *error = QStringLiteral("the known peers in %1 are damaged").arg(m_file);
    if (!done || !result)
        return false;
    m_peers = *result;
    return true;
}

const KnownPeer *KnownPeers::find(const QByteArray &fingerprint) const
{
    for (const KnownPeer &p : m_peers) {
        if (p.fingerprint == fingerprint)
            return &p;
    }
    return nullptr;
}

const KnownPeer *KnownPeers::named(const QString &name) const
{
    for (const KnownPeer &p : m_peers) {
        if (!name.isEmpty() && p.name.compare(name, Qt::CaseInsensitive) == 0)
            return &p;
    }
    return nullptr;
}

KnownPeers::Standing KnownPeers::standingOf(const QString &name, const QString &announcedHex) const
{
    const bool announces = announcedHex.size() >= 16;
    const auto matches = [&](const KnownPeer &p) {
        return QString::fromLatin1(p.fingerprint.toHex()).startsWith(announcedHex, Qt::CaseInsensitive);
    };
    if (const KnownPeer *byName = named(name))
        return !announces || matches(*byName) ? Standing::Paired : Standing::Impostor;
    if (announces && std::any_of(m_peers.cbegin(), m_peers.cend(), matches))
        return Standing::Paired;
    return Standing::Unknown;
}

bool KnownPeers::pin(const QString &name, const QByteArray &fingerprint, QString *error)
{
    return change([&](QList<KnownPeer> &peers) {
        const QDateTime now = QDateTime::currentDateTimeUtc();
        for (KnownPeer &p : peers) {
            if (p.fingerprint == fingerprint) {
                p = {name, fingerprint, now, now};
                return true;
            }
        }
        peers.append({name, fingerprint, now, now});
        return true;
    }, error);
}

bool KnownPeers::seen(const QByteArray &fingerprint, QString *error)
{
    if (!load(error))
        return false;
    if (const KnownPeer *known = find(fingerprint); known && known->lastSeen.isValid()) {
        const qint64 ago = known->lastSeen.secsTo(QDateTime::currentDateTimeUtc());
        if (ago >= 0 && ago < SeenEverySecs) // a time ahead of the clock is written anew
            return true;
    }
    return change([&](QList<KnownPeer> &peers) {
        bool found = false;
        for (KnownPeer &p : peers) {
            if (p.fingerprint == fingerprint) {
                p.lastSeen = QDateTime::currentDateTimeUtc();
                found = true;
            }
        }
        return found; // a peer forgotten meanwhile is not written back
    }, error);
}

int KnownPeers::forget(const QString &nameOrFingerprint, QString *error)
{
    const auto fingerprint = Identity::parseFingerprint(nameOrFingerprint);
    int gone = 0;
    const bool done = change([&](QList<KnownPeer> &peers) {
        gone = int(peers.removeIf([&](const KnownPeer &p) {
            return p.name.compare(nameOrFingerprint, Qt::CaseInsensitive) == 0 || (fingerprint && p.fingerprint == *fingerprint);
        }));
        return gone > 0;
    }, error);
    return done ? gone : -1;
}

} // namespace secure
