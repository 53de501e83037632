#include "keptparts.h"

#include "privatefolder.h"
#include "sentcheckpoints.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QTemporaryFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sender {

namespace {

constexpr qint64 MaxEntryBytes = 16 * 1024;

QString keyOf(const QByteArray &peer, const QString &announced, qint64 size, const QString &folder,
              const QByteArray &target)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    for (const QByteArray &part : {peer, announced.toUtf8(), QByteArray::number(size), QFile::encodeName(folder), target}) {
        hash.addData(QByteArray::number(part.size()) + ':');
        hash.addData(part);
    }
    return QString::fromLatin1(hash.result().left(16).toHex()) + QStringLiteral(".json");
}

std::optional<KeptPart> readEntry(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > MaxEntryBytes)
        return std::nullopt;
    const QJsonObject o = QJsonDocument::fromJson(file.readAll()).object();
    KeptPart p;
    p.peer = QByteArray::fromHex(o.value(QStringLiteral("peer")).toString().toLatin1());
    p.announced = o.value(QStringLiteral("announced")).toString();
    p.size = qint64(o.value(QStringLiteral("size")).toDouble(-1));
    p.folder = o.value(QStringLiteral("folder")).toString();
    p.target = QByteArray::fromBase64(o.value(QStringLiteral("target")).toString().toLatin1());
    p.hidden = QByteArray::fromBase64(o.value(QStringLiteral("hidden")).toString().toLatin1());
    p.device = quint64(o.value(QStringLiteral("device")).toString().toULongLong());
    p.inode = quint64(o.value(QStringLiteral("inode")).toString().toULongLong());
    p.keptAtMsec = qint64(o.value(QStringLiteral("keptAt")).toDouble());
    p.digest = QByteArray::fromBase64(o.value(QStringLiteral("digest")).toString().toLatin1());
    p.modifiedNsec = o.value(QStringLiteral("modified")).toString().toLongLong();
    p.changedNsec = o.value(QStringLiteral("changed")).toString().toLongLong();
    // A hidden file's name is one name in its folder, and one of ours.
    if (p.peer.isEmpty() || p.size < 0 || p.folder.isEmpty() || p.target.isEmpty() || !p.hidden.startsWith('.')
        || p.hidden.contains('/') || !p.hidden.contains(".velmora-"))
        return std::nullopt;
    return p;
}

// Removes the kept file `part` names, when it is still that file and no receive holds it.
bool removeKeptFile(const KeptPart &part)
{
    const int folder = ::open(QFile::encodeName(part.folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return errno == ENOENT;
    bool gone = false;
    const int file = ::openat(folder, part.hidden.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    struct stat info = {};
    if (file < 0) {
        gone = errno == ENOENT;
    } else if (::fstat(file, &info) == 0 && quint64(info.st_dev) == part.device && quint64(info.st_ino) == part.inode) {
        if (::flock(file, LOCK_EX | LOCK_NB) == 0)
            gone = ::unlinkat(folder, part.hidden.constData(), 0) == 0;
    } else {
        gone = true; // another file has the name now: nothing of ours is left to remove
    }
    if (file >= 0)
        ::close(file);
    ::close(folder);
    return gone;
}

} // namespace

void KeptPart::setDigest(int file, const platform::FileDigest &of)
{
    SentCheckpoints::Source now;
    digest.clear();
    if (!SentCheckpoints::sourceOf(file, now) || now.size != of.length() || now.size == 0)
        return;
    digest = of.saved();
    modifiedNsec = now.modifiedNsec;
    changedNsec = now.changedNsec;
}

std::optional<platform::FileDigest> KeptPart::digestOf(int file) const
{
    SentCheckpoints::Source now;
    platform::FileDigest known;
    if (digest.isEmpty() || !SentCheckpoints::sourceOf(file, now) || now.modifiedNsec != modifiedNsec
        || now.changedNsec != changedNsec || !known.restore(digest) || known.length() != now.size)
        return std::nullopt;
    return known;
}

KeptParts::KeptParts(QString folder, std::function<qint64()> now)
    : m_folder(folder.isEmpty() ? defaultFolder() : std::move(folder))
    , m_now(now ? std::move(now) : [] { return QDateTime::currentMSecsSinceEpoch(); })
{
}

QString KeptParts::defaultFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/velmora/partial");
}

QString KeptParts::entryPath(const KeptPart &part) const
{
    return m_folder + u'/' + keyOf(part.peer, part.announced, part.size, part.folder, part.target);
}

std::optional<KeptPart> KeptParts::find(const QByteArray &peer, const QString &announced, qint64 size,
                                        const QString &folder, const QByteArray &target) const
{
    const auto part = readEntry(m_folder + u'/' + keyOf(peer, announced, size, folder, target));
    // The entry must say what it was found by: its name alone proves nothing.
    if (!part || part->peer != peer || part->announced != announced || part->size != size || part->folder != folder
        || part->target != target)
        return std::nullopt;
    return part;
}

bool KeptParts::keep(const KeptPart &part, QString *error) const
{
    if (!privateFolder(m_folder)) {
        if (error)
            *error = QStringLiteral("%1 is not a folder of this user's alone").arg(m_folder);
        return false;
    }
    QJsonObject o{{"peer", QString::fromLatin1(part.peer.toHex())},
                  {"announced", part.announced},
                  {"size", double(part.size)},
                  {"folder", part.folder},
                  {"target", QString::fromLatin1(part.target.toBase64())},
                  {"hidden", QString::fromLatin1(part.hidden.toBase64())},
                  {"device", QString::number(part.device)},
                  {"inode", QString::number(part.inode)},
                  {"keptAt", double(part.keptAtMsec)}};
    if (!part.digest.isEmpty()) {
        o.insert(QStringLiteral("digest"), QString::fromLatin1(part.digest.toBase64()));
        o.insert(QStringLiteral("modified"), QString::number(part.modifiedNsec));
        o.insert(QStringLiteral("changed"), QString::number(part.changedNsec));
    }
    // Written whole under another name and renamed into place, but not synced: after a crash an
    // entry may be lost or outlive its file's bytes, and either way the prefix check decides.
    QTemporaryFile file(m_folder + QStringLiteral("/.entry-XXXXXX"));
    if (!file.open() || file.write(QJsonDocument(o).toJson(QJsonDocument::Compact)) < 0 || !file.flush()) {
        if (error)
            *error = file.errorString();
        return false;
    }
    if (::rename(QFile::encodeName(file.fileName()).constData(), QFile::encodeName(entryPath(part)).constData()) != 0) {
        if (error)
            *error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    file.setAutoRemove(false); // it has its name now
    return true;
}

void KeptParts::forget(const KeptPart &part) const
{
    QFile::remove(entryPath(part));
}

int KeptParts::sweep(qint64 maxAgeMsec) const
{
    const QDir folder(m_folder);
    int swept = 0;
    const qint64 now = m_now();
    for (const QString &name : folder.entryList({QStringLiteral("*.json")}, QDir::Files | QDir::Hidden)) {
        const QString path = folder.filePath(name);
        const auto part = readEntry(path);
        if (part && maxAgeMsec > 0 && now - part->keptAtMsec <= maxAgeMsec)
            continue;
        if (!part || removeKeptFile(*part)) {
            QFile::remove(path);
            swept += part ? 1 : 0;
        }
    }
    return swept;
}

} // namespace sender
