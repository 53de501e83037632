#pragma once
// What a run of velmora-cli sends: the files named by --send, folders walked, each with the
// path it is announced under. The files are found as they are sent, one folder's listing at a
// time, so that a send of any number of files holds no list of them all.

#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

/// One file to send.
struct SendItem
{
    QString file;      ///< the local file
    QString announced; ///< the path the peer is told
    qint64 size = 0;   ///< its length when it was found
};

/// An entry that is not sent, with why. Inside a folder, links, devices, FIFOs and sockets are
/// no files to send and are only listed; everything else that is not sent is a failure: a path
/// named on the command line that is no file that can be sent, and inside a folder a file or
/// folder that cannot be read, whose name is not valid UTF-8 or whose path is too long to open,
/// or a file announced under a path an earlier one has.
struct SendSkipped
{
    QString path;
    QString reason;
    bool failure = true;
};

/// The files of `paths` (files and folders, in the order given; a folder's files in the order
/// of their paths, sub-folders included). One file with `receivePath` is announced as that
/// path; otherwise each file is announced by its path relative to the folder that holds what was
/// named (`photos/a.jpg` for `--send photos`), behind `receivePath` and "/" when it is given.
///
/// Made, it has walked everything once to count the files and their bytes (a batch announces
/// them) and to tell what is left out; next() then walks again and hands the files out in order,
/// from where the first walk found its first file: the listings it held there are not made again.
class SendList
{
public:
    SendList();
    SendList(const QStringList &paths, const std::optional<QString> &receivePath,
             const std::function<void(const SendSkipped &)> &skipped = {});
    ~SendList();
    SendList(SendList &&) noexcept;
    SendList &operator=(SendList &&) noexcept;

    /// Files to send, their bytes, and how many entries left out are failures.
    qsizetype count() const { return m_count; }
    qint64 bytes() const { return m_bytes; }
    int failures() const { return m_failures; }
    /// The distinct first components of the paths announced, in order.
    const QStringList &topNames() const { return m_topNames; }

    /// Files not handed out yet (those given back included), and their bytes.
    qsizetype left() const { return m_count - m_handedOut; }
    qint64 bytesLeft() const { return qMax<qint64>(0, m_bytes - m_bytesOut); }

    /// The next file, or nothing when every file was handed out.
    std::optional<SendItem> next();
    /// `items`, handed out before, go again ahead of everything else, in their order.
    void giveBack(const std::vector<SendItem> &items);
    /// Hands out nothing more.
    void finish();
    /// Hands the files out again from the first.
    void rewind();

private:
    struct Source;
    class FolderWalk;
    struct Start;
    /// The next file of the sources, from where the walk stands; `skipped` hears of what is left out.
    std::optional<SendItem> walkOn(const std::function<void(const SendSkipped &)> &skipped);

    std::optional<QString> m_receivePath;
    std::vector<Source> m_sources;
    bool m_oneFile = false;
    // Where the walk stands.
    size_t m_source = 0;
    std::unique_ptr<FolderWalk> m_folder;
    QSet<QString> m_announced; ///< paths announced so far under a first component two sources share
    std::deque<SendItem> m_again;
    std::unique_ptr<Start> m_start; ///< where the first walk stood at its first file, for the next one
    // What the first walk found, and how much of it was handed out.
    qsizetype m_count = 0;
    qint64 m_bytes = 0;
    int m_failures = 0;
    QStringList m_topNames;
    qsizetype m_handedOut = 0;
    qint64 m_bytesOut = 0;
};

/// Every file at once, for a summary: what the walk hands out and what it leaves out.
struct SendPlan
{
    QList<SendItem> items;
    QList<SendSkipped> skipped;
    int failures = 0;
};
SendPlan planSends(const QStringList &paths, const std::optional<QString> &receivePath);
