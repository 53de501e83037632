#pragma once
// Addresses as users write them and as the system takes them, for both IP families.

#include "velmora_platform_export.h"

#include <QHostAddress>
#include <QList>
#include <QString>

#include <optional>

#include <sys/socket.h>

namespace platform::net {

/// `address` as peers and hosts are shown and matched: an IPv4 peer of a socket that takes both
/// families comes as ::ffff:a.b.c.d, and is a.b.c.d.
VELMORA_PLATFORM_EXPORT QHostAddress plain(const QHostAddress &address);
/// plain() as text ("" for no address); an IPv6 address keeps its zone (fe80::1%eth0).
VELMORA_PLATFORM_EXPORT QString text(const QHostAddress &address);
/// The address in `socketAddress`, plain; a link-local IPv6 one with its interface's name as
/// its zone (fe80::1%eth0), so that it can be reached again.
VELMORA_PLATFORM_EXPORT QHostAddress fromSocketAddress(const sockaddr *socketAddress);
/// The connected peer of socket `descriptor`, as fromSocketAddress() gives it (no address when
/// it has none).
VELMORA_PLATFORM_EXPORT QHostAddress peerOf(int descriptor);

/// The address to show as this host's among `addresses` (its interfaces'): the first IPv4 one
/// that is not loopback; on a host without one, the first IPv6 one beyond its link (global or
/// unique local), else the first link-local one with its zone; 127.0.0.1 when there is none.
VELMORA_PLATFORM_EXPORT QString hostAddressText(const QList<QHostAddress> &addresses);

/// An address typed by a user: IPv4 digits, or IPv6 with or without brackets and with a zone
/// given by the interface's name or number ("[fe80::1%eth0]"). No address for anything else (a
/// host name).
VELMORA_PLATFORM_EXPORT QHostAddress literal(const QString &text);

/// `address` and `port` as the system takes them; an IPv6 zone given by name is the index of
/// the interface of that name. False for no IP address, or a zone no interface has.
VELMORA_PLATFORM_EXPORT bool toSocketAddress(const QHostAddress &address, quint16 port, sockaddr_storage &out,
                                             socklen_t &length);

/// HOST and PORT of "HOST:PORT", "[IPv6]:PORT" or "IPv4:PORT"; an IPv6 address needs its
/// brackets, since its own colons would leave the port unclear. Nothing when malformed.
struct HostAndPort
{
    QString host; ///< without brackets
    quint16 port = 0;
};
VELMORA_PLATFORM_EXPORT std::optional<HostAndPort> splitHostAndPort(const QString &text, quint16 lowestPort = 1);

} // namespace platform::net
