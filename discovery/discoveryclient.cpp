#include "discoveryclient.h"

#include "avahiqtpoll.h"

#include <avahi-client/client.h>
#include <avahi-common/domain.h>
#include <avahi-common/error.h>

#include <QSysInfo>
#include <QTimer>

namespace discovery {

QString defaultInstanceName()
{
    return QSysInfo::machineHostName();
}

bool isValidInstanceName(const QString &name)
{
    return avahi_is_valid_service_name(name.toUtf8().constData());
}

DiscoveryClient::DiscoveryClient(QObject *parent)
    : QObject(parent)
    , m_poll(std::make_unique<AvahiQtPoll>())
{
    connectToDaemon(0);
}

void DiscoveryClient::connectToDaemon(int flags)
{
    int error = 0;
    // The state callback runs inside avahi_client_new() already and sets m_client there.
    AvahiClient *client = avahi_client_new(
        m_poll->api(), AvahiClientFlags(flags),
        [](AvahiClient *c, AvahiClientState state, void *self) { stateChanged(c, state, self); }, this, &error);
    if (!client) {
        m_client = nullptr;
        fail(error);
    }
}

DiscoveryClient::~DiscoveryClient()
{
    if (m_client)
        avahi_client_free(m_client); // frees its entry groups, browsers and resolvers too
}

void DiscoveryClient::stateChanged(AvahiClient *client, int state, void *self)
{
    auto *d = static_cast<DiscoveryClient *>(self);
    if (!d->m_reason.isEmpty())
        return;
    d->m_client = client;
    switch (AvahiClientState(state)) {
    case AVAHI_CLIENT_S_RUNNING:
        d->m_running = true;
        emit d->running();
        return;
    case AVAHI_CLIENT_S_REGISTERING:
    case AVAHI_CLIENT_S_COLLISION:
        if (d->m_running) {
            d->m_running = false;
            emit d->suspended();
        }
        return;
    case AVAHI_CLIENT_CONNECTING:
        // Waiting for the daemon: it was gone when a reconnection began, or it went away again.
        if (d->m_running)
            d->reconnect();
        return;
    case AVAHI_CLIENT_FAILURE:
        if (avahi_client_errno(client) == AVAHI_ERR_DISCONNECTED)
            d->reconnect();
        else
            d->fail(avahi_client_errno(client));
        return;
    }
}

void DiscoveryClient::reconnect()
{
    if (m_reconnecting)
        return;
    m_reconnecting = true;
    m_running = false;
    emit reconnecting(QStringLiteral("the Avahi daemon went away"));
    // Not freed inside Avahi's own callback: from the event loop, with a new connection that
    // waits for the daemon to come back.
    QTimer::singleShot(0, this, [this] {
        if (m_client)
            avahi_client_free(m_client);
        m_client = nullptr;
        m_reconnecting = false;
        connectToDaemon(AVAHI_CLIENT_NO_FAIL);
    });
}

void DiscoveryClient::fail(int error)
{
    m_running = false;
    m_reason = error == AVAHI_ERR_NO_DAEMON ? QStringLiteral("the Avahi daemon is not running")
             : error == AVAHI_ERR_DISCONNECTED ? QStringLiteral("the Avahi daemon went away")
                                               : QStringLiteral("Avahi: %1").arg(QString::fromUtf8(avahi_strerror(error)));
    // Not freed inside Avahi's own callback: later, from the event loop, after the users let go.
    QTimer::singleShot(0, this, [this] {
        emit unavailable(m_reason);
        if (m_client) {
            avahi_client_free(m_client);
            m_client = nullptr;
        }
    });
}

} // namespace discovery
