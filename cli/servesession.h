#pragma once
// velmora-cli --serve, a background receiver: one listener sets up many connections at once, and
// each peer it takes gets a control of its own (a CliSession), up to MaxPeers at the same time, so
// that a stalled, slow or hostile peer never keeps another out. With every place taken, a
// newcomer takes the place of the longest-connected peer that has not sent a message yet; else
// it is refused.

#include "clioptions.h"
#include "exitguard.h"
#include "offerasker.h"
#include "sendservice.h"
#include "socketcomponent.h"

#include <QJsonObject>
#include <QObject>

#include <list>
#include <memory>

class CliSession;

namespace secure {
class SecureConnector;
}

class ServeSession : public QObject
{
    Q_OBJECT
public:
    static constexpr int MaxPeers = 8;

    /// `secure` secures the peers' connections (null: plaintext only).
    ServeSession(const CliOptions &options, std::unique_ptr<secure::SecureConnector> secure);
    ~ServeSession() override;
    /// Runs until a signal or the time limit ends it; returns the exit status.
    int run();
    /// What the listener announces beside its port.
    QList<QByteArray> announcedText() const;

signals:
    /// The receiver listens on `port`, or (0) it listens no more.
    void listeningChanged(quint16 port);

private:
    void start();
    void onRequest(qint32 requestId);
    void print(const QString &text, const QJsonObject &json);

    CliOptions m_options;
    std::unique_ptr<secure::SecureConnector> m_secure; ///< outlives every peer's connection
    platform::SocketComponent m_listener;
    ExitGuard m_guard;
    std::unique_ptr<SendService> m_sendService; ///< SendFiles for other programs
    std::unique_ptr<TerminalAsker> m_terminal;  ///< shared by the peers: one question at a time
    std::list<std::unique_ptr<CliSession>> m_peers; ///< the longest-connected first
};
