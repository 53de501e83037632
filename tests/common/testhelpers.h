#pragma once
// Helpers shared by the tests.

#include "automation.h"
#include "socketcomponent.h"

#include <QProcess>
#include <QString>
#include <QTest>

#include <functional>

namespace testing {

/// Runs `fn` and returns the number of the AutomationError it throws (0 when it throws none).
int errorNumberOf(const std::function<void()> &fn);

/// Makes `listener` listen on an ephemeral port on 127.0.0.1 and `client` connect to it; the
/// listener accepts the request itself. Returns false (with a test failure) when it does not connect.
bool connectPair(platform::SocketComponent &listener, platform::SocketComponent &client,
                 const QString &host = QStringLiteral("127.0.0.1"));

/// Whether this machine's loopback takes IPv6 (::1); a test that needs it says so and skips.
bool loopbackHasIPv6();

/// `size` bytes that repeat seldom (no two seeds alike), so that a byte out of place shows.
QByteArray pattern(qsizetype size, int seed = 1);

/// Writes `bytes` as the whole file at `path`; false when it cannot.
bool writeFile(const QString &path, const QByteArray &bytes);
/// The whole file at `path`, or "<missing>".
QByteArray readFile(const QString &path);

/// Waits until `condition` holds (up to `timeoutMs`), processing events meanwhile.
bool waitFor(const std::function<bool()> &condition, int timeoutMs = 5000);

/// The exit status of `process`, whether it is still running or has already ended (its end
/// perhaps delivered by an earlier event loop); -2 when a signal ended it, and -1, with a
/// warning that says so, when it is still running after `timeoutMs`.
int exitStatusOf(QProcess &process, int timeoutMs = 60000);

/// Bytes written to the socket `descriptor` that its peer has not yet acknowledged.
qint64 unacknowledgedBytes(qintptr descriptor);

/// A port on 127.0.0.1 where nobody listens, for as long as the object lives: a socket bound to
/// it, but not listening, refuses every connection and keeps anyone else from taking the port.
class ClosedPort
{
public:
    ClosedPort();
    ~ClosedPort();
    ClosedPort(const ClosedPort &) = delete;
    ClosedPort &operator=(const ClosedPort &) = delete;
    quint16 port() const { return m_port; }

private:
    int m_fd = -1;
    quint16 m_port = 0;
};

} // namespace testing

/// Checks that `expr` throws an AutomationError with `number`.
#define QVERIFY_AUTOMATION_ERROR(expr, number) \
    QCOMPARE(testing::errorNumberOf([&] { expr; }), (number))
