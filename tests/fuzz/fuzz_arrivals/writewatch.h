#pragma once
// Watches every call through which this process creates, opens for writing, renames, links,
// changes the mode of or removes a file. While watching, a call that names a path outside one
// folder (a path relative to a folder's descriptor counts where that folder is now) is refused
// with EACCES (so nothing outside is touched) and remembered. Qt, and with it everything built on
// it, reaches the system through exactly these calls.

#include <QByteArray>
#include <QList>

namespace writewatch {

/// The folder every watched call must stay inside.
void setFolder(const QByteArray &folder);
/// Starts or stops watching.
void setWatching(bool on);
/// The first refused call ("CALL PATH"), empty when there was none; clears it.
QByteArray takeRefusal();
/// The paths inside the folder that calls may have created since the last call (opened with
/// O_CREAT, made folders, link and rename targets), oldest first; clears the list.
QList<QByteArray> takeCreated();

} // namespace writewatch
