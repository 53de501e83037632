#include "partfile.h"

#include "automation.h"
#include "filesenderdetail.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace sender {

void PartFile::create(const QString &target, const std::function<void(const QString &)> &create)
{
    // Beside the target, so that the rename at the end stays on one file system.
    const QFileInfo info(target);
    m_target = info.exists() ? info.canonicalFilePath() : info.absoluteFilePath();
    const QFileInfo at(m_target);
    for (int attempt = 1;; ++attempt) {
        const QString path = at.absolutePath()
            + QStringLiteral("/.%1.velmora-%2")
                  .arg(at.fileName().left(128))
                  .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
        try {
            create(path);
            m_path = path;
            return;
        } catch (const platform::AutomationError &) {
            if (attempt == 8 || !QFileInfo::exists(path)) // only a name already taken is tried again
                throw;
        }
    }
}

void PartFile::commit()
{
    const QByteArray from = QFile::encodeName(m_path);
    const QByteArray to = QFile::encodeName(m_target);
    struct stat replaced = {};
    if (::stat(to.constData(), &replaced) == 0)
        ::chmod(from.constData(), replaced.st_mode & 07777);
    if (::rename(from.constData(), to.constData()) != 0) {
        const QString reason = QString::fromLocal8Bit(std::strerror(errno));
        discard();
        throw detail::fileError(reason);
    }
    m_path.clear();
}

void PartFile::discard()
{
    if (!m_path.isEmpty())
        QFile::remove(m_path);
    m_path.clear();
}

} // namespace sender
