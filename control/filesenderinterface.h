#pragma once
// The automation interface _FileSender and the event interface __FileSender: the one table
// of members with their dispatch ids, read by the dispatcher and the lookup by name.

#include "dispatchtable.h"
#include "sender_export.h"

#include <span>

namespace sender {

class FileSender;

/// Dispatch ids of _FileSender.
namespace dispid {
inline constexpr platform::DispId Connect = 0x6003000d;
inline constexpr platform::DispId LocalIP = 0x6803000c;
inline constexpr platform::DispId LocalPort = 0x6803000b;
inline constexpr platform::DispId LocalHostName = 0x6803000a;
inline constexpr platform::DispId Listen = 0x6003000e;
inline constexpr platform::DispId RemoteHost = 0x68030009;
inline constexpr platform::DispId RemotePort = 0x68030008;
inline constexpr platform::DispId SendFile = 0x6003000f;
inline constexpr platform::DispId SendMessage = 0x60030010;
inline constexpr platform::DispId ReciveFilePath = 0x68030007;
inline constexpr platform::DispId RemoteHostIP = 0x68030006;
inline constexpr platform::DispId CloseAll = 0x6003001b;
inline constexpr platform::DispId ProgressValue = 0x68030005;
inline constexpr platform::DispId Busy = 0x68030004;
inline constexpr platform::DispId BufferSize = 0x68030003;
inline constexpr platform::DispId Interval = 0x68030002;
inline constexpr platform::DispId State = 0x68030001;
inline constexpr platform::DispId Accept = 0x6003001d;
inline constexpr platform::DispId StopSend = 0x6003001e;
inline constexpr platform::DispId TimeCounter = 0x68030000;
} // namespace dispid

/// Events of __FileSender, by dispatch id.
enum class FileSenderEvent : platform::DispId { OnClose = 1, Error = 2, ReciveMessage = 3, ReciveFile = 4 };

/// The 29 entries of _FileSender in interface order.
SENDER_EXPORT std::span<const platform::MemberInfo> fileSenderMembers();

/// Calls a FileSender's members by dispatch id.
class SENDER_EXPORT FileSenderDispatch : public platform::TableDispatch
{
public:
    explicit FileSenderDispatch(FileSender &control) : m_control(control) {}
    std::span<const platform::MemberInfo> members() const override { return fileSenderMembers(); }

protected:
    QVariant call(const platform::MemberInfo &member, QVariantList &args) override;

private:
    FileSender &m_control;
};

} // namespace sender
