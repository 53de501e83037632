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

// What a failed transfer or file reports to the host.
namespace texts {
inline const QString WrongPathText = QStringLiteral("错误的文件路径。");
inline const QString CrossingSendText = QStringLiteral("对方同时在发送文件，本次发送已取消。");
inline const QString EarlyConfirmationText = QStringLiteral("对方在文件发送完之前确认已收到，本次发送失败。");
inline const QString DigestMismatchText = QStringLiteral("文件校验不一致：收到的内容与发送的不同，本次传输失败。");
inline const QString BadFileNoteText = QStringLiteral("对方的文件校验信息不合规程，本次传输已取消。");
inline const QString ConnectionClosedText = QStringLiteral("连接已关闭。");
inline const QString NoAnswerText = QStringLiteral("对方超过30秒没有应答，本次发送已取消。");
inline const QString GrewSinceAnnouncedText = QStringLiteral("the file is larger than when its batch was announced");
} // namespace texts

/// The error a failed file operation raises: the catalogue's text for error 75, then `reason`.
platform::AutomationError fileError(const QString &reason);
/// Sizes a reused buffer to `size` bytes; when it must grow, it grows to exactly that, not beyond.
void resizeBuffer(QByteArray &buffer, qsizetype size);

} // namespace sender::detail
