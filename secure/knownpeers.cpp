#include "knownpeers.h"

#include "identity.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QStandardPaths>

namespace secure {

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
    QFile file(m_file);
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read the known peers in %1: %2").arg(m_file, file.errorString());
        return false;
    }
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
    if (!document.isArray()) {
        *error = QStringLiteral("the known peers in %1 are damaged").arg(m_file);
        return false;
    }
    for (const QJsonValue &value : document.array()) {
        const QJsonObject o = value.toObject();
        const auto fingerprint = Identity::parseFingerprint(o.value(QStringLiteral("fingerprint")).toString());
        if (!fingerprint) {
            *error = QStringLiteral("the known peers in %1 are damaged").arg(m_file);
            m_peers.clear();
            return false;
        }
        m_peers.append({o.value(QStringLiteral("name")).toString(), *fingerprint,
                        QDateTime::fromString(o.value(QStringLiteral("paired")).toString(), Qt::ISODate),
                        QDateTime::fromString(o.value(QStringLiteral("last-seen")).toString(), Qt::ISODate)});
    }
    return true;
}

bool KnownPeers::save(QString *error) const
{
    QJsonArray list;
    for (const KnownPeer &p : m_peers) {
        list.append(QJsonObject{{"name", p.name},
                                {"fingerprint", QString::fromLatin1(p.fingerprint.toHex())},
                                {"paired", p.paired.toUTC().toString(Qt::ISODate)},
                                {"last-seen", p.lastSeen.toUTC().toString(Qt::ISODate)}});
    }
    const QString folder = QFileInfo(m_file).absolutePath();
    QSaveFile out(m_file);
    if (!QDir().mkpath(folder) || !out.open(QIODevice::WriteOnly)
        || !out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)
        || out.write(QJsonDocument(list).toJson()) < 0 || !out.commit()) {
        *error = QStringLiteral("cannot keep the known peers in %1: %2").arg(m_file, out.errorString());
        return false;
    }
    return true;
}

bool KnownPeers::pairedWithAnnounced(const QString &name, const QString &announcedHex) const
{
    for (const KnownPeer &p : m_peers) {
        if (announcedHex.size() >= 16 ? QString::fromLatin1(p.fingerprint.toHex()).startsWith(announcedHex.toLower())
                                      : p.name == name)
            return true;
    }
    return false;
}

const KnownPeer *KnownPeers::find(const QByteArray &fingerprint) const
{
    for (const KnownPeer &p : m_peers) {
        if (p.fingerprint == fingerprint)
            return &p;
    }
    return nullptr;
}

void KnownPeers::pin(const QString &name, const QByteArray &fingerprint)
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (KnownPeer &p : m_peers) {
        if (p.fingerprint == fingerprint) {
            p = {name, fingerprint, now, now};
            return;
        }
    }
    m_peers.append({name, fingerprint, now, now});
}

void KnownPeers::seen(const QByteArray &fingerprint)
{
    for (KnownPeer &p : m_peers) {
        if (p.fingerprint == fingerprint)
            p.lastSeen = QDateTime::currentDateTimeUtc();
    }
}

int KnownPeers::forget(const QString &nameOrFingerprint)
{
    const auto fingerprint = Identity::parseFingerprint(nameOrFingerprint);
    return int(m_peers.removeIf([&](const KnownPeer &p) {
        return p.name == nameOrFingerprint || (fingerprint && p.fingerprint == *fingerprint);
    }));
}

} // namespace secure
