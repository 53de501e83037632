#include "testhelpers.h"

#include <QDeadlineTimer>

namespace testing {

int errorNumberOf(const std::function<void()> &fn)
{
    try {
        fn();
    } catch (const platform::AutomationError &e) {
        return e.number;
    }
    return 0;
}

bool waitFor(const std::function<bool()> &condition, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(5);
    }
    return true;
}

bool connectPair(platform::SocketComponent &listener, platform::SocketComponent &client)
{
    QObject::connect(&listener, &platform::SocketComponent::connectionRequest, &listener,
                     [&listener](qint32 id) {
                         listener.Close();
                         listener.Accept(id);
                     });
    listener.setLocalPort(0);
    listener.Listen();
    client.Connect(QStringLiteral("127.0.0.1"), listener.LocalPort());
    return waitFor([&] {
        return listener.State() == platform::SocketComponent::Connected
            && client.State() == platform::SocketComponent::Connected;
    });
}

} // namespace testing
