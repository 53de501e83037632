#pragma once
// The fixed identities of the Sender library and its FileSender class.

#include <QString>
#include <QUuid>

namespace sender {

inline constexpr char ProgId[] = "Sender.FileSender";
inline constexpr char ClassName[] = "FileSender";
inline constexpr char TypeLibName[] = "Sender";
inline constexpr char TypeLibVersion[] = "1.0";
inline constexpr char TypeLibHelpString[] = "Sender";
inline constexpr char DispatchInterfaceName[] = "_FileSender";
inline constexpr char EventInterfaceName[] = "__FileSender";

inline QUuid typeLibId() { return QUuid(QStringLiteral("{DDC544D7-9AD0-4D61-A0C2-7FDF23DF62B0}")); }
inline QUuid classId() { return QUuid(QStringLiteral("{5940B612-4C7D-4C7D-A53F-9F9983F49E90}")); }
inline QUuid dispatchInterfaceId() { return QUuid(QStringLiteral("{12D14648-E9B8-4D4C-9A8C-57047E34B17D}")); }
inline QUuid eventInterfaceId() { return QUuid(QStringLiteral("{7A343D58-3A6F-4E96-BC6C-4415CFF6574E}")); }

} // namespace sender
