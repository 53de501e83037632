#include "serviceannouncer.h"

#include "discoveryclient.h"

#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>

namespace discovery {

ServiceAnnouncer::ServiceAnnouncer(DiscoveryClient &client, QObject *parent)
    : QObject(parent)
    , m_client(client)
{
    connect(&client, &DiscoveryClient::running, this, [this] {
        if (m_wanted)
            publish();
    });
    connect(&client, &DiscoveryClient::suspended, this, [this] {
        if (m_group)
            avahi_entry_group_reset(m_group); // announced again once the host name is settled
    });
    connect(&client, &DiscoveryClient::unavailable, this, [this] {
        m_group = nullptr; // freed with the client
    });
    connect(&client, &DiscoveryClient::reconnecting, this, [this] {
        m_group = nullptr; // freed with the old connection; announced again on running()
    });
}

ServiceAnnouncer::~ServiceAnnouncer()
{
    withdraw();
}

void ServiceAnnouncer::announce(const QString &name, quint16 port, const QList<QByteArray> &text)
{
    m_wanted = true;
    m_name = (name.isEmpty() ? defaultInstanceName() : name).toUtf8();
    m_port = port;
    m_text = text;
    if (m_client.isRunning())
        publish();
}

void ServiceAnnouncer::withdraw()
{
    m_wanted = false;
    if (m_group && m_client.handle())
        avahi_entry_group_free(m_group); // says goodbye on the network
    m_group = nullptr;
}

void ServiceAnnouncer::publish()
{
    if (!m_group) {
        m_group = avahi_entry_group_new(
            m_client.handle(),
            [](AvahiEntryGroup *g, AvahiEntryGroupState state, void *self) { groupChanged(g, state, self); }, this);
        if (!m_group)
            return fail(QString::fromUtf8(avahi_strerror(avahi_client_errno(m_client.handle()))));
    } else {
        avahi_entry_group_reset(m_group);
    }
    // A name another service on this host holds already is refused at once: try its alternatives.
    AvahiStringList *text = nullptr;
    for (const QByteArray &entry : m_text)
        text = avahi_string_list_add(text, entry.constData());
    int result = AVAHI_ERR_COLLISION;
    for (int tries = 0; tries < 100 && result == AVAHI_ERR_COLLISION; ++tries) {
        result = avahi_entry_group_add_service_strlst(m_group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                                                      AvahiPublishFlags(0), m_name.constData(), ServiceType, nullptr,
                                                      nullptr, m_port, text);
        if (result == AVAHI_ERR_COLLISION)
            takeAlternativeName();
    }
    avahi_string_list_free(text);
    if (result >= 0)
        result = avahi_entry_group_commit(m_group);
    if (result < 0)
        fail(QString::fromUtf8(avahi_strerror(result)));
}

void ServiceAnnouncer::takeAlternativeName()
{
    char *alternative = avahi_alternative_service_name(m_name.constData());
    m_name = alternative;
    avahi_free(alternative);
}

void ServiceAnnouncer::groupChanged(AvahiEntryGroup *, int state, void *self)
{
    auto *a = static_cast<ServiceAnnouncer *>(self);
    switch (AvahiEntryGroupState(state)) {
    case AVAHI_ENTRY_GROUP_ESTABLISHED:
        emit a->announced(QString::fromUtf8(a->m_name));
        return;
    case AVAHI_ENTRY_GROUP_COLLISION:
        // Another host on the network holds the name: announce under the alternative.
        a->takeAlternativeName();
        a->publish();
        return;
    case AVAHI_ENTRY_GROUP_FAILURE:
        a->fail(QString::fromUtf8(avahi_strerror(avahi_client_errno(a->m_client.handle()))));
        return;
    case AVAHI_ENTRY_GROUP_UNCOMMITED:
    case AVAHI_ENTRY_GROUP_REGISTERING:
        return;
    }
}

void ServiceAnnouncer::fail(const QString &why)
{
    withdraw();
    emit failed(why);
}

} // namespace discovery
