#pragma once
// What velmora-cli says about a listener beside its connections: who was refused at the door and
// why, the pairing code as it changes, each wrong guess at it and where it came from.

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <functional>

class QObject;

namespace platform {
class SocketComponent;
}
namespace secure {
class SecureConnector;
}

/// Prints one event: a text line, or with --json the JSON object.
using CliPrinter = std::function<void(const QString &text, const QJsonObject &json)>;

/// What a listener announces about itself beside its port (DNS-SD TXT entries): that it takes
/// secure peers, and the start of its fingerprint (nothing without a `connector`).
QList<QByteArray> announcedSecurity(const secure::SecureConnector *connector);

/// Says on standard error when other users may write in the receive folder `folder` without a
/// sticky bit: nothing they do there leads a receive out of it, but they can take what arrives.
void warnOfSharedFolder(const QString &folder);

/// Reports, for as long as `context` lives, the strangers `listener` refused and, with a
/// `connector`, its pairing code and the wrong guesses at it.
void watchListener(platform::SocketComponent &listener, secure::SecureConnector *connector, QObject *context,
                   const CliPrinter &print);
