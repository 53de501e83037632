#pragma once
// What a run of velmora-cli sends: the files named by --send, folders walked, each with the
// path it is announced under.

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

/// One file to send.
struct SendItem
{
    QString file;      ///< the local file
    QString announced; ///< the path the peer is told
};

/// The files to send, in order, and what was left out.
struct SendPlan
{
    QList<SendItem> items;
    /// Entries that are not sent, with why. Inside a folder, links, devices, FIFOs and sockets
    /// are no files to send and are only listed; everything else that is not sent counts in
    /// failures: a path named on the command line that is no file that can be sent, and inside
    /// a folder a file or folder that cannot be read, whose name is not valid UTF-8 or whose
    /// path is too long to open, or a file announced under a path an earlier one has.
    struct Skipped
    {
        QString path;
        QString reason;
    };
    QList<Skipped> skipped;
    int failures = 0;
};

/// Plans the sends of `paths` (files and folders, in the order given; a folder's files in the
/// order of their paths, sub-folders included). One file with `receivePath` is announced as
/// that path; otherwise each file is announced by its path relative to the folder that holds
/// what was named (`photos/a.jpg` for `--send photos`), behind `receivePath` and "/" when it is
/// given.
SendPlan planSends(const QStringList &paths, const std::optional<QString> &receivePath);
