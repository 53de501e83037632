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
    /// Entries that are not sent, with why. Links, devices, FIFOs and sockets are no files to
    /// send; failures counts what should have been sent but cannot be.
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
