#pragma once
// Desktop notifications through the freedesktop notification service on the session bus
// (org.freedesktop.Notifications): offers with Accept and Decline, and files received with an
// action that opens their folder.

#include "offerasker.h"

#include <QDBusInterface>
#include <QHash>
#include <QString>

#include <memory>

class DesktopNotifier : public OfferAsker
{
    Q_OBJECT
public:
    explicit DesktopNotifier(QObject *parent = nullptr);
    /// Whether a notification service answers on the session bus now.
    bool available();

    void ask(const OfferQuestion &question) override;
    void withdraw() override;
    /// Tells the user a file arrived; its action opens `folder` (with xdg-open).
    void received(const QString &name, qint64 size, const QString &peer, const QString &folder);

signals:
    /// A notification could not be shown: the service went away.
    void failed(const QString &why);

private slots:
    void onAction(quint32 id, const QString &action);
    void onClosed(quint32 id, quint32 reason);

private:
    quint32 notify(const QString &summary, const QString &body, const QStringList &actions, int timeoutMsec);
    QString bodyText(const QString &text) const;

    std::unique_ptr<QDBusInterface> m_service;
    bool m_markup = false;        ///< the service reads markup in bodies: text is escaped for it
    quint32 m_offerId = 0;        ///< the notification of the offer that waits (0: none)
    QHash<quint32, QString> m_folders; ///< received-file notifications and the folders they open
};
