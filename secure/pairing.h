#pragma once
// One pairing run between a connecting side (the initiator) and a listener (the responder),
// inside an established TLS channel: CPace on the pairing code, bound to both sides'
// fingerprints (CI) and to a value exported from the channel (sid), with key confirmation.
// A man in the middle who ends TLS on each side sees other fingerprints and other exported
// values on each, so the two runs derive different keys and the confirmation fails; he gets
// one guess at the code per run. The steps are pure; the messages travel in pairing frames.

#include "velmora_secure_export.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace secure {

class VELMORA_SECURE_EXPORT PairingRun
{
public:
    /// What both sides put in: the code, the fingerprints of initiator and responder as each
    /// side sees them, and the value exported from the channel.
    struct Binding
    {
        QByteArray code;
        QByteArray initiatorFingerprint;
        QByteArray responderFingerprint;
        QByteArray exported;
    };

    PairingRun() = default;
    /// Wipes the secret scalar, the key and the tags.
    ~PairingRun();
    PairingRun(const PairingRun &) = delete;
    PairingRun &operator=(const PairingRun &) = delete;

    /// Initiator: its message (public share and its name).
    QByteArray start(const Binding &binding, const QString &ownName);
    /// Responder: given the initiator's message, its own message and confirmation tag; nothing
    /// when the message is malformed or its share invalid. `peerName` is the name the initiator sent.
    std::optional<QPair<QByteArray, QByteArray>> respond(const Binding &binding, const QString &ownName,
                                                         const QByteArray &initiatorMessage, QString *peerName);
    /// Initiator: given the responder's message and tag, its own tag; nothing when they do not
    /// prove the same code over the same channel (a wrong code, or someone in between).
    std::optional<QByteArray> finish(const QByteArray &responderMessage, const QByteArray &responderTag,
                                     QString *peerName);
    /// Responder: true when the initiator's tag proves the same key.
    bool confirm(const QByteArray &initiatorTag) const;

    /// The code as it is typed: six digits, with or without a blank or dash after the third.
    static std::optional<QByteArray> parseCode(const QString &text);
    /// A fresh code.
    static QByteArray newCode();
    /// A code as it is shown: "417-093".
    static QString shownCode(const QByteArray &code);

private:
    QByteArray m_scalar;
    QByteArray m_sid;
    QByteArray m_ownMessage;
    QByteArray m_isk;
    QByteArray m_generator;
    QByteArray m_expectedInitiatorTag;
};

} // namespace secure
