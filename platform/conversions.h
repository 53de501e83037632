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

} // namespace platform
