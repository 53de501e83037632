#pragma once
// The socket component's error numbers for Qt's socket errors and the system's. Used inside the
// platform library only; not installed.

#include <QAbstractSocket>

namespace platform {

/// The error number of a failure Qt's server reports.
qint32 mapSocketError(QAbstractSocket::SocketError e);
/// The error number of a system error on a connection.
qint32 mapSystemError(int systemError);

} // namespace platform
