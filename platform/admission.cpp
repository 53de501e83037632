#include "admission.h"

#include "transport.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QHash>
#include <QPointer>
#include <QSocketNotifier>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

namespace platform {

namespace {

// A send to a peer that is gone must fail with EPIPE, not end the process.
void ignoreBrokenPipeSignal()
{
    static const bool done = [] {
        struct sigaction current {};
        if (::sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
            ::signal(SIGPIPE, SIG_IGN);
        return true;
    }();
    Q_UNUSED(done);
}

// Shared by every component of the process, so that one component can accept a request raised
// by another.
QHash<qintptr, RaisedRequest> &raisedRequests()
{
    static QHash<qintptr, RaisedRequest> requests;
    return requests;
}

// Lets go of a stream nobody will use: it closes its descriptor and frees itself.
void letGo(Transport *stream)
{
    stream->ready = nullptr;
    stream->refused = nullptr;
    // The application owns it while it closes, so a program that ends meanwhile frees it.
    stream->setParent(QCoreApplication::instance());
    stream->closeWhenDrained();
}

} // namespace

void configureSocket(int descriptor)
{
    ignoreBrokenPipeSignal();
    ::fcntl(descriptor, F_SETFL, ::fcntl(descriptor, F_GETFL) | O_NONBLOCK);
    ::fcntl(descriptor, F_SETFD, FD_CLOEXEC);
    const int on = 1;
    ::setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on); // each send leaves at once
    // An urgent (out-of-band) byte is an ordinary byte of the stream, in its place and counted.
    ::setsockopt(descriptor, SOL_SOCKET, SO_OOBINLINE, &on, sizeof on);
    // A peer that vanished without a word (a crashed host, a pulled cable) is noticed after about
    // two minutes of silence rather than the system's two hours.
    const int idleSec = 60, intervalSec = 10, probes = 6;
    ::setsockopt(descriptor, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(descriptor, IPPROTO_TCP, TCP_KEEPIDLE, &idleSec, sizeof idleSec);
    ::setsockopt(descriptor, IPPROTO_TCP, TCP_KEEPINTVL, &intervalSec, sizeof intervalSec);
    ::setsockopt(descriptor, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
}

void addRaisedRequest(qintptr descriptor, RaisedRequest request)
{
    raisedRequests().insert(descriptor, request);
}

std::optional<RaisedRequest> takeRaisedRequest(qintptr descriptor)
{
    const auto it = raisedRequests().constFind(descriptor);
    if (it == raisedRequests().cend())
        return std::nullopt;
    const RaisedRequest request = *it;
    raisedRequests().erase(it);
    return request;
}

void dropRaisedRequest(qintptr descriptor)
{
    const std::optional<RaisedRequest> request = takeRaisedRequest(descriptor);
    if (!request)
        return;
    if (request->stream)
        letGo(request->stream); // it owns the descriptor
    else
        ::close(int(descriptor));
}

// ---------------------------------------------------------------- the pool

struct PendingAdmissions::Entry
{
    enum class Phase {
        Inspecting, ///< waiting for the peer's first bytes
        Deciding,   ///< the provider looks at them; the descriptor is held outside the entry
        SettingUp,  ///< its stream gets ready
        Raising,    ///< set up; raised from the event loop
    };

    Entry(quint64 id, int fd, const QString &address, TransportProvider &provider, int setupLimitMsec)
        : id(id), fd(fd), address(address), provider(&provider)
        , inspectBy(TransportProvider::InspectMsec, Qt::PreciseTimer), setupBy(setupLimitMsec, Qt::PreciseTimer)
    {
    }
    ~Entry()
    {
        stopWatching();
        if (stream)
            letGo(stream); // it owns the descriptor
        else if (fd >= 0)
            ::close(fd);
    }
    void stopWatching()
    {
        // Disabled now, before its descriptor can be closed; deleted later, as this may run
        // inside its own notification.
        if (QSocketNotifier *n = std::exchange(notifier, nullptr)) {
            n->setEnabled(false);
            n->disconnect();
            n->deleteLater();
        }
    }

    const quint64 id;
    int fd;
    const QString address;
    TransportProvider *const provider;
    Phase phase = Phase::Inspecting;
    const QDeadlineTimer inspectBy;
    const QDeadlineTimer setupBy;
    QSocketNotifier *notifier = nullptr;
    Transport *stream = nullptr; ///< once chosen: it owns the descriptor
};

PendingAdmissions::PendingAdmissions(int setupLimitMsec, QObject *parent)
    : QObject(parent)
    , m_setupLimitMsec(setupLimitMsec)
{
    m_tick.setSingleShot(true);
    m_tick.setTimerType(Qt::PreciseTimer);
    connect(&m_tick, &QTimer::timeout, this, &PendingAdmissions::onTick);
}

PendingAdmissions::~PendingAdmissions()
{
    closeAll();
}

void PendingAdmissions::closeAll()
{
    raise = nullptr;
    failed = nullptr;
    m_tick.stop();
    const Entries closing = std::exchange(m_entries, {});
}

PendingAdmissions::Entries::iterator PendingAdmissions::find(quint64 id)
{
    return std::find_if(m_entries.begin(), m_entries.end(), [id](const auto &e) { return e->id == id; });
}

void PendingAdmissions::admit(int descriptor, const QString &address, TransportProvider &provider)
{
    auto entry = std::make_unique<Entry>(++m_lastId, descriptor, address, provider, m_setupLimitMsec);
    configureSocket(descriptor);
    evictFor(address);
    // Nothing is sent until the peer's first bytes (or their absence) tell which stream it speaks.
    entry->notifier = new QSocketNotifier(descriptor, QSocketNotifier::Read, this);
    connect(entry->notifier, &QSocketNotifier::activated, this, [this, id = entry->id] { decide(id); });
    m_entries.push_back(std::move(entry));
    reschedule();
}

void PendingAdmissions::evictFor(const QString &address)
{
    const auto oldestOf = [this](const QString &a) {
        return std::find_if(m_entries.begin(), m_entries.end(), [&](const auto &e) { return e->address == a; });
    };
    const auto tooMany = [](const QString &a) { return QStringLiteral("too many connections being set up from %1").arg(a); };
    const auto countOf = [this](const QString &a) {
        return int(std::count_if(m_entries.cbegin(), m_entries.cend(), [&](const auto &e) { return e->address == a; }));
    };
    if (countOf(address) >= MaxPendingPerAddress)
        fail((*oldestOf(address))->id, tooMany(address));
    if (m_entries.size() < size_t(MaxPending))
        return;
    // The newcomer counts, and on a tie its own address gives way: no address loses a connection
    // to one that ends up with more in the pool.
    QHash<QString, int> counts{{address, 1}};
    for (const auto &e : m_entries)
        ++counts[e->address];
    const int most = *std::max_element(counts.cbegin(), counts.cend());
    auto victim = counts.value(address) == most ? oldestOf(address) : m_entries.end();
    if (victim == m_entries.end())
        victim = std::find_if(m_entries.begin(), m_entries.end(), [&](const auto &e) { return counts.value(e->address) == most; });
    const QString busiest = (*victim)->address;
    fail((*victim)->id, tooMany(busiest));
}

void PendingAdmissions::decide(quint64 id)
{
    const auto it = find(id);
    if (it == m_entries.end() || (*it)->phase != Entry::Phase::Inspecting)
        return;
    Entry &entry = **it;
    entry.stopWatching();
    entry.phase = Entry::Phase::Deciding;
    TransportProvider *const provider = entry.provider;
    // Held here while the provider looks: a host notified meanwhile may close the listener.
    struct Held
    {
        int fd;
        ~Held()
        {
            if (fd >= 0)
                ::close(fd);
        }
    } held{std::exchange(entry.fd, -1)};
    char first[16];
    const ssize_t n = ::recv(held.fd, first, sizeof first, MSG_PEEK);
    QString refusal;
    const QPointer<PendingAdmissions> self(this);
    Transport *const stream = provider->accepted(held.fd, QByteArray(first, int(qMax<ssize_t>(n, 0))), &refusal);
    if (!self || find(id) == m_entries.end()) { // closed meanwhile
        if (stream) {
            held.fd = -1; // the stream owns it
            letGo(stream);
        }
        return;
    }
    Entry &e = **find(id);
    e.fd = std::exchange(held.fd, -1);
    e.stream = stream;
    if (stream)
        stream->setParent(this);
    if (!refusal.isEmpty()) {
        fail(id, refusal);
        return;
    }
    if (!stream || stream->isReady()) {
        raiseSoon(e);
        return;
    }
    e.phase = Entry::Phase::SettingUp;
    stream->ready = [this, id] { QMetaObject::invokeMethod(this, [this, id] { deliver(id); }, Qt::QueuedConnection); };
    stream->refused = [this, id](const QString &why) {
        QMetaObject::invokeMethod(this, [this, id, why] { fail(id, why); }, Qt::QueuedConnection);
    };
}

void PendingAdmissions::raiseSoon(Entry &entry)
{
    entry.phase = Entry::Phase::Raising;
    QMetaObject::invokeMethod(this, [this, id = entry.id] { deliver(id); }, Qt::QueuedConnection);
}

void PendingAdmissions::deliver(quint64 id)
{
    const auto it = find(id);
    if (it == m_entries.end() || ((*it)->phase != Entry::Phase::SettingUp && (*it)->phase != Entry::Phase::Raising))
        return;
    const std::unique_ptr<Entry> entry = std::move(*it);
    m_entries.erase(it);
    entry->stopWatching();
    const qintptr descriptor = entry->fd;
    Transport *const stream = entry->stream;
    if (stream) {
        stream->ready = nullptr;
        stream->refused = nullptr;
        stream->setParent(QCoreApplication::instance()); // until a component adopts it
    }
    addRaisedRequest(descriptor, {stream, true});
    entry->stream = nullptr; // the table owns it now
    entry->fd = -1;
    // Last: a handler may close the listener, and this pool with it.
    const auto raiseNow = raise;
    if (raiseNow)
        raiseNow(descriptor);
    else
        dropRaisedRequest(descriptor);
}

void PendingAdmissions::fail(quint64 id, const QString &why)
{
    const auto it = find(id);
    if (it == m_entries.end())
        return;
    const QString address = (*it)->address;
    m_entries.erase(it); // closes it
    report(address, why);
}

void PendingAdmissions::report(const QString &address, const QString &why)
{
    // From the event loop: a handler may close the listener, and nothing it does reaches into a
    // stream's notification or the pool's own work.
    QMetaObject::invokeMethod(this, [this, address, why] {
        if (const auto failedNow = failed) // a handler may close this pool
            failedNow(address, why);
    }, Qt::QueuedConnection);
}

void PendingAdmissions::onTick()
{
    QList<quint64> late, unheard;
    for (const auto &e : m_entries) {
        if (e->phase != Entry::Phase::Raising && e->setupBy.hasExpired())
            late.append(e->id);
        else if (e->phase == Entry::Phase::Inspecting && e->inspectBy.hasExpired())
            unheard.append(e->id);
    }
    const QString why = QStringLiteral("not set up within %1 s").arg(m_setupLimitMsec / 1000.0);
    for (quint64 id : late)
        fail(id, why);
    const QPointer<PendingAdmissions> self(this);
    for (quint64 id : unheard) {
        decide(id); // with whatever the peer sent by now, perhaps nothing
        if (!self)
            return;
    }
    reschedule();
}

void PendingAdmissions::reschedule()
{
    qint64 next = -1;
    const auto consider = [&next](const QDeadlineTimer &deadline) {
        const qint64 left = deadline.remainingTime();
        next = next < 0 ? left : qMin(next, left);
    };
    for (const auto &e : m_entries) {
        if (e->phase != Entry::Phase::Raising)
            consider(e->setupBy);
        if (e->phase == Entry::Phase::Inspecting)
            consider(e->inspectBy);
    }
    if (next < 0)
        m_tick.stop();
    else
        m_tick.start(int(next));
}

} // namespace platform
