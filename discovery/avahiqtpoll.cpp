#include "avahiqtpoll.h"

#include <avahi-common/timeval.h>

#include <QSocketNotifier>
#include <QTimerEvent>

#include <memory>

#include <poll.h>

// The opaque types of Avahi's poll API, defined here for this adapter.
struct AvahiWatch
{
    int fd;
    AvahiWatchEvent wanted;
    AvahiWatchEvent happened; ///< what the callback running now was called for
    AvahiWatchCallback callback;
    void *userdata;
    std::unique_ptr<QSocketNotifier> readable;
    std::unique_ptr<QSocketNotifier> writable;
};

struct AvahiTimeout
{
    discovery::AvahiQtPoll *poll;
    int timerId; ///< 0 while disarmed
    AvahiTimeoutCallback callback;
    void *userdata;
};

namespace discovery {

namespace {

// A notifier only says "ready": poll(2) tells the callback exactly which events happened.
void dispatch(AvahiWatch *w)
{
    pollfd p{w->fd, short(w->wanted), 0};
    if (::poll(&p, 1, 0) <= 0 || p.revents == 0)
        return;
    w->happened = AvahiWatchEvent(p.revents);
    w->callback(w, w->fd, w->happened, w->userdata); // may free w
}

void watchUpdate(AvahiWatch *w, AvahiWatchEvent events)
{
    w->wanted = events;
    w->readable->setEnabled(events & AVAHI_WATCH_IN);
    w->writable->setEnabled(events & AVAHI_WATCH_OUT);
}

AvahiWatch *watchNew(const AvahiPoll *, int fd, AvahiWatchEvent events, AvahiWatchCallback callback, void *userdata)
{
    auto *w = new AvahiWatch{fd, events, AvahiWatchEvent(0), callback, userdata,
                             std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read),
                             std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write)};
    QObject::connect(w->readable.get(), &QSocketNotifier::activated, [w] { dispatch(w); });
    QObject::connect(w->writable.get(), &QSocketNotifier::activated, [w] { dispatch(w); });
    watchUpdate(w, events);
    return w;
}

AvahiWatchEvent watchGetEvents(AvahiWatch *w)
{
    return w->happened;
}

// Freeing from inside the watch's own callback is allowed: a notifier survives its deletion
// during its own activation signal.
void watchFree(AvahiWatch *w)
{
    delete w;
}

AvahiTimeout *timeoutNew(const AvahiPoll *api, const struct timeval *when, AvahiTimeoutCallback callback,
                         void *userdata)
{
    auto *poll = static_cast<AvahiQtPoll *>(api->userdata);
    auto *t = new AvahiTimeout{poll, 0, callback, userdata};
    poll->arm(t, when);
    return t;
}

void timeoutUpdate(AvahiTimeout *t, const struct timeval *when)
{
    t->poll->arm(t, when);
}

void timeoutFree(AvahiTimeout *t)
{
    t->poll->disarm(t);
    delete t;
}

} // namespace

AvahiQtPoll::AvahiQtPoll()
    : m_api{this, watchNew, watchUpdate, watchGetEvents, watchFree, timeoutNew, timeoutUpdate, timeoutFree}
{
}

AvahiQtPoll::~AvahiQtPoll() = default;

void AvahiQtPoll::arm(AvahiTimeout *timeout, const struct timeval *when)
{
    disarm(timeout);
    if (!when)
        return;
    // `when` is an absolute time on the clock avahi_age() reads; a time already past fires at once.
    const AvahiUsec ahead = -avahi_age(when);
    const int msec = ahead > 0 ? int(qMin<AvahiUsec>((ahead + 999) / 1000, 24 * 3600 * 1000)) : 0;
    timeout->timerId = startTimer(msec, Qt::PreciseTimer);
    m_timers.insert(timeout->timerId, timeout);
}

void AvahiQtPoll::disarm(AvahiTimeout *timeout)
{
    if (timeout->timerId == 0)
        return;
    killTimer(timeout->timerId);
    m_timers.remove(timeout->timerId);
    timeout->timerId = 0;
}

void AvahiQtPoll::timerEvent(QTimerEvent *event)
{
    AvahiTimeout *t = m_timers.value(event->timerId());
    if (!t)
        return;
    disarm(t); // fires once; the callback may arm it again or free it
    t->callback(t, t->userdata);
}

} // namespace discovery
