#include "servicebrowser.h"

#include "discoveryclient.h"

#include <avahi-client/lookup.h>
#include <avahi-common/error.h>
#include <avahi-common/strlst.h>

#include <cstdio>
#include <cstring>
#include <optional>

namespace discovery {

ServiceBrowser::ServiceBrowser(DiscoveryClient &client, QObject *parent)
    : QObject(parent)
    , m_client(client)
{
    // The client frees the browser and the resolvers; what was found is gone with them.
    connect(&client, &DiscoveryClient::unavailable, this, &ServiceBrowser::forget);
    connect(&client, &DiscoveryClient::reconnecting, this, &ServiceBrowser::forget);
    connect(&client, &DiscoveryClient::running, this, [this] {
        if (!m_browser)
            start(); // the daemon is back
    });
    start();
}

void ServiceBrowser::forget()
{
    m_browser = nullptr;
    m_sightings.clear();
    for (const QString &name : m_peers.keys())
        settle(name);
}

void ServiceBrowser::start()
{
    if (!m_client.handle())
        return;
    m_browser = avahi_service_browser_new(
        m_client.handle(), AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, ServiceType, nullptr, AvahiLookupFlags(0),
        [](AvahiServiceBrowser *b, AvahiIfIndex interface, AvahiProtocol protocol, AvahiBrowserEvent event,
           const char *name, const char *type, const char *domain, AvahiLookupResultFlags flags, void *self) {
            browsed(b, interface, protocol, event, name, type, domain, flags, self);
        },
        this);
    if (!m_browser) {
        const QString why = QString::fromUtf8(avahi_strerror(avahi_client_errno(m_client.handle())));
        QMetaObject::invokeMethod(this, [this, why] { emit failed(why); }, Qt::QueuedConnection);
    }
}

ServiceBrowser::~ServiceBrowser()
{
    stop();
}

void ServiceBrowser::stop()
{
    if (!m_client.handle())
        return;
    for (auto &[key, sighting] : m_sightings) {
        if (sighting.resolver)
            avahi_service_resolver_free(sighting.resolver);
    }
    m_sightings.clear();
    if (m_browser)
        avahi_service_browser_free(m_browser);
    m_browser = nullptr;
}

void ServiceBrowser::browsed(AvahiServiceBrowser *, int interface, int protocol, int event, const char *name,
                             const char *type, const char *domain, int flags, void *self)
{
    auto *b = static_cast<ServiceBrowser *>(self);
    switch (AvahiBrowserEvent(event)) {
    case AVAHI_BROWSER_NEW: {
        if (flags & AVAHI_LOOKUP_RESULT_OUR_OWN)
            return; // this host's own announcement
        const Key key{interface, protocol, QString::fromUtf8(name), QString::fromUtf8(domain)};
        if (b->m_sightings.count(key))
            return;
        Sighting &s = b->m_sightings[key];
        // Kept open: it reports again when the service's address or port changes. The address of
        // the family it was seen over: over both, both are found.
        s.resolver = avahi_service_resolver_new(
            b->m_client.handle(), interface, protocol, name, type, domain, protocol, AvahiLookupFlags(0),
            [](AvahiServiceResolver *r, AvahiIfIndex interface, AvahiProtocol protocol, AvahiResolverEvent event,
               const char *name, const char *, const char *domain, const char *, const AvahiAddress *a,
               uint16_t port, AvahiStringList *text, AvahiLookupResultFlags, void *self) {
                char address[AVAHI_ADDRESS_STR_MAX + 16] = "";
                if (a) {
                    avahi_address_snprint(address, AVAHI_ADDRESS_STR_MAX, a);
                    // A link-local IPv6 address is reached through the interface it was found on.
                    if (a->proto == AVAHI_PROTO_INET6 && a->data.ipv6.address[0] == 0xfe
                        && (a->data.ipv6.address[1] & 0xc0) == 0x80)
                        std::snprintf(address + std::strlen(address), 16, "%%%d", int(interface));
                }
                QList<QByteArray> entries;
                for (AvahiStringList *t = text; t; t = avahi_string_list_get_next(t))
                    entries.append(QByteArray(reinterpret_cast<const char *>(avahi_string_list_get_text(t)),
                                              qsizetype(avahi_string_list_get_size(t))));
                resolved(r, interface, protocol, event, name, domain, address, port, entries, self);
            },
            b);
        // The daemon keeps a limit on what one client may hold (1024 objects by default): a
        // service it will not resolve for us stays unlisted, and the host is told once.
        if (!s.resolver && !b->m_limitSaid) {
            b->m_limitSaid = true;
            emit b->limitReached(QString::fromUtf8(avahi_strerror(avahi_client_errno(b->m_client.handle()))));
        }
        return;
    }
    case AVAHI_BROWSER_REMOVE: {
        const Key key{interface, protocol, QString::fromUtf8(name), QString::fromUtf8(domain)};
        const auto it = b->m_sightings.find(key);
        if (it == b->m_sightings.end())
            return;
        if (it->second.resolver)
            avahi_service_resolver_free(it->second.resolver);
        b->m_sightings.erase(it);
        b->settle(std::get<2>(key));
        return;
    }
    case AVAHI_BROWSER_FAILURE:
        emit b->failed(QString::fromUtf8(avahi_strerror(avahi_client_errno(b->m_client.handle()))));
        b->stop();
        return;
    case AVAHI_BROWSER_CACHE_EXHAUSTED:
    case AVAHI_BROWSER_ALL_FOR_NOW:
        return;
    }
}

void ServiceBrowser::resolved(AvahiServiceResolver *resolver, int interface, int protocol, int event,
                              const char *name, const char *domain, const char *address, quint16 port,
                              const QList<QByteArray> &text, void *self)
{
    auto *b = static_cast<ServiceBrowser *>(self);
    const Key key{interface, protocol, QString::fromUtf8(name), QString::fromUtf8(domain)};
    const auto it = b->m_sightings.find(key);
    if (it == b->m_sightings.end() || it->second.resolver != resolver)
        return;
    Sighting &s = it->second;
    switch (AvahiResolverEvent(event)) {
    case AVAHI_RESOLVER_FOUND:
        s.resolved = true;
        s.peer = {std::get<2>(key), QString::fromLatin1(address), {}, port, text.contains("sec=1"), QString()};
        for (const QByteArray &entry : text) {
            if (entry.startsWith("fp="))
                s.peer.fingerprint = QString::fromLatin1(entry.mid(3)).toLower();
        }
        break;
    case AVAHI_RESOLVER_FAILURE:
        // No address answered in time: the sighting stays, unresolved, until it is removed.
        avahi_service_resolver_free(resolver);
        s.resolver = nullptr;
        s.resolved = false;
        break;
    }
    b->settle(std::get<2>(key));
}

void ServiceBrowser::settle(const QString &name)
{
    // The peer is what its first resolved sighting says, at the addresses of all of them; it is
    // gone when no sighting is left.
    bool seen = false;
    std::optional<DiscoveredPeer> peer;
    QStringList six, four;
    for (const auto &[key, sighting] : m_sightings) {
        if (std::get<2>(key) != name)
            continue;
        seen = true;
        if (!sighting.resolved)
            continue;
        if (!peer)
            peer = sighting.peer;
        if (sighting.peer.port != peer->port)
            continue; // another listener of that name: the first one's addresses only
        QStringList &family = sighting.peer.address.contains(u':') ? six : four;
        if (!family.contains(sighting.peer.address))
            family.append(sighting.peer.address);
    }
    if (peer) {
        peer->addresses = six + four;
        peer->address = four.isEmpty() ? six.value(0) : four.first();
        if (m_peers.value(name) != *peer) {
            m_peers.insert(name, *peer);
            emit peerFound(*peer);
        }
        return;
    }
    if (!seen && m_peers.remove(name))
        emit peerGone(name);
}

} // namespace discovery
