#pragma once
// Accepted connections on their way to becoming connection requests: the process-wide table of
// requests raised and not yet adopted, and the pool where a listener sets connections up (a
// look at the peer's first bytes, then a stream that may need a handshake) several at a time,
// so that no one peer holds the listener. Used inside the platform library only; not installed.

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace platform {

class Transport;
class TransportProvider;

/// Sets a connection's descriptor up as every connection here has it: non-blocking, close on
/// exec, each send leaving at once, urgent bytes in line, a vanished peer noticed by keepalive.
void configureSocket(int descriptor);

/// A connection raised as a connection request and not yet adopted.
struct RaisedRequest
{
    Transport *stream = nullptr; ///< the ready stream that owns the descriptor; null for a plain one
    bool inspected = false;      ///< its peer's first bytes were looked at already
};

/// Puts a connection into the table of raised requests (which owns it from now on).
void addRaisedRequest(qintptr descriptor, RaisedRequest request = {});
/// Takes a connection out of the table; the caller owns it (and its stream) from now on.
std::optional<RaisedRequest> takeRaisedRequest(qintptr descriptor);
/// Closes a connection still in the table, freeing its stream.
void dropRaisedRequest(qintptr descriptor);

/// The connections a listener sets up at the same time. Each is configured, waits for its peer's
/// first bytes (at most TransportProvider::InspectMsec), and gets its stream from the provider;
/// one whose stream must get ready first stays until it is. A connection that is set up is put
/// into the table of raised requests and handed to `raise`; one that fails is closed and handed
/// to `failed`. Both are called from the event loop, never from inside a stream's notification.
class PendingAdmissions : public QObject
{
public:
    /// The most connections being set up at once, in all and from one address.
    static constexpr int MaxPending = 64;
    static constexpr int MaxPendingPerAddress = 8;

    /// `setupLimitMsec`: how long a connection may take, from admit() until it is raised.
    explicit PendingAdmissions(int setupLimitMsec, QObject *parent = nullptr);
    /// Closes every connection still being set up, with no report.
    ~PendingAdmissions() override;

    /// A connection set up: in the table of raised requests under its descriptor.
    std::function<void(qintptr)> raise;
    /// A connection closed before it was set up: its peer's address and why.
    std::function<void(const QString &address, const QString &why)> failed;

    /// Takes over the accepted connection `descriptor` from `address`, to be set up with the
    /// streams of `provider`. Past a bound, the oldest connection of the busiest address goes.
    void admit(int descriptor, const QString &address, TransportProvider &provider);
    /// Closes every connection still being set up and forgets both callbacks: nothing more is
    /// raised or reported.
    void closeAll();

private:
    struct Entry;
    using Entries = std::vector<std::unique_ptr<Entry>>;

    Entries::iterator find(quint64 id);
    void evictFor(const QString &address);
    void decide(quint64 id);
    void raiseSoon(Entry &entry);
    void deliver(quint64 id);
    void fail(quint64 id, const QString &why);
    void report(const QString &address, const QString &why);
    void onTick();
    void reschedule();

    Entries m_entries;
    quint64 m_lastId = 0;
    int m_setupLimitMsec;
    QTimer m_tick; ///< at the earliest deadline of any connection
};

} // namespace platform
