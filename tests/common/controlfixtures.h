#pragma once
// Fixtures for tests of the FileSender control: a site that records instead of showing boxes,
// an event sink that records events, and two controls connected over 127.0.0.1.

#include "controlsite.h"
#include "filesender.h"

#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>

#include <memory>

namespace testing {

/// A site that records message boxes and property notifications; user mode can be switched.
class RecordingSite : public platform::ControlSite
{
public:
    bool userMode = true;
    QStringList boxes;
    QList<int> boxStyles;
    QStringList boxTitles;
    QStringList changed;

    bool ambientUserMode() const override { return userMode; }
    void propertyChanged(const QString &name) override { changed.append(name); }
    int messageBox(const QString &text, int style, const QString &title) override
    {
        boxes.append(text);
        boxStyles.append(style);
        boxTitles.append(title);
        return 1;
    }
};

/// One recorded event: its id and its arguments as the sink saw them.
struct RecordedEvent
{
    platform::DispId id;
    QVariantList args;
};

/// Records every event; optionally writes into by-reference arguments.
class EventRecorder : public platform::EventSink
{
public:
    QList<RecordedEvent> events;
    std::function<void(platform::DispId, QVariantList &)> onEvent;

    void invoke(platform::DispId id, QVariantList &args) override
    {
        events.append({id, args});
        if (onEvent)
            onEvent(id, args);
    }
    QList<RecordedEvent> of(sender::FileSenderEvent id) const;
    QStringList messages() const;
};

/// A control with a recording site and a recording sink attached.
struct Peer
{
    Peer();
    ~Peer();
    std::unique_ptr<sender::FileSender> control;
    RecordingSite site;
    EventRecorder events;
    sender::FileSender *operator->() { return control.get(); }
    sender::FileSender &operator*() { return *control; }
};

/// `listener` listens on an ephemeral port, `client` connects over 127.0.0.1; true when both are connected.
bool connectControls(sender::FileSender &listener, sender::FileSender &client);

/// Waits until every byte either control has sent has been taken by the other (and so handled,
/// as the handling is done at the fetch); true once nothing is in flight.
bool settle(sender::FileSender &a, sender::FileSender &b);

/// A raw TCP peer for checking bytes on the wire against a control.
class RawPeer
{
public:
    /// Makes `control` listen and connects to it; true when both are connected.
    bool connectTo(sender::FileSender &control);
    /// Sends bytes as they are and waits until they are written.
    void send(const QByteArray &bytes);
    /// Waits until at least `count` bytes have arrived (or the timeout) and returns all received so far.
    QByteArray receive(qsizetype count, int timeoutMs = 5000);
    /// Everything received so far.
    QByteArray received();
    /// Waits until `control` has taken and handled every byte sent to it, and every byte it sent
    /// back is in received(); true once nothing is in flight. Bytes sent after it arrive apart.
    bool settle(sender::FileSender &control);
    QTcpSocket &socket() { return *m_socket; }

private:
    std::unique_ptr<QTcpSocket> m_socket;
    QByteArray m_buffer;
};

} // namespace testing
