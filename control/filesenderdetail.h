#pragma once
// Helpers FileSender's two source files share; not part of the installed headers.

#include "automation.h"

#include <QByteArray>
#include <QString>

namespace sender::detail {

/// The error a failed file operation raises: the catalogue's text for error 75, then `reason`.
platform::AutomationError fileError(const QString &reason);
/// Sizes a reused buffer to `size` bytes; when it must grow, it grows to exactly that, not beyond.
void resizeBuffer(QByteArray &buffer, qsizetype size);

} // namespace sender::detail
