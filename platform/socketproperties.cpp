// The socket component's properties: ports, addresses and what waits to be sent.

#include "socketcomponent.h"

#include "netaddress.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkInterface>

namespace platform {

namespace {

void checkPort(qint32 port)
{
    if (port < 0 || port > 65535)
        raiseError(SocketComponent::InvalidPropertyValue, SocketComponent::errorDescription(SocketComponent::InvalidPropertyValue));
}

} // namespace

qint32 SocketComponent::LocalPort() const
{
    if (m_connection && (m_state == Connected || m_state == Closing))
        return m_boundPort;
    return m_localPort;
}

void SocketComponent::setLocalPort(qint32 port)
{
    requireClosed();
    checkPort(port);
    m_localPort = port;
}

void SocketComponent::setLocalAddress(const QHostAddress &address)
{
    requireClosed();
    m_localAddress = address;
}

void SocketComponent::setRemoteHost(const QString &host)
{
    m_remoteHost = host;
}

qint32 SocketComponent::RemotePort() const
{
    if (m_connection && (m_state == Connected || m_state == Closing))
        return m_peerPort;
    return m_remotePort;
}

void SocketComponent::setRemotePort(qint32 port)
{
    requireClosed();
    checkPort(port);
    m_remotePort = port;
}

QString SocketComponent::LocalIP() const
{
    static const QString ip = net::hostAddressText(QNetworkInterface::allAddresses());
    return ip;
}

QString SocketComponent::LocalHostName() const
{
    return QHostInfo::localHostName();
}

QString SocketComponent::RemoteHostIP() const
{
    return m_connection ? m_peerIP : QString();
}

qint64 SocketComponent::bytesToWrite() const
{
    return m_connection ? m_connection->queued() : 0;
}

qint64 SocketComponent::bytesNotYetDelivered() const
{
    if (!m_connection)
        return 0;
    return m_connection->queued() + m_connection->unacknowledged();
}

} // namespace platform
