#include "sendplan.h"

#include "conversions.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A name the system gives as bytes, as text: nothing when the bytes are not valid UTF-8 (the
// file could then be neither named nor announced faithfully).
std::optional<QString> nameOf(const QByteArray &bytes)
{
    const QString text = QFile::decodeName(bytes);
    if (QFile::encodeName(text) != bytes)
        return std::nullopt;
    return text;
}

// Bytes shown as text, those that are no valid UTF-8 as \xNN.
QString shown(const QByteArray &bytes)
{
    if (const auto text = nameOf(bytes))
        return *text;
    QString out;
    for (const char c : bytes)
        out += uchar(c) < 0x80 ? QString(QChar(c)) : QStringLiteral("\\x%1").arg(uint(uchar(c)), 2, 16, QLatin1Char('0'));
    return out;
}

QString reasonOf(int error)
{
    switch (error) {
    case ENOENT:
        return QStringLiteral("no such file or folder");
    case ELOOP:
        return QStringLiteral("too many levels of symbolic links");
    case EACCES:
        return QStringLiteral("unreadable");
    default:
        return QString::fromLocal8Bit(std::strerror(error));
    }
}

} // namespace

// One command-line path, as it was found when the list was made.
struct SendList::Source
{
    enum class Kind { File, Folder, Skipped };
    QString path;
    Kind kind = Kind::Skipped;
    QString relative;        ///< a file's name, or the name a folder's files are announced under
    QString reason;          ///< why a skipped one is not sent
    bool sharesTop = false;  ///< another source is announced under the same first component
};

// A folder's files in the order of their paths, found one folder's listing at a time: what is
// held is the listing of each folder from the top down to the one being walked.
class SendList::FolderWalk
{
public:
    using Skip = std::function<void(const QString &path, const QString &reason, bool failure)>;
    struct Found
    {
        QString file;
        QString relative; ///< to the folder that holds what was named
        qint64 size;
    };

    /// Opens the folder `path`, announced as `relative`, without following a link.
    FolderWalk(const QString &path, const QString &relative)
        : m_path(path)
        , m_topPath(QFile::encodeName(path))
        , m_relativeTop(relative)
        , m_top(::open(m_topPath.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
        , m_openError(m_top < 0 ? errno : 0)
    {
    }
    FolderWalk(const QString &path, const QString &relative, int top)
        : m_path(path)
        , m_topPath(QFile::encodeName(path))
        , m_relativeTop(relative)
        , m_top(top)
    {
    }
    ~FolderWalk()
    {
        if (m_top >= 0)
            ::close(m_top);
    }
    FolderWalk(const FolderWalk &) = delete;
    FolderWalk &operator=(const FolderWalk &) = delete;

    /// A walk that goes on from where this one stands, with the listings this one holds: nothing
    /// when the folder cannot be held a second time.
    std::unique_ptr<FolderWalk> copy() const
    {
        const int top = m_top < 0 ? -1 : ::fcntl(m_top, F_DUPFD_CLOEXEC, 0);
        if (m_top >= 0 && top < 0)
            return nullptr;
        auto walk = std::make_unique<FolderWalk>(m_path, m_relativeTop, top);
        walk->m_openError = m_openError;
        walk->m_started = m_started;
        walk->m_levels = m_levels;
        return walk;
    }

    /// The next file, or nothing at the end; `skip` hears of each entry left out.
    std::optional<Found> next(const Skip &skip)
    {
        if (!std::exchange(m_started, true)) {
            if (m_top < 0) {
                skip(m_path, reasonOf(m_openError), true);
                return std::nullopt;
            }
            enter(QByteArray(), skip);
        }
        while (!m_levels.empty()) {
            Level &level = m_levels.back();
            if (level.at == level.entries.size()) {
                m_levels.pop_back();
                continue;
            }
            const Entry e = std::move(level.entries[level.at++]);
            const QByteArray name = e.problem == 0 ? QFile::encodeName(e.key.chopped(S_ISDIR(e.type) ? 1 : 0)) : e.raw;
            const QByteArray inside = level.inside.isEmpty() ? name : level.inside + '/' + name;
            if (e.problem == 0 && S_ISDIR(e.type))
                enter(inside, skip);
            else if (auto found = consider(e, inside, skip))
                return found;
        }
        return std::nullopt;
    }

private:
    // An entry of a folder being walked; a folder holds many, so each holds little.
    struct Entry
    {
        QString key;     ///< its name as shown, followed by "/" for a folder: the order of the paths
        QByteArray raw;  ///< its name as bytes, kept only when they are not valid UTF-8
        qint64 size = 0;
        mode_t type = 0;
        uid_t owner = 0;
        int problem = 0; ///< why it cannot be sent: the system's error, or NotUtf8
    };
    static constexpr int NotUtf8 = -1;
    struct Level
    {
        QByteArray inside;          ///< the folder's path below the top
        std::vector<Entry> entries; ///< its entries, in order
        size_t at = 0;
    };

    QString pathOf(const QByteArray &inside) const { return shown(m_topPath + '/' + inside); }

    // A file of this user's that its owner may read needs no faccessat(): for its owner, the
    // file's own bits decide, ACLs or not. (A security module or a network file system may
    // still refuse it: the send then fails as for a file that became unreadable since.)
    bool readableByItsOwner(const Entry &e) const { return e.owner == m_user && (e.type & S_IRUSR) != 0; }

    // Lists the folder `inside` (below the top) as the next level down, its entries in the order
    // of the paths they lead to.
    void enter(const QByteArray &inside, const Skip &skip)
    {
        // A path the system cannot open cannot be sent, nor can anything below it.
        if (m_topPath.size() + 1 + inside.size() >= PATH_MAX) {
            skip(pathOf(inside), QStringLiteral("path longer than %1 bytes").arg(PATH_MAX - 1), true);
            return;
        }
        const int fd = inside.isEmpty() ? ::dup(m_top)
                                        : ::openat(m_top, inside.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        DIR *dir = fd < 0 ? nullptr : ::fdopendir(fd);
        if (!dir) {
            skip(pathOf(inside), reasonOf(errno), true);
            if (fd >= 0)
                ::close(fd);
            return;
        }
        Level level{inside, {}, 0};
        while (const dirent *d = ::readdir(dir)) {
            const QByteArray name(d->d_name);
            if (name == "." || name == "..")
                continue;
            Entry e;
            e.key = shown(name);
            struct stat info = {};
            if (::fstatat(::dirfd(dir), d->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
                e.problem = errno;
            } else {
                e.type = info.st_mode;
                e.owner = info.st_uid;
                e.size = qint64(info.st_size);
                if (!nameOf(name))
                    e.problem = NotUtf8;
                else if (S_ISDIR(info.st_mode))
                    e.key += u'/'; // where its own files are in the order of paths
            }
            if (e.problem != 0)
                e.raw = name;
            level.entries.push_back(std::move(e));
        }
        ::closedir(dir);
        std::sort(level.entries.begin(), level.entries.end(), [](const Entry &a, const Entry &b) { return a.key < b.key; });
        m_levels.push_back(std::move(level));
    }

    std::optional<Found> consider(const Entry &e, const QByteArray &inside, const Skip &skip)
    {
        const QString path = pathOf(inside);
        if (e.problem != 0)
            skip(path, e.problem == NotUtf8 ? QStringLiteral("name is not valid UTF-8") : reasonOf(e.problem), true);
        else if (S_ISLNK(e.type))
            skip(path, QStringLiteral("symbolic link"), false);
        else if (!S_ISREG(e.type))
            skip(path, QStringLiteral("not a regular file"), false);
        else if (m_topPath.size() + 1 + inside.size() >= PATH_MAX)
            skip(path, QStringLiteral("path longer than %1 bytes").arg(PATH_MAX - 1), true);
        else if (!readableByItsOwner(e) && ::faccessat(m_top, inside.constData(), R_OK, 0) != 0)
            skip(path, QStringLiteral("unreadable"), true);
        else
            return Found{path, m_relativeTop.isEmpty() ? shown(inside) : m_relativeTop + u'/' + shown(inside), e.size};
        return std::nullopt;
    }

    QString m_path;
    QByteArray m_topPath;
    QString m_relativeTop;
    int m_top = -1;
    int m_openError = 0;
    uid_t m_user = ::getuid(); ///< whom faccessat() asks for
    bool m_started = false;
    std::vector<Level> m_levels; ///< the folders being walked, from the top down
};

// Where a walk stood once it had handed out its first file, that file included: the next walk
// starts there instead of listing the first folder again.
struct SendList::Start
{
    size_t source = 0;
    std::unique_ptr<FolderWalk> folder;
    QSet<QString> announced;
    SendItem first;
};

SendList::SendList(const QStringList &paths, const std::optional<QString> &receivePath,
                   const std::function<void(const SendSkipped &)> &skipped)
    : m_receivePath(receivePath)
{
    QHash<QString, int> tops;
    for (const QString &path : paths) {
        // What is named on the command line is followed when it is a link, as cp does; links
        // inside folders are not. Whatever named is not sent fails the run.
        Source source;
        source.path = path;
        struct stat info = {};
        if (::stat(QFile::encodeName(path).constData(), &info) != 0) {
            source.reason = reasonOf(errno);
        } else if (S_ISDIR(info.st_mode)) {
            source.kind = Source::Kind::Folder;
            source.relative = QFileInfo(QDir::cleanPath(QFileInfo(path).absoluteFilePath())).fileName();
        } else if (!S_ISREG(info.st_mode)) {
            source.reason = QStringLiteral("not a regular file");
        } else if (::access(QFile::encodeName(path).constData(), R_OK) != 0) {
            source.reason = QStringLiteral("unreadable");
        } else {
            source.kind = Source::Kind::File;
            source.relative = QFileInfo(path).fileName();
        }
        if (source.kind != Source::Kind::Skipped)
            ++tops[source.relative];
        m_sources.push_back(std::move(source));
    }
    // Only files announced under one first component by two sources can be announced alike.
    for (Source &source : m_sources)
        source.sharesTop = source.kind != Source::Kind::Skipped && tops.value(source.relative) > 1;
    m_oneFile = paths.size() == 1 && m_sources.front().kind == Source::Kind::File;
    // The first walk counts what the later ones hand out.
    const auto tell = [this, &skipped](const SendSkipped &s) {
        m_failures += s.failure;
        if (skipped)
            skipped(s);
    };
    QSet<QString> named;
    while (const std::optional<SendItem> item = walkOn(tell)) {
        if (m_count == 0 && m_folder) {
            if (auto folder = m_folder->copy())
                m_start.reset(new Start{m_source, std::move(folder), m_announced, *item});
        }
        ++m_count;
        m_bytes += item->size;
        qsizetype end = 0;
        while (end < item->announced.size() && item->announced[end] != u'/' && item->announced[end] != u'\\')
            ++end;
        const QString top = item->announced.left(end);
        if (!named.contains(top)) {
            named.insert(top);
            m_topNames.append(top);
        }
    }
    rewind();
}

SendList::SendList() = default;
SendList::~SendList() = default;
SendList::SendList(SendList &&) noexcept = default;
SendList &SendList::operator=(SendList &&) noexcept = default;

std::optional<SendItem> SendList::walkOn(const std::function<void(const SendSkipped &)> &skipped)
{
    while (m_source < m_sources.size()) {
        const Source &source = m_sources[m_source];
        std::optional<SendItem> item;
        switch (source.kind) {
        case Source::Kind::Skipped:
            skipped({source.path, source.reason});
            break;
        case Source::Kind::File:
            item = SendItem{source.path, source.relative, QFileInfo(source.path).size()};
            break;
        case Source::Kind::Folder:
            if (!m_folder)
                m_folder = std::make_unique<FolderWalk>(source.path, source.relative);
            const auto skip = [&skipped](const QString &path, const QString &reason, bool failure) {
                skipped({path, reason, failure});
            };
            if (const auto found = m_folder->next(skip)) {
                item = SendItem{found->file, found->relative, found->size};
                break;
            }
            m_folder.reset();
            break;
        }
        if (!item || source.kind == Source::Kind::File || !m_folder)
            ++m_source;
        if (!item)
            continue;
        if (m_receivePath) {
            const QString folder = QFileInfo(*m_receivePath).absoluteFilePath();
            item->announced = m_oneFile ? folder : folder + u'/' + item->announced;
        }
        // A path the wire encoding cannot hold would reach the peer with substitutes in it: under
        // another name, which other files may come to share.
        if (!platform::wireEncodingHolds(item->announced)) {
            const QString encoding = platform::wireEncoding();
            skipped({item->file, QStringLiteral("%1 cannot be written in the wire encoding %2")
                                     .arg(item->announced, encoding.isEmpty() ? QStringLiteral("of the system") : encoding)});
            continue;
        }
        // Two files announced alike would land on one target at the peer: the second is not sent.
        if (source.sharesTop) {
            if (m_announced.contains(item->announced)) {
                skipped({item->file, QStringLiteral("%1 is announced for an earlier file already").arg(item->announced)});
                continue;
            }
            m_announced.insert(item->announced);
        }
        return item;
    }
    return std::nullopt;
}

std::optional<SendItem> SendList::next()
{
    std::optional<SendItem> item;
    if (!m_again.empty()) {
        item = std::move(m_again.front());
        m_again.pop_front();
    } else if (m_handedOut < m_count) {
        item = walkOn([](const SendSkipped &) {});
        if (!item) {
            // Files counted at first are gone: each fails the run, as a file that cannot be
            // opened any more does.
            m_failures += int(m_count - m_handedOut);
            m_handedOut = m_count;
        }
    }
    if (item) {
        ++m_handedOut;
        m_bytesOut += item->size;
    }
    return item;
}

void SendList::giveBack(const std::vector<SendItem> &items)
{
    m_again.insert(m_again.begin(), items.begin(), items.end());
    for (const SendItem &item : items) {
        --m_handedOut;
        m_bytesOut -= item.size;
    }
}

void SendList::finish()
{
    m_again.clear();
    m_handedOut = m_count;
}

void SendList::rewind()
{
    m_source = 0;
    m_folder.reset();
    m_announced.clear();
    m_again.clear();
    m_handedOut = 0;
    m_bytesOut = 0;
    if (const std::unique_ptr<Start> start = std::move(m_start)) {
        m_source = start->source;
        m_folder = std::move(start->folder);
        m_announced = std::move(start->announced);
        m_again.push_back(std::move(start->first));
    }
}

SendPlan planSends(const QStringList &paths, const std::optional<QString> &receivePath)
{
    SendPlan plan;
    SendList list(paths, receivePath, [&plan](const SendSkipped &s) { plan.skipped.append(s); });
    plan.failures = list.failures();
    while (const auto item = list.next())
        plan.items.append(*item);
    return plan;
}
