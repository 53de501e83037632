#include "netaddress.h"

#include <algorithm>
#include <cstring>

#include <net/if.h>
#include <netinet/in.h>

namespace platform::net {

QHostAddress plain(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4) : address;
}

QString text(const QHostAddress &address)
{
    return address.isNull() ? QString() : plain(address).toString();
}

QHostAddress fromSocketAddress(const sockaddr *socketAddress)
{
    QHostAddress address = plain(QHostAddress(socketAddress));
    if (socketAddress->sa_family == AF_INET6 && address.protocol() == QAbstractSocket::IPv6Protocol) {
        const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(socketAddress);
        char name[IF_NAMESIZE] = "";
        if (in6->sin6_scope_id != 0)
            address.setScopeId(::if_indextoname(in6->sin6_scope_id, name) ? QString::fromLocal8Bit(name)
                                                                            : QString::number(in6->sin6_scope_id));
    }
    return address;
}

QHostAddress peerOf(int descriptor)
{
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    if (::getpeername(descriptor, reinterpret_cast<sockaddr *>(&storage), &length) != 0)
        return QHostAddress();
    return fromSocketAddress(reinterpret_cast<sockaddr *>(&storage));
}

QString hostAddressText(const QList<QHostAddress> &addresses)
{
    const auto first = [&](auto wanted) {
        const auto it = std::find_if(addresses.cbegin(), addresses.cend(), wanted);
        return it == addresses.cend() ? QString() : it->toString();
    };
    const auto usable = [](const QHostAddress &a) { return !a.isLoopback() && !a.isNull(); };
    QString text = first([&](const QHostAddress &a) { return usable(a) && a.protocol() == QAbstractSocket::IPv4Protocol; });
    if (text.isEmpty())
        text = first([&](const QHostAddress &a) { return usable(a) && a.protocol() == QAbstractSocket::IPv6Protocol && !a.isLinkLocal(); });
    if (text.isEmpty())
        text = first([&](const QHostAddress &a) { return usable(a) && a.isLinkLocal(); });
    return text.isEmpty() ? QStringLiteral("127.0.0.1") : text;
}

QHostAddress literal(const QString &text)
{
    QString bare = text.trimmed();
    if (bare.startsWith(u'[') && bare.endsWith(u']'))
        bare = bare.mid(1, bare.size() - 2);
    else if (bare.startsWith(u'[') || bare.endsWith(u']'))
        return QHostAddress();
    // Digits and dots only, or something with a colon: never a host name that Qt would take
    // for a number ("1" is a name, not 0.0.0.1).
    const bool ipv4 = !bare.isEmpty() && bare.count(u'.') == 3
        && std::all_of(bare.cbegin(), bare.cend(), [](QChar c) { return c == u'.' || (c >= u'0' && c <= u'9'); });
    if (!ipv4 && !bare.contains(u':'))
        return QHostAddress();
    QHostAddress address;
    if (!address.setAddress(bare))
        return QHostAddress();
    return address;
}

bool toSocketAddress(const QHostAddress &address, quint16 port, sockaddr_storage &out, socklen_t &length)
{
    out = sockaddr_storage{};
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        auto *in = reinterpret_cast<sockaddr_in *>(&out);
        in->sin_family = AF_INET;
        in->sin_port = htons(port);
        in->sin_addr.s_addr = htonl(address.toIPv4Address());
        length = sizeof(sockaddr_in);
        return true;
    }
    if (address.protocol() != QAbstractSocket::IPv6Protocol)
        return false;
    auto *in6 = reinterpret_cast<sockaddr_in6 *>(&out);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(port);
    const Q_IPV6ADDR bytes = address.toIPv6Address();
    std::memcpy(&in6->sin6_addr, &bytes, sizeof bytes);
    const QString zone = address.scopeId();
    if (!zone.isEmpty()) {
        bool number = false;
        const uint index = zone.toUInt(&number);
        in6->sin6_scope_id = number ? index : ::if_nametoindex(zone.toLocal8Bit().constData());
        if (in6->sin6_scope_id == 0)
            return false;
    }
    length = sizeof(sockaddr_in6);
    return true;
}

std::optional<HostAndPort> splitHostAndPort(const QString &text, quint16 lowestPort)
{
    qsizetype colon = -1;
    QString host;
    if (text.startsWith(u'[')) {
        const qsizetype close = text.indexOf(u']');
        if (close < 0 || close + 1 >= text.size() || text[close + 1] != u':')
            return std::nullopt;
        host = text.mid(1, close - 1);
        if (literal(host).protocol() != QAbstractSocket::IPv6Protocol)
            return std::nullopt;
        colon = close + 1;
    } else {
        colon = text.indexOf(u':');
        if (colon <= 0 || text.indexOf(u':', colon + 1) >= 0)
            return std::nullopt; // no host, or an IPv6 address without its brackets
        host = text.left(colon);
    }
    const QString portText = text.mid(colon + 1);
    bool ok = false;
    const uint port = portText.toUInt(&ok);
    if (!ok || portText.isEmpty() || !std::all_of(portText.cbegin(), portText.cend(), [](QChar c) { return c >= u'0' && c <= u'9'; })
        || port < lowestPort || port > 65535)
        return std::nullopt;
    return HostAndPort{host, quint16(port)};
}

} // namespace platform::net
