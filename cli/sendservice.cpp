#include "sendservice.h"

#include "lineescape.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <utility>

SendService::SendService(QString program,
                         std::function<void(const QString &, const QString &, const QString &, const QString &)> report,
                         QObject *parent)
    : QObject(parent)
    , m_program(std::move(program))
    , m_report(std::move(report))
{
}

bool SendService::publish(QString *why)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        *why = QStringLiteral("no session bus");
        return false;
    }
    if (!bus.registerObject(QLatin1String(ObjectPath), this,
                            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals)
        || !bus.registerService(QLatin1String(ServiceName))) {
        *why = bus.lastError().message();
        if (why->isEmpty())
            *why = QStringLiteral("%1 is taken: another receiver runs").arg(QLatin1String(ServiceName));
        return false;
    }
    return true;
}

void SendService::SendFiles(const QString &peer, const QStringList &paths)
{
    QStringList args{"--connect", peer, "--json"};
    for (const QString &path : paths)
        args << "--send" << path;
    auto *run = new QProcess(this);
    run->setProcessChannelMode(QProcess::SeparateChannels);
    m_report(QStringLiteral("sending to %1: %2 paths").arg(escapedForLine(peer)).arg(paths.size()),
             QStringLiteral("send-files"), peer, QString::number(paths.size()));
    connect(run, &QProcess::finished, this, [this, run, peer](int status) {
        // Its last line sums the run up; a run that never got that far says why on stderr.
        QString summary;
        for (const QByteArray &line : run->readAllStandardOutput().split('\n')) {
            const QJsonObject e = QJsonDocument::fromJson(line).object();
            if (e.value("event").toString() == u"sent-all")
                summary = QStringLiteral("sent %1 of %2 files").arg(e.value("sent").toInt()).arg(e.value("files").toInt());
            else if (e.value("event").toString() == u"error" && summary.isEmpty())
                summary = e.value("description").toString();
        }
        if (summary.isEmpty())
            summary = QString::fromUtf8(run->readAllStandardError().trimmed().split('\n').first());
        run->deleteLater();
        m_report(QStringLiteral("sent to %1: %2").arg(escapedForLine(peer), escapedForLine(summary)),
                 QStringLiteral("send-files-done"), peer, summary);
        emit SendFinished(peer, status, summary);
    });
    run->start(m_program, args);
}
