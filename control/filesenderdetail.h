#pragma once
// Helpers FileSender's two source files share; not part of the installed headers.

#include "automation.h"
#include "filesender.h"
#include "receivetarget.h"

#include <QByteArray>
#include <QString>

namespace sender {

// An offer that waits for the host: the target it would go to, and how the rules would answer.
struct FileSender::HeldOffer
{
    FileOffer shown;
    ReceiveTarget target;
    bool fromHeader = false;
    bool present = false; ///< a file of the announced length is there and is not to be overwritten
};

} // namespace sender

namespace sender::detail {

/// The error a failed file operation raises: the catalogue's text for error 75, then `reason`.
platform::AutomationError fileError(const QString &reason);
/// Sizes a reused buffer to `size` bytes; when it must grow, it grows to exactly that, not beyond.
void resizeBuffer(QByteArray &buffer, qsizetype size);

} // namespace sender::detail
