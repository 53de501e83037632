#include "sentcheckpoints.h"

#include "privatefolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QtEndian>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sender {

namespace {

// One checkpoint: a tag, the source as it was, and the digest's saved state.
constexpr char Tag[4] = {'V', 'C', 'P', '1'};
constexpr qsizetype SourceBytes = 5 * 8;
constexpr qsizetype RecordBytes = sizeof(Tag) + SourceBytes + platform::FileDigest::SavedBytes;
// Nothing larger is read back: a file of about a thousand checkpoints, and room for a few sends.
constexpr qint64 MaxFileBytes = 8 * 1024 * RecordBytes;
constexpr qint64 MinSpacing = 1024 * 1024;
constexpr qint64 MostCheckpoints = 1024;

QByteArray encode(const SentCheckpoints::Source &s)
{
    QByteArray out(SourceBytes, Qt::Uninitialized);
    char *at = out.data();
    for (const quint64 field : {s.device, s.inode, quint64(s.size), quint64(s.modifiedNsec), quint64(s.changedNsec)}) {
        qToLittleEndian(field, at);
        at += 8;
    }
    return out;
}

} // namespace

SentCheckpoints::SentCheckpoints(QString folder)
    : m_folder(folder.isEmpty() ? defaultFolder() : std::move(folder))
{
}

SentCheckpoints::~SentCheckpoints()
{
    close();
}

QString SentCheckpoints::defaultFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/velmora/sent");
}

qint64 SentCheckpoints::spacing(qint64 size)
{
    return qMax(MinSpacing, size / MostCheckpoints);
}

bool SentCheckpoints::sourceOf(int file, Source &source)
{
    struct stat info = {};
    if (::fstat(file, &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    source = {quint64(info.st_dev), quint64(info.st_ino), qint64(info.st_size),
              qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec,
              qint64(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec};
    return true;
}

QString SentCheckpoints::pathOf(const Source &source) const
{
    return m_folder + QStringLiteral("/%1-%2").arg(source.device, 0, 16).arg(source.inode, 0, 16);
}

platform::FileDigest SentCheckpoints::latest(int file, qint64 upTo) const
{
    platform::FileDigest best;
    Source now;
    if (!sourceOf(file, now))
        return best;
    QFile kept(pathOf(now));
    if (!kept.open(QIODevice::ReadOnly) || kept.size() > MaxFileBytes)
        return best;
    const QByteArray all = kept.readAll();
    const QByteArray expected = QByteArray(Tag, sizeof(Tag)) + encode(now);
    platform::FileDigest candidate;
    // Records are whole or not at all; one that is not of the file as it is now, or does not
    // restore, is passed over.
    for (qsizetype at = 0; at + RecordBytes <= all.size(); at += RecordBytes) {
        const QByteArrayView record(all.constData() + at, RecordBytes);
        if (!record.startsWith(expected)
            || !candidate.restore(record.sliced(expected.size()).toByteArray()))
            continue;
        if (candidate.length() <= upTo && candidate.length() > best.length())
            best = candidate;
    }
    return best;
}

bool SentCheckpoints::begin(int file, qint64 from)
{
    close();
    if (!sourceOf(file, m_source) || !privateFolder(m_folder))
        return false;
    m_path = pathOf(m_source);
    m_out = ::open(QFile::encodeName(m_path).constData(),
                   O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC | (from == 0 ? O_TRUNC : 0), 0600);
    struct stat info = {};
    if (m_out >= 0 && ::fstat(m_out, &info) == 0) {
        // Too many sends kept adding to it: this one starts it again. A record left short (the
        // disk was full) goes, so that what follows starts where a record starts.
        if (info.st_size > MaxFileBytes - MostCheckpoints * RecordBytes)
            (void)::ftruncate(m_out, 0);
        else if (info.st_size % RecordBytes != 0)
            (void)::ftruncate(m_out, info.st_size / RecordBytes * RecordBytes);
    }
    return m_out >= 0;
}

void SentCheckpoints::record(const platform::FileDigest &digest)
{
    if (m_out < 0)
        return;
    const QByteArray record = QByteArray(Tag, sizeof(Tag)) + encode(m_source) + digest.saved();
    // One write, appended: a record is whole or, where the disk is full, found short and passed over.
    if (::write(m_out, record.constData(), size_t(record.size())) != record.size())
        close();
}

void SentCheckpoints::finish()
{
    if (m_out < 0)
        return;
    ::unlink(QFile::encodeName(m_path).constData());
    close();
}

void SentCheckpoints::close()
{
    if (m_out >= 0)
        ::close(m_out);
    m_out = -1;
}

int SentCheckpoints::sweep(qint64 nowMsec, qint64 maxAgeMsec) const
{
    int swept = 0;
    const QDir folder(m_folder);
    for (const QFileInfo &info : folder.entryInfoList(QDir::Files | QDir::Hidden)) {
        if ((maxAgeMsec <= 0 || nowMsec - info.lastModified().toMSecsSinceEpoch() > maxAgeMsec)
            && QFile::remove(info.filePath()))
            ++swept;
    }
    return swept;
}

} // namespace sender
