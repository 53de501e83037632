#pragma once
// Number and text conversions with the desktop runtime's rules.

#include "velmora_platform_export.h"

#include <QString>

#include <optional>

namespace platform {

/// Rounds to the nearest whole number; an exact half goes to the even neighbour.
VELMORA_PLATFORM_EXPORT double roundHalfEven(double value);

/// Whole 16-bit number: rounded half to even; outside the range (or NaN) fails with 6.
VELMORA_PLATFORM_EXPORT qint16 wholeInt16(double value);
/// Whole 32-bit number: rounded half to even; outside the range (or NaN) fails with 6.
VELMORA_PLATFORM_EXPORT qint32 wholeInt32(double value);

/// The number at the start of `text`: sign, digits, point, exponent, &H / &O prefixes;
/// blanks, tabs and line feeds are ignored anywhere; any other character ends the number.
/// Never fails: a text that does not begin with a number gives 0.
VELMORA_PLATFORM_EXPORT double leadingNumber(const QString &text);

/// The whole text read as a number (surrounding blanks allowed), or nothing when it is not one.
VELMORA_PLATFORM_EXPORT std::optional<double> parseNumber(const QString &text);

/// The whole text as a 32-bit integer: not a number fails with 13, out of range with 6.
VELMORA_PLATFORM_EXPORT qint32 wholeInt32FromText(const QString &text);

/// A number as text: plain digits for whole numbers, otherwise up to 15 significant digits.
VELMORA_PLATFORM_EXPORT QString numberToText(double value);

/// "True" or "False".
VELMORA_PLATFORM_EXPORT QString boolToText(bool value);

// The wire encoding: the 8-bit encoding strings take on the wire, one choice for the whole
// process. It is the system's own unless a program chooses another.

/// The environment variable that names the wire encoding for programs that do not name one.
inline constexpr char WireEncodingVariable[] = "VELMORA_WIRE_ENCODING";

/// Chooses the wire encoding by name: any encoding QStringEncoder knows ("GBK", "GB18030",
/// "Big5", "Shift_JIS", "UTF-8", ...), or "" for the system's own. Returns false and keeps the
/// choice as it was for a name it does not know, or for an encoding that does not write ASCII
/// as ASCII (the wire's tags, numbers and separators are ASCII).
VELMORA_PLATFORM_EXPORT bool setWireEncoding(const QString &name);
/// The chosen encoding's name; "" for the system's own.
VELMORA_PLATFORM_EXPORT QString wireEncoding();
/// Chooses the wire encoding for a program: `name` when given, else $VELMORA_WIRE_ENCODING when
/// set, else the system's own. Returns false, with the reason in `error`, for a name
/// setWireEncoding refuses.
VELMORA_PLATFORM_EXPORT bool chooseWireEncoding(const std::optional<QString> &name, QString *error);

/// `text` in the wire encoding; a character it cannot hold becomes the encoding's substitute.
VELMORA_PLATFORM_EXPORT QByteArray toWireBytes(const QString &text);
/// True when the wire encoding holds every character of `text` (toWireBytes substitutes none).
VELMORA_PLATFORM_EXPORT bool wireEncodingHolds(const QString &text);

/// Text read from the wire.
struct WireText
{
    QString text;
    bool faithful = true; ///< false when some bytes were invalid in the wire encoding
};
/// `bytes` read in the wire encoding; invalid bytes (an incomplete sequence at the end included)
/// become replacement characters or are dropped, and clear `faithful`.
VELMORA_PLATFORM_EXPORT WireText fromWireBytes(const QByteArray &bytes);

} // namespace platform
