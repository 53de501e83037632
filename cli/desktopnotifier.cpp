#include "desktopnotifier.h"

#include "lineescape.h"
#include "shownsize.h"

#include <QDBusConnection>
#include <QDBusReply>
#include <QProcess>
#include <QVariantMap>

#include <utility>

namespace {

const QString Service = QStringLiteral("org.freedesktop.Notifications");
const QString Path = QStringLiteral("/org/freedesktop/Notifications");
const QString AcceptAction = QStringLiteral("accept");
const QString DeclineAction = QStringLiteral("decline");
const QString OpenAction = QStringLiteral("open-folder");
constexpr int OfferShownMsec = 0; // stays until answered: the offer's own time limit ends it
constexpr int CallTimeoutMsec = 2000;

} // namespace

DesktopNotifier::DesktopNotifier(QObject *parent)
    : OfferAsker(parent)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    m_service = std::make_unique<QDBusInterface>(Service, Path, Service, bus);
    // Calls wait for the service; one that hangs must not hold the transfers up for long.
    m_service->setTimeout(CallTimeoutMsec);
    bus.connect(Service, Path, Service, QStringLiteral("ActionInvoked"), this, SLOT(onAction(quint32,QString)));
    bus.connect(Service, Path, Service, QStringLiteral("NotificationClosed"), this,
                SLOT(onClosed(quint32,quint32)));
}

bool DesktopNotifier::available()
{
    if (!m_service)
        return false;
    // Asking for its capabilities starts a service the bus can activate.
    const QDBusReply<QStringList> capabilities = m_service->call(QStringLiteral("GetCapabilities"));
    if (!capabilities.isValid())
        return false;
    m_markup = capabilities.value().contains(QStringLiteral("body-markup"));
    return true;
}

QString DesktopNotifier::bodyText(const QString &text) const
{
    // Nothing a peer chose is interpreted: neither control characters nor markup.
    const QString line = escapedForLine(text);
    return m_markup ? line.toHtmlEscaped() : line;
}

quint32 DesktopNotifier::notify(const QString &summary, const QString &body, const QStringList &actions,
                                int timeoutMsec)
{
    if (!m_service)
        return 0;
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("velmora"));
    const QDBusReply<quint32> id =
        m_service->call(QStringLiteral("Notify"), QStringLiteral("Velmora"), quint32(0), QStringLiteral("velmora"),
                        summary, body, actions, hints, timeoutMsec);
    if (!id.isValid()) {
        emit failed(id.error().message());
        return 0;
    }
    return id.value();
}

void DesktopNotifier::ask(const OfferQuestion &question)
{
    withdraw();
    if (question.files > 1) {
        m_offerId = notify(QStringLiteral("Accept files?"), bodyText(batchText(question)),
                           {AcceptAction, QStringLiteral("Accept"), DeclineAction, QStringLiteral("Decline")},
                           OfferShownMsec);
        return;
    }
    m_offerId = notify(QStringLiteral("Accept a file?"),
                       QStringLiteral("%1 (%2) from %3")
                           .arg(bodyText(question.name), shownSize(question.size), bodyText(question.peer)),
                       {AcceptAction, QStringLiteral("Accept"), DeclineAction, QStringLiteral("Decline")},
                       OfferShownMsec);
}

void DesktopNotifier::withdraw()
{
    if (!m_offerId)
        return;
    const quint32 id = std::exchange(m_offerId, 0);
    if (m_service)
        m_service->asyncCall(QStringLiteral("CloseNotification"), id);
}

void DesktopNotifier::received(const QString &name, qint64 size, const QString &peer, const QString &folder)
{
    const quint32 id = notify(QStringLiteral("File received"),
                              QStringLiteral("%1 (%2) from %3").arg(bodyText(name), shownSize(size), bodyText(peer)),
                              {OpenAction, QStringLiteral("Open folder")}, -1);
    if (id)
        m_folders.insert(id, folder);
}

void DesktopNotifier::onAction(quint32 id, const QString &action)
{
    if (id && id == m_offerId) {
        m_offerId = 0;
        emit answered(action == AcceptAction);
    } else if (action == OpenAction && m_folders.contains(id)) {
        QProcess::startDetached(QStringLiteral("xdg-open"), {m_folders.take(id)});
    }
}

void DesktopNotifier::onClosed(quint32 id, quint32)
{
    // Closed without an answer (dismissed, or expired): declined.
    m_folders.remove(id);
    if (id && id == m_offerId) {
        m_offerId = 0;
        emit answered(false);
    }
}
