#include "receivefolder.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringList>

namespace sender {

namespace {

// "C:", "C:\x", "C:x": a path on a Windows drive.
bool startsWithDrive(const QString &path)
{
    return path.size() >= 2 && path[1] == u':' && path[0].isLetter() && path[0].unicode() < 128;
}

bool isInside(const QString &path, const QString &folder)
{
    return path.startsWith(folder + u'/') || folder == u"/";
}

} // namespace

ReceiveFolder::ReceiveFolder(const QString &folder)
    : m_path(QDir::cleanPath(QFileInfo(folder).absoluteFilePath()))
{
}

std::optional<QString> ReceiveFolder::map(const QString &announced) const
{
    if (announced.contains(QChar(0)))
        return std::nullopt;
    QStringList parts = announced.split(QRegularExpression(QStringLiteral("[/\\\\]")), Qt::SkipEmptyParts);
    parts.removeAll(QStringLiteral("."));
    if (parts.contains(QStringLiteral("..")))
        return std::nullopt;
    const bool windows = startsWithDrive(announced) || announced.startsWith(u'\\');
    if (announced.startsWith(u'/')) {
        const QString absolute = u'/' + parts.join(u'/');
        if (isInside(absolute, m_path))
            parts = absolute.mid(m_path == u"/" ? 1 : m_path.size() + 1).split(u'/', Qt::SkipEmptyParts);
        else
            parts = parts.mid(parts.size() - 1);
    } else if (windows) {
        parts = parts.mid(parts.size() - 1);
        if (!parts.isEmpty() && startsWithDrive(parts.first()))
            parts.first().remove(0, 2); // "C:x": the name after the drive
        parts.removeAll(QString());
    }
    if (parts.isEmpty())
        return std::nullopt;
    return m_path + u'/' + parts.join(u'/');
}

bool ReceiveFolder::confines(const QString &target) const
{
    const QString root = QFileInfo(m_path).canonicalFilePath();
    if (root.isEmpty())
        return false; // the folder itself is gone
    QString at = target;
    while (!QFileInfo(at).exists() && !QFileInfo(at).isSymLink()) {
        const QString up = QFileInfo(at).absolutePath();
        if (up == at)
            return false;
        at = up;
    }
    const QString real = QFileInfo(at).canonicalFilePath();
    return !real.isEmpty() && (real == root || isInside(real, root));
}

} // namespace sender
