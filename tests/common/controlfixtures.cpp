#include "controlfixtures.h"

#include "testhelpers.h"

#include <sys/ioctl.h>

namespace testing {

QList<RecordedEvent> EventRecorder::of(sender::FileSenderEvent id) const
{
    QList<RecordedEvent> out;
    for (const RecordedEvent &e : events)
        if (e.id == platform::DispId(id))
            out.append(e);
    return out;
}

QStringList EventRecorder::messages() const
{
    QStringList out;
    for (const RecordedEvent &e : of(sender::FileSenderEvent::ReciveMessage))
        out.append(e.args.value(0).toString());
    return out;
}

Peer::Peer()
    : control(std::make_unique<sender::FileSender>())
{
    control->setSite(&site);
    control->initNew();
    control->advise(&events);
}

Peer::~Peer()
{
    control->unadvise(&events);
    control->setSite(nullptr);
}

bool connectControls(sender::FileSender &listener, sender::FileSender &client)
{
    listener.setLocalPort(0);
    listener.Listen();
    client.Connect(QStringLiteral("127.0.0.1"), listener.LocalPort());
    return waitFor([&] { return listener.State() == 7 && client.State() == 7; });
}

bool settle(sender::FileSender &a, sender::FileSender &b)
{
    return waitFor([&] {
        return a.socket().bytesNotYetDelivered() == 0 && b.socket().bytesNotYetDelivered() == 0
            && a.socket().BytesReceived() == 0 && b.socket().BytesReceived() == 0;
    });
}

bool RawPeer::connectTo(sender::FileSender &control)
{
    control.setLocalPort(0);
    control.Listen();
    m_socket = std::make_unique<QTcpSocket>();
    m_socket->connectToHost(QHostAddress::LocalHost, quint16(control.LocalPort()));
    return waitFor([&] { return control.State() == 7 && m_socket->state() == QAbstractSocket::ConnectedState; });
}

void RawPeer::send(const QByteArray &bytes)
{
    m_socket->write(bytes);
    waitFor([&] { return m_socket->bytesToWrite() == 0; });
}

QByteArray RawPeer::receive(qsizetype count, int timeoutMs)
{
    waitFor([&] {
        m_buffer += m_socket->readAll();
        return m_buffer.size() >= count;
    }, timeoutMs);
    return m_buffer;
}

QByteArray RawPeer::received()
{
    m_buffer += m_socket->readAll();
    return m_buffer;
}

bool RawPeer::settle(sender::FileSender &control)
{
    const qintptr fd = m_socket->socketDescriptor();
    return waitFor([&] {
        m_buffer += m_socket->readAll();
        int unread = 0;
        return m_socket->bytesToWrite() == 0 && unacknowledgedBytes(fd) == 0 && control.socket().BytesReceived() == 0
            && control.socket().bytesNotYetDelivered() == 0 && ::ioctl(int(fd), FIONREAD, &unread) == 0 && unread == 0;
    });
}

} // namespace testing
