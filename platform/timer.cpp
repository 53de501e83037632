#include "timer.h"

#include "automation.h"

namespace platform {

Timer::Timer(QObject *parent)
    : QObject(parent)
{
    // Precise timing: the pacing of a transfer depends on short intervals being kept.
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &Timer::tick);
}

void Timer::setEnabled(bool enabled)
{
    m_enabled = enabled;
    apply();
}

void Timer::setInterval(qint32 intervalMsec)
{
    if (intervalMsec < 0)
        raiseError(err::InvalidPropertyValue);
    m_intervalMsec = intervalMsec;
    apply();
}

void Timer::apply()
{
    const bool shouldRun = m_enabled && m_intervalMsec > 0;
    if (!shouldRun) {
        m_timer.stop();
        return;
    }
    if (m_timer.isActive() && m_timer.interval() == m_intervalMsec)
        return;
    m_timer.start(m_intervalMsec);
}

} // namespace platform
