#pragma once
// The background receiver's D-Bus service, org.velmora.Velmora on the session bus: other
// programs send files through it with SendFiles(peer, paths). Each call is a velmora-cli run
// of its own, connecting to the peer (NAME or HOST:PORT) and sending the paths.

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

class SendService : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.velmora.Velmora")
public:
    static constexpr char ServiceName[] = "org.velmora.Velmora";
    static constexpr char ObjectPath[] = "/org/velmora/Velmora";

    /// `program` is the velmora-cli that sends; `report` prints one line of what happened.
    SendService(QString program, std::function<void(const QString &text, const QString &event, const QString &peer,
                                                    const QString &detail)> report,
                QObject *parent = nullptr);
    /// Offers the service on the session bus; false, with why, when it cannot.
    bool publish(QString *why);

public slots:
    /// Sends `paths` (files and folders, absolute) to `peer`; SendFinished tells how it went.
    void SendFiles(const QString &peer, const QStringList &paths);

signals:
    /// A SendFiles call ended: with velmora-cli's exit status (0: every file went) and its summary.
    void SendFinished(const QString &peer, int status, const QString &summary);

private:
    QString m_program;
    std::function<void(const QString &, const QString &, const QString &, const QString &)> m_report;
};
