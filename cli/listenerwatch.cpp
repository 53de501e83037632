#include "listenerwatch.h"

#include "identity.h"
#include "lineescape.h"
#include "pairing.h"
#include "receivefolder.h"
#include "secureconnector.h"
#include "socketcomponent.h"

#include <QDateTime>
#include <QTextStream>

void warnOfSharedFolder(const QString &folder)
{
    if (sender::ReceiveFolder(folder).sharedWithoutStickyBit())
        QTextStream(stderr) << "velmora-cli: " << escapedForLine(folder)
                            << " may be written by other users and has no sticky bit: they can rename or replace what "
                               "arrives there\n"
                            << Qt::flush;
}

QList<QByteArray> announcedSecurity(const secure::SecureConnector *connector)
{
    if (!connector)
        return {};
    return {"sec=1", "fp=" + connector->identity().fingerprint().toHex().left(16)};
}

void watchListener(platform::SocketComponent &listener, secure::SecureConnector *connector, QObject *context,
                   const CliPrinter &print)
{
    QObject::connect(&listener, &platform::SocketComponent::requestRefused, context, [print](const QString &address) {
        print(QStringLiteral("refused: ") + address, {{"event", "refused"}, {"peer", address}});
    });
    // Connections that failed to be set up never reach a control: they are said here.
    QObject::connect(&listener, &platform::SocketComponent::admissionFailed, context,
                     [print](const QString &address, const QString &why) {
                         print(QStringLiteral("refused: %1 (%2)").arg(address, escapedForLine(why)),
                               {{"event", "refused"}, {"peer", address}, {"reason", why}});
                     });
    if (!connector)
        return;
    QObject::connect(connector, &secure::SecureConnector::pairingCodeChanged, context,
                     [print, connector](const QByteArray &code) {
                         if (!code.isEmpty()) {
                             print(QStringLiteral("pairing code: ") + secure::PairingRun::shownCode(code),
                                   {{"event", "pairing-code"}, {"code", QString::fromLatin1(code)}});
                             return;
                         }
                         const QDateTime until = connector->pairingPausedUntil();
                         const QString when = until.isValid() ? until.toLocalTime().toString(QStringLiteral("HH:mm:ss"))
                                                              : QStringLiteral("further notice");
                         print(QStringLiteral("pairing code: none until %1 (spent after %2 wrong codes; "
                                              "velmora-cli --new-code ends the pause)")
                                   .arg(when)
                                   .arg(secure::SecureConnector::WrongCodesAllowed),
                               {{"event", "pairing-code"}, {"code", QString()}, {"until", until.toString(Qt::ISODate)}});
                     });
    QObject::connect(connector, &secure::SecureConnector::wrongCode, context,
                     [print](const QString &address, const QString &calls, const QByteArray &fingerprint, int left) {
                         print(QStringLiteral("wrong code: from %1 (%2, %3 …); %4")
                                   .arg(address, escapedForLine(calls), secure::Identity::shown(fingerprint).left(19),
                                        left > 0 ? QStringLiteral("%1 more before the code is spent").arg(left)
                                                 : QStringLiteral("the code is spent")),
                               {{"event", "wrong-code"}, {"peer", address}, {"calls", calls},
                                {"fingerprint", QString::fromLatin1(fingerprint.toHex())}, {"left", left}});
                     });
    QObject::connect(connector, &secure::SecureConnector::problem, context, [](const QString &why) {
        QTextStream(stderr) << "velmora-cli: " << why << "\n" << Qt::flush;
    });
}
