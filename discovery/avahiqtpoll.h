#pragma once
// Avahi's poll API served by a Qt event loop.

#include <avahi-common/watch.h>

#include <QHash>
#include <QObject>

namespace discovery {

/// Runs Avahi's descriptor watches and timeouts on the event loop of the thread that creates it:
/// a watch is a QSocketNotifier per direction, a timeout a one-shot timer of this object.
/// Everything Avahi created through it must be freed before it is destroyed.
class AvahiQtPoll : public QObject
{
public:
    AvahiQtPoll();
    ~AvahiQtPoll() override;

    /// The table of functions to hand to avahi_client_new().
    const AvahiPoll *api() const { return &m_api; }

    // Used by the C entry points of the table.
    void arm(AvahiTimeout *timeout, const struct timeval *when);
    void disarm(AvahiTimeout *timeout);

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    AvahiPoll m_api;
    QHash<int, AvahiTimeout *> m_timers; ///< armed timeouts by timer id
};

} // namespace discovery
