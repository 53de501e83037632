#include "filesenderinterface.h"

#include "filesender.h"

namespace sender {

using platform::ArgType;
using platform::InvokeKind;
using platform::MemberInfo;

namespace {

// Entries by interface order.
enum Entry : int {
    ConnectMethod = 1, LocalIPGet, LocalPortGet, LocalPortPut, LocalHostNameGet, ListenMethod,
    RemoteHostGet, RemoteHostPut, RemotePortGet, RemotePortPut, SendFileMethod, SendMessageMethod,
    ReciveFilePathGet, ReciveFilePathPut, RemoteHostIPGet, CloseAllMethod, ProgressValueGet,
    ProgressValuePut, BusyGet, BusyPut, BufferSizeGet, BufferSizePut, IntervalGet, IntervalPut,
    StateGet, AcceptMethod, StopSendMethod, TimeCounterGet, TimeCounterPut,
};

constexpr auto M = InvokeKind::Method;
constexpr auto G = InvokeKind::PropertyGet;
constexpr auto P = InvokeKind::PropertyPut;

} // namespace

std::span<const MemberInfo> fileSenderMembers()
{
    static const QList<MemberInfo> table = {
        {ConnectMethod, dispid::Connect, M, "Connect",
         {{"RemoteHost", ArgType::Variant, false, true}, {"RemotePort", ArgType::Variant, false, true}}},
        {LocalIPGet, dispid::LocalIP, G, "LocalIP", {}, ArgType::String},
        {LocalPortGet, dispid::LocalPort, G, "LocalPort", {}, ArgType::Int32},
        {LocalPortPut, dispid::LocalPort, P, "LocalPort", {{"New_LocalPort", ArgType::Int32}}},
        {LocalHostNameGet, dispid::LocalHostName, G, "LocalHostName", {}, ArgType::String},
        {ListenMethod, dispid::Listen, M, "Listen", {}},
        {RemoteHostGet, dispid::RemoteHost, G, "RemoteHost", {}, ArgType::String},
        {RemoteHostPut, dispid::RemoteHost, P, "RemoteHost", {{"New_RemoteHost", ArgType::String}}},
        {RemotePortGet, dispid::RemotePort, G, "RemotePort", {}, ArgType::Int32},
        {RemotePortPut, dispid::RemotePort, P, "RemotePort", {{"New_RemotePort", ArgType::Int32}}},
        {SendFileMethod, dispid::SendFile, M, "SendFile",
         {{"FilePath", ArgType::String, true}, {"OverWrite", ArgType::Bool, true, true}}, ArgType::Bool},
        {SendMessageMethod, dispid::SendMessage, M, "SendMessage", {{"Message", ArgType::String, true}}, ArgType::Bool},
        {ReciveFilePathGet, dispid::ReciveFilePath, G, "ReciveFilePath", {}, ArgType::String},
        {ReciveFilePathPut, dispid::ReciveFilePath, P, "ReciveFilePath", {{"New_ReciveFilePath", ArgType::String}}},
        {RemoteHostIPGet, dispid::RemoteHostIP, G, "RemoteHostIP", {}, ArgType::String},
        {CloseAllMethod, dispid::CloseAll, M, "CloseAll", {}},
        {ProgressValueGet, dispid::ProgressValue, G, "ProgressValue", {}, ArgType::Int16},
        {ProgressValuePut, dispid::ProgressValue, P, "ProgressValue", {{"New_ProgressValue", ArgType::Int16}}},
        {BusyGet, dispid::Busy, G, "Busy", {}, ArgType::Bool},
        {BusyPut, dispid::Busy, P, "Busy", {{"New_Busy", ArgType::Bool}}},
        {BufferSizeGet, dispid::BufferSize, G, "BufferSize", {}, ArgType::Int32},
        {BufferSizePut, dispid::BufferSize, P, "BufferSize", {{"New_BufferSize", ArgType::Int32}}},
        {IntervalGet, dispid::Interval, G, "Interval", {}, ArgType::Int32},
        {IntervalPut, dispid::Interval, P, "Interval", {{"New_Interval", ArgType::Int32}}},
        {StateGet, dispid::State, G, "State", {}, ArgType::Int16},
        {AcceptMethod, dispid::Accept, M, "Accept", {{"requestID", ArgType::Int32}}},
        {StopSendMethod, dispid::StopSend, M, "StopSend", {}, ArgType::Bool},
        {TimeCounterGet, dispid::TimeCounter, G, "TimeCounter", {}, ArgType::Int32},
        {TimeCounterPut, dispid::TimeCounter, P, "TimeCounter", {{"New_TimeCounter", ArgType::Int32}}},
    };
    return table;
}

QVariant FileSenderDispatch::call(const MemberInfo &member, QVariantList &a)
{
    FileSender &c = m_control;
    switch (Entry(member.order)) {
    case ConnectMethod: c.Connect(a[0], a[1]); return {};
    case LocalIPGet: return c.LocalIP();
    case LocalPortGet: return c.LocalPort();
    case LocalPortPut: c.setLocalPort(a[0].toInt()); return {};
    case LocalHostNameGet: return c.LocalHostName();
    case ListenMethod: c.Listen(); return {};
    case RemoteHostGet: return c.RemoteHost();
    case RemoteHostPut: c.setRemoteHost(a[0].toString()); return {};
    case RemotePortGet: return c.RemotePort();
    case RemotePortPut: c.setRemotePort(a[0].toInt()); return {};
    case SendFileMethod: return c.SendFile(a[0].toString(), a[1].isValid() && a[1].toBool());
    case SendMessageMethod: return c.SendMessage(a[0].toString());
    case ReciveFilePathGet: return c.ReciveFilePath();
    case ReciveFilePathPut: c.setReciveFilePath(a[0].toString()); return {};
    case RemoteHostIPGet: return c.RemoteHostIP();
    case CloseAllMethod: c.CloseAll(); return {};
    case ProgressValueGet: return QVariant::fromValue(c.ProgressValue());
    case ProgressValuePut: c.setProgressValue(a[0].value<qint16>()); return {};
    case BusyGet: return c.Busy() != platform::VariantFalse;
    case BusyPut: c.setBusy(platform::toVariantBool(a[0].toBool())); return {};
    case BufferSizeGet: return c.BufferSize();
    case BufferSizePut: c.setBufferSize(a[0].toInt()); return {};
    case IntervalGet: return c.Interval();
    case IntervalPut: c.setInterval(a[0].toInt()); return {};
    case StateGet: return QVariant::fromValue(c.State());
    case AcceptMethod: c.Accept(a[0].toInt()); return {};
    case StopSendMethod: return c.StopSend();
    case TimeCounterGet: return c.TimeCounter();
    case TimeCounterPut: c.setTimeCounter(a[0].toInt()); return {};
    }
    platform::raiseError(platform::err::NotSupported);
}

} // namespace sender
