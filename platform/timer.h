#pragma once
// A timer as the desktop runtime offers it: Enabled, Interval in milliseconds and a tick.

#include "velmora_platform_export.h"

#include <QObject>
#include <QTimer>

namespace platform {

/// Ticks on the GUI thread every Interval milliseconds, only while enabled with Interval above 0.
class VELMORA_PLATFORM_EXPORT Timer : public QObject
{
    Q_OBJECT
public:
    explicit Timer(QObject *parent = nullptr);

    bool Enabled() const { return m_enabled; }
    void setEnabled(bool enabled);

    qint32 Interval() const { return m_intervalMsec; }
    /// A negative interval fails with 380; a change on a running timer applies to the following ticks.
    void setInterval(qint32 intervalMsec);

signals:
    void tick();

private:
    void apply();

    QTimer m_timer;
    bool m_enabled = false;
    qint32 m_intervalMsec = 0;
};

} // namespace platform
