#pragma once
// CPace over ristretto255 with SHA-512: pure functions over libsodium's group operations, one
// per step of the protocol. The message flow belongs to the pairing session that sends them.

#include "velmora_secure_export.h"

#include <QByteArray>
#include <QList>

#include <optional>

namespace secure::cpace {

/// The suite's domain separation string.
inline constexpr char Dsi[] = "CPaceRistretto255";
/// Bytes of an encoded group element and of a scalar.
inline constexpr int ElementBytes = 32;

/// `data` behind its length in LEB128.
VELMORA_SECURE_EXPORT QByteArray prependLength(const QByteArray &data);
/// Every string behind its length, one after the other.
VELMORA_SECURE_EXPORT QByteArray prefixFreeCat(const QList<QByteArray> &parts);
/// The string hashed to the generator: the suite's name and PRS padded to fill SHA-512's first
/// block, then CI and sid.
VELMORA_SECURE_EXPORT QByteArray generatorString(const QByteArray &prs, const QByteArray &ci, const QByteArray &sid);
/// The group element a 64-byte hash maps to: ristretto255's one-way map (two Elligator maps,
/// added), encoded.
VELMORA_SECURE_EXPORT QByteArray elementFromHash(const QByteArray &hash);
/// The generator for a password-related string PRS, channel identifier CI and session id sid,
/// encoded: the one-way map of SHA-512 of the generator string.
VELMORA_SECURE_EXPORT QByteArray generator(const QByteArray &prs, const QByteArray &ci, const QByteArray &sid);
/// A fresh secret scalar.
VELMORA_SECURE_EXPORT QByteArray sampleScalar();
/// `scalar` times the encoded element `element`, encoded; nothing when `element` does not decode
/// or the result is the neutral element (the protocol then aborts).
VELMORA_SECURE_EXPORT std::optional<QByteArray> scalarMult(const QByteArray &scalar, const QByteArray &element);
/// Whether `element` may be a party's share: an encoded group element other than the neutral one.
VELMORA_SECURE_EXPORT bool isShare(const QByteArray &element);
/// Overwrites `secret` with zeros and empties it.
VELMORA_SECURE_EXPORT void wipe(QByteArray &secret);
/// A party's message: its public share Y and its associated data AD, each behind its length.
VELMORA_SECURE_EXPORT QByteArray message(const QByteArray &share, const QByteArray &associated);
/// The `count` strings of a prefix-free concatenation; nothing when its lengths do not add up.
VELMORA_SECURE_EXPORT std::optional<QList<QByteArray>> parseFields(const QByteArray &data, int count);
/// The share and associated data of a message; nothing when its lengths do not add up.
VELMORA_SECURE_EXPORT std::optional<QPair<QByteArray, QByteArray>> parseMessage(const QByteArray &message);
/// The intermediate session key of an initiator/responder run: the hash of the ISK domain, sid
/// and the shared element K, then the initiator's message and the responder's.
VELMORA_SECURE_EXPORT QByteArray intermediateKey(const QByteArray &sid, const QByteArray &shared, const QByteArray &initiatorMessage,
                           const QByteArray &responderMessage);
/// The key confirmation tag a party sends over the message it sent: HMAC-SHA-512 keyed with the
/// hash of "CPaceMac" and the ISK.
VELMORA_SECURE_EXPORT QByteArray confirmationTag(const QByteArray &isk, const QByteArray &ownMessage);

} // namespace secure::cpace
