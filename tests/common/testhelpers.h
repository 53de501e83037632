#pragma once
// Helpers shared by the tests.

#include "automation.h"
#include "socketcomponent.h"

#include <QString>
#include <QTest>

#include <functional>

namespace testing {

/// Runs `fn` and returns the number of the AutomationError it throws (0 when it throws none).
int errorNumberOf(const std::function<void()> &fn);

/// Makes `listener` listen on an ephemeral port on 127.0.0.1 and `client` connect to it; the
/// listener accepts the request itself. Returns false (with a test failure) when it does not connect.
bool connectPair(platform::SocketComponent &listener, platform::SocketComponent &client);

/// Waits until `condition` holds (up to `timeoutMs`), processing events meanwhile.
bool waitFor(const std::function<bool()> &condition, int timeoutMs = 5000);

} // namespace testing

/// Checks that `expr` throws an AutomationError with `number`.
#define QVERIFY_AUTOMATION_ERROR(expr, number) \
    QCOMPARE(testing::errorNumberOf([&] { expr; }), (number))
