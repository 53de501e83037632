#include "socketerrors.h"

#include "automation.h"
#include "socketcomponent.h"

#include <cerrno>

namespace platform {

QString SocketComponent::errorDescription(qint32 number)
{
    switch (number) {
    case InvalidPropertyValue:
        return QStringLiteral("Invalid property value");
    case WrongProtocolOrState:
        return QStringLiteral("Wrong protocol or connection state for the requested transaction or request");
    case InvalidOperation:
        return QStringLiteral("Invalid operation at current state");
    case PermissionDenied:
        return QStringLiteral("Permission denied");
    case NotSocket:
        return QStringLiteral("Descriptor is not a socket");
    case AddressInUse:
        return QStringLiteral("Address in use");
    case AddressNotAvailable:
        return QStringLiteral("Address not available from the local machine");
    case ConnectionAborted:
        return QStringLiteral("Connection is aborted due to timeout or other failure");
    case ConnectionReset:
        return QStringLiteral("Connection is reset by remote side");
    case TimedOut:
        return QStringLiteral("Connection timed out");
    case ConnectionRefused:
        return QStringLiteral("Connection is forcefully rejected");
    case HostNotFound:
        return QStringLiteral("Host not found");
    default:
        return standardErrorDescription(number);
    }
}

qint32 mapSocketError(QAbstractSocket::SocketError e)
{
    switch (e) {
    case QAbstractSocket::ConnectionRefusedError:
        return SocketComponent::ConnectionRefused;
    case QAbstractSocket::HostNotFoundError:
        return SocketComponent::HostNotFound;
    case QAbstractSocket::SocketTimeoutError:
        return SocketComponent::TimedOut;
    case QAbstractSocket::RemoteHostClosedError:
        return SocketComponent::ConnectionReset;
    case QAbstractSocket::AddressInUseError:
        return SocketComponent::AddressInUse;
    case QAbstractSocket::SocketAddressNotAvailableError:
        return SocketComponent::AddressNotAvailable;
    case QAbstractSocket::SocketAccessError:
        return SocketComponent::PermissionDenied;
    default:
        return SocketComponent::ConnectionAborted;
    }
}

qint32 mapSystemError(int systemError)
{
    switch (systemError) {
    case ECONNREFUSED:
        return SocketComponent::ConnectionRefused;
    case ETIMEDOUT:
        return SocketComponent::TimedOut;
    case ECONNRESET:
    case EPIPE:
        return SocketComponent::ConnectionReset;
    case EADDRINUSE:
        return SocketComponent::AddressInUse;
    case EADDRNOTAVAIL:
        return SocketComponent::AddressNotAvailable;
    case EACCES:
    case EPERM:
        return SocketComponent::PermissionDenied;
    case ENOTSOCK:
    case EBADF:
        return SocketComponent::NotSocket;
    default:
        return SocketComponent::ConnectionAborted;
    }
}

} // namespace platform
