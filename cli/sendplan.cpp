#include "sendplan.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>

#include <algorithm>

namespace {

// Why an entry is not sent, or nothing when it is a file that can be.
std::optional<QString> whyNot(const QFileInfo &entry, bool *failure)
{
    *failure = false;
    if (entry.isSymLink())
        return QStringLiteral("symbolic link");
    if (!entry.exists()) {
        *failure = true;
        return QStringLiteral("no such file or folder");
    }
    if (!entry.isFile())
        return QStringLiteral("not a regular file");
    if (!entry.isReadable()) {
        *failure = true;
        return QStringLiteral("unreadable");
    }
    return std::nullopt;
}

struct Found
{
    QString file;
    QString relative; ///< to the folder that holds what was named
};

} // namespace

SendPlan planSends(const QStringList &paths, const std::optional<QString> &receivePath)
{
    SendPlan plan;
    QList<Found> found;
    const auto consider = [&](const QFileInfo &entry, const QString &relative) {
        bool failure = false;
        if (const auto why = whyNot(entry, &failure)) {
            plan.skipped.append({entry.filePath(), *why});
            plan.failures += failure;
        } else {
            found.append({entry.filePath(), relative});
        }
    };
    for (const QString &path : paths) {
        const QFileInfo named(path);
        // A link named on the command line is followed, as cp does; links inside folders are not.
        if (!named.isDir()) {
            const QFileInfo target(named.canonicalFilePath().isEmpty() ? path : named.canonicalFilePath());
            bool failure = false;
            if (const auto why = whyNot(target, &failure)) {
                plan.skipped.append({path, *why});
                plan.failures += failure;
            } else {
                found.append({path, named.fileName()});
            }
            continue;
        }
        const QDir parent = QFileInfo(QDir::cleanPath(named.absoluteFilePath())).dir();
        QList<Found> inFolder;
        QDirIterator walk(path, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                          QDirIterator::Subdirectories);
        QList<QFileInfo> entries;
        while (walk.hasNext()) {
            walk.next();
            const QFileInfo entry = walk.fileInfo();
            if (!entry.isDir() || entry.isSymLink())
                entries.append(entry);
        }
        std::sort(entries.begin(), entries.end(), [&](const QFileInfo &a, const QFileInfo &b) {
            return parent.relativeFilePath(a.absoluteFilePath()) < parent.relativeFilePath(b.absoluteFilePath());
        });
        for (const QFileInfo &entry : entries)
            consider(entry, parent.relativeFilePath(entry.absoluteFilePath()));
    }
    const bool oneFile = paths.size() == 1 && found.size() == 1 && !QFileInfo(paths.first()).isDir();
    for (const Found &f : found) {
        QString announced = f.relative;
        if (receivePath) {
            const QString folder = QFileInfo(*receivePath).absoluteFilePath();
            announced = oneFile ? folder : folder + u'/' + f.relative;
        }
        plan.items.append({f.file, announced});
    }
    return plan;
}
