#include "messageassembler.h"

namespace sender {

MessageAssembler::MessageAssembler(std::function<bool()> bytesWaiting, QObject *parent)
    : QObject(parent)
    , m_bytesWaiting(std::move(bytesWaiting))
{
    m_quiet.setSingleShot(true);
    m_quiet.setInterval(QuietMsec);
    connect(&m_quiet, &QTimer::timeout, this, [this] {
        if (m_bytesWaiting())
            m_quiet.start(); // the next piece is there: it is looked at first
        else
            flush();
    });
}

void MessageAssembler::take(QByteArray &bytes)
{
    const qsizetype taken = qMin(bytes.size(), MaxBytes - m_held.size());
    m_held.append(bytes.constData(), taken);
    bytes.remove(0, taken);
    if (m_held.size() < MaxBytes)
        m_quiet.start();
    else
        flush();
}

void MessageAssembler::flush()
{
    m_quiet.stop();
    if (m_held.isEmpty())
        return;
    const QByteArray text = m_held.mid(wire::TagLength);
    m_held.clear(); // before the signal: its handler may hand us the next message
    emit complete(text);
}

} // namespace sender
