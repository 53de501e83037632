#pragma once
// A proxy between two peers on 127.0.0.1 that forwards each direction in pieces of a chosen
// size, a chosen delay apart, as a slow network link does.

#include <QtGlobal>

#include <atomic>
#include <thread>

namespace testing {

class SplittingProxy
{
public:
    /// Listens on an ephemeral port of 127.0.0.1 and forwards the first connection to
    /// 127.0.0.1:`targetPort`, `pieceBytes` at a time with `delayMsec` between pieces.
    SplittingProxy(quint16 targetPort, int pieceBytes, int delayMsec);
    ~SplittingProxy();
    SplittingProxy(const SplittingProxy &) = delete;
    SplittingProxy &operator=(const SplittingProxy &) = delete;

    quint16 port() const { return m_port; }

private:
    void run(quint16 targetPort, int pieceBytes, int delayMsec);

    int m_listener = -1;
    quint16 m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

} // namespace testing
