#pragma once
// SIGINT and SIGTERM delivered as a Qt signal on the event loop, so that a run can end cleanly.

#include <QObject>

class QSocketNotifier;

class TerminationSignals : public QObject
{
    Q_OBJECT
public:
    /// Catches SIGINT and SIGTERM for the life of the object.
    explicit TerminationSignals(QObject *parent = nullptr);
    ~TerminationSignals() override;

signals:
    /// `signalNumber` arrived.
    void received(int signalNumber);

private:
    void readPipe();
    QSocketNotifier *m_notifier = nullptr;
};
