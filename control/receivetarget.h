#pragma once
// Where a received file goes: its folder, held open, and its name there. Everything a receive
// does to its target and to the hidden file beside it is done relative to that folder's
// descriptor, so that a link or a rename by someone else meanwhile cannot lead it elsewhere.

#include "sender_export.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>
#include <optional>
#include <utility>

#include <unistd.h>

namespace sender {

/// A descriptor of this process, closed with the object.
class FileDescriptor
{
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    FileDescriptor(FileDescriptor &&other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    FileDescriptor &operator=(FileDescriptor &&other) noexcept
    {
        if (this != &other)
            reset(std::exchange(other.m_fd, -1));
        return *this;
    }
    ~FileDescriptor() { reset(); }
    int get() const { return m_fd; }
    bool isValid() const { return m_fd >= 0; }
    void reset(int fd = -1)
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd = -1;
};

/// A folder held open, shared by the targets in it; what its file system allows is asked once.
class SENDER_EXPORT OpenFolder
{
public:
    explicit OpenFolder(FileDescriptor folder) : m_folder(std::move(folder)) {}
    int get() const { return m_folder.get(); }
    /// The longest name the folder's file system takes.
    qint64 longestName() const;

private:
    FileDescriptor m_folder;
    mutable qint64 m_longestName = 0;
};

class SENDER_EXPORT ReceiveTarget
{
public:
    /// What stands at the target now.
    struct Present
    {
        bool exists = false; ///< something has the name
        bool usable = false; ///< nothing does, or a regular file this process may write
        qint64 size = 0;     ///< the file's length, when it exists
    };

    /// The target at `path`, a path the host or the peer chose and the receiving side does not
    /// confine: its folder is opened as the path says, links included, and a target that is a
    /// link stands for the file it leads to (a dangling link stays a link, no usable target).
    /// Nothing when the folder cannot be opened.
    static std::optional<ReceiveTarget> atPath(const QString &path);

    /// `name` in the folder `folder` (a descriptor taken over), shown as `path`; `route` is the
    /// folder's way from the receive folder that confines it, one name per level.
    ReceiveTarget(std::shared_ptr<const OpenFolder> folder, QByteArray name, QString path,
                  QList<QByteArray> route = {});

    /// The folder's descriptor.
    int folder() const { return m_folder->get(); }
    /// The folder, as other targets in it may share it.
    const std::shared_ptr<const OpenFolder> &openFolder() const { return m_folder; }
    /// The target's name in the folder, as the system takes it.
    const QByteArray &name() const { return m_name; }
    /// The target's whole path, as the host sees it.
    QString path() const { return m_path; }
    /// The folder's whole path.
    QString folderPath() const;
    /// Names of the folders from the confining receive folder down to this one.
    const QList<QByteArray> &route() const { return m_route; }

    /// Looks at the name now, following no link: a link, a folder, a device or a FIFO is no
    /// usable target, and neither is a file this process may not write (read-only, say).
    Present look() const;
    /// True when the folder's file system takes a name as long as the target's.
    bool nameFits() const;
    /// The longest name the folder's file system takes.
    qint64 longestName() const { return m_folder->longestName(); }

private:
    std::shared_ptr<const OpenFolder> m_folder;
    QByteArray m_name;
    QString m_path;
    QList<QByteArray> m_route;
};

} // namespace sender
