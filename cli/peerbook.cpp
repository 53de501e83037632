#include "peerbook.h"

#include "discoveryclient.h"
#include "guessbudget.h"
#include "identity.h"
#include "keptparts.h"
#include "sentcheckpoints.h"
#include "knownpeers.h"
#include "lineescape.h"
#include "secureconnector.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

namespace {

void print(const CliOptions &o, const QString &text, const QJsonObject &json)
{
    QTextStream(stdout) << (o.json ? QString::fromUtf8(QJsonDocument(json).toJson(QJsonDocument::Compact)) : text)
                        << "\n";
}

int failed(const QString &why)
{
    QTextStream(stderr) << "velmora-cli: " << why << "\n";
    return cliexit::Failed;
}

} // namespace

int runPeerCommand(const CliOptions &options)
{
    QString error;
    if (options.showIdentity) {
        const auto identity = secure::Identity::loadOrCreate(secure::Identity::defaultFolder(), &error);
        if (!identity)
            return failed(error);
        const QString shown = secure::Identity::shown(identity->fingerprint());
        print(options, QStringLiteral("identity: %1 (%2)").arg(shown, escapedForLine(identity->path())),
              {{"event", "identity"}, {"fingerprint", QString::fromLatin1(identity->fingerprint().toHex())},
               {"file", identity->path()}});
        return cliexit::Done;
    }
    if (options.newCode) {
        // Every listener of this identity watches the count of guesses and makes a new code.
        if (!secure::GuessBudget(secure::SecureConnector::guessFile(secure::Identity::defaultFolder())).restart(&error))
            return failed(error);
        print(options, QStringLiteral("new code: every listener of this user shows a new pairing code now"),
              {{"event", "new-code"}});
        return cliexit::Done;
    }
    if (options.dropPartial) {
        const sender::KeptParts kept;
        const int gone = kept.sweep(0);
        sender::SentCheckpoints().sweep(kept.now(), 0);
        print(options, QStringLiteral("dropped: %1 partly received files").arg(gone),
              {{"event", "dropped-partial"}, {"count", gone}});
        return cliexit::Done;
    }
    secure::KnownPeers peers;
    if (!peers.load(&error))
        return failed(error);
    if (options.listPeers) {
        for (const secure::KnownPeer &p : peers.peers()) {
            print(options,
                  QStringLiteral("peer: %1 %2 paired %3, last seen %4")
                      .arg(escapedForLine(p.name), secure::Identity::shown(p.fingerprint),
                           p.paired.toString(Qt::ISODate), p.lastSeen.toString(Qt::ISODate)),
                  {{"event", "paired-peer"}, {"name", p.name}, {"fingerprint", QString::fromLatin1(p.fingerprint.toHex())},
                   {"paired", p.paired.toString(Qt::ISODate)}, {"last-seen", p.lastSeen.toString(Qt::ISODate)}});
        }
        return cliexit::Done;
    }
    const int gone = peers.forget(options.forget, &error);
    if (gone < 0)
        return failed(error);
    if (gone == 0)
        return failed(QStringLiteral("no paired peer is named or has the fingerprint %1").arg(escapedForLine(options.forget)));
    print(options, QStringLiteral("forgotten: %1").arg(escapedForLine(options.forget)),
          {{"event", "forgotten"}, {"peer", options.forget}, {"count", gone}});
    return cliexit::Done;
}

std::unique_ptr<secure::SecureConnector> makeConnector(const CliOptions &options, QString *error)
{
    const bool secures = options.listen ? options.acceptsSecurely() : options.connectsSecurely();
    if (!secures)
        return nullptr;
    auto identity = secure::Identity::loadOrCreate(secure::Identity::defaultFolder(), error);
    if (!identity)
        return nullptr;
    secure::KnownPeers peers;
    if (!peers.load(error))
        return nullptr;
    const QString name = options.name.isEmpty() ? discovery::defaultInstanceName() : options.name;
    auto connector = std::make_unique<secure::SecureConnector>(std::move(*identity), std::move(peers), name);
    if (options.listen) {
        connector->setAccepting(options.secure == CliOptions::Security::Required ? secure::SecureConnector::Accepting::SecureOnly
                                                                                 : secure::SecureConnector::Accepting::Both);
    } else {
        connector->setConnectSecurely(true);
        connector->setPairingCode(options.pairCode);
        connector->setExpectedName(options.peerName);
        connector->setAnnouncedFingerprint(options.announcedFingerprint);
    }
    return connector;
}
