#include "conversions.h"

#include "automation.h"

#include <QStringDecoder>
#include <QStringEncoder>

#include <cmath>
#include <limits>

namespace platform {

double roundHalfEven(double value)
{
    // nearbyint follows the current rounding mode, which is round-to-nearest-even by default.
    return std::nearbyint(value);
}

namespace {

template<typename Int>
Int wholeNumber(double value)
{
    if (std::isnan(value))
        raiseError(err::Overflow);
    const double r = roundHalfEven(value);
    if (r < double(std::numeric_limits<Int>::min()) || r > double(std::numeric_limits<Int>::max()))
        raiseError(err::Overflow);
    return static_cast<Int>(r);
}

// Only these are skipped inside a leading number; a CR, like any other character, ends it.
bool isBlank(QChar c)
{
    return c == u' ' || c == u'\t' || c == u'\n';
}

int digitValue(QChar c, int base)
{
    int d = -1;
    if (c >= u'0' && c <= u'9')
        d = c.unicode() - u'0';
    else if (c >= u'a' && c <= u'z')
        d = c.unicode() - u'a' + 10;
    else if (c >= u'A' && c <= u'Z')
        d = c.unicode() - u'A' + 10;
    return d >= 0 && d < base ? d : -1;
}

// Reads a number from the start of `s` (no blanks in it). Returns the value and how many
// characters it used; 0 characters used means no number.
std::pair<double, qsizetype> readNumber(const QString &s)
{
    qsizetype i = 0;
    const qsizetype n = s.size();
    if (n >= 2 && s[0] == u'&') {
        const QChar p = s[1].toUpper();
        const int base = p == u'H' ? 16 : p == u'O' ? 8 : 0;
        if (base != 0) {
            i = 2;
            quint64 v = 0;
            qsizetype digits = 0;
            while (i < n && digitValue(s[i], base) >= 0) {
                v = v * base + quint64(digitValue(s[i], base));
                ++i;
                ++digits;
                if (v > 0xFFFFFFFFull)
                    break;
            }
            if (digits == 0)
                return {0.0, 0};
            // Like the runtime's literals: up to 16 bits (or 32) the value is a signed integer.
            double value = double(v);
            if (v <= 0xFFFF && ((base == 16 && digits <= 4) || (base == 8 && digits <= 6)))
                value = double(qint16(quint16(v)));
            else if (v <= 0xFFFFFFFFull)
                value = double(qint32(quint32(v)));
            return {value, i};
        }
    }
    // Digits alone, as lengths and numbers of a header are written, are read at once: up to 15
    // of them a double holds exactly.
    qsizetype end = 0;
    quint64 whole = 0;
    while (end < n && end < 16 && s[end] >= u'0' && s[end] <= u'9')
        whole = whole * 10 + (s[end++].unicode() - u'0');
    const auto endsNumber = [](QChar c) {
        return c != u'.' && c != u'e' && c != u'E' && c != u'd' && c != u'D' && !c.isDigit();
    };
    if (end > 0 && end <= 15 && (end == n || endsNumber(s[end])))
        return {double(whole), end};
    QString text;
    if (i < n && (s[i] == u'+' || s[i] == u'-'))
        text += s[i++];
    qsizetype mantissaDigits = 0;
    while (i < n && s[i].isDigit() && s[i].unicode() < 128) {
        text += s[i++];
        ++mantissaDigits;
    }
    if (i < n && s[i] == u'.') {
        text += s[i++];
        while (i < n && s[i].isDigit() && s[i].unicode() < 128) {
            text += s[i++];
            ++mantissaDigits;
        }
    }
    if (mantissaDigits == 0)
        return {0.0, 0};
    if (i < n && (s[i] == u'e' || s[i] == u'E' || s[i] == u'd' || s[i] == u'D')) {
        qsizetype j = i + 1;
        QString exponent = QStringLiteral("e");
        if (j < n && (s[j] == u'+' || s[j] == u'-'))
            exponent += s[j++];
        qsizetype expDigits = 0;
        while (j < n && s[j].isDigit() && s[j].unicode() < 128) {
            exponent += s[j++];
            ++expDigits;
        }
        if (expDigits > 0) {
            text += exponent;
            i = j;
        }
    }
    bool ok = false;
    double value = text.toDouble(&ok);
    if (!ok) // Out of double range.
        value = text.startsWith(u'-') ? -std::numeric_limits<double>::infinity()
                                      : std::numeric_limits<double>::infinity();
    return {value, i};
}

} // namespace

qint16 wholeInt16(double value) { return wholeNumber<qint16>(value); }
qint32 wholeInt32(double value) { return wholeNumber<qint32>(value); }

double leadingNumber(const QString &text)
{
    QString compact;
    compact.reserve(text.size());
    for (QChar c : text)
        if (!isBlank(c))
            compact += c;
    const double v = readNumber(compact).first;
    return std::isfinite(v) ? v : 0.0;
}

std::optional<double> parseNumber(const QString &text)
{
    const QString t = text.trimmed();
    if (t.isEmpty())
        return std::nullopt;
    const auto [value, used] = readNumber(t);
    if (used != t.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

qint32 wholeInt32FromText(const QString &text)
{
    const auto n = parseNumber(text);
    if (!n)
        raiseError(err::TypeMismatch);
    return wholeInt32(*n);
}

QString numberToText(double value)
{
    if (std::isnan(value))
        return QStringLiteral("NaN");
    if (std::isinf(value))
        return value > 0 ? QStringLiteral("Infinity") : QStringLiteral("-Infinity");
    // Whole numbers that a double holds exactly are written as their digits alone.
    if (value == std::trunc(value) && std::fabs(value) <= 9007199254740992.0)
        return QString::number(qint64(value));
    QString s = QString::number(value, 'g', 15);
    const qsizetype e = s.indexOf(u'e');
    if (e < 0)
        return s;
    // Exponent as the runtime writes it: "1.5E+20", "1E-16".
    QString mantissa = s.left(e);
    QString exponent = s.mid(e + 1);
    QChar sign = u'+';
    if (exponent.startsWith(u'-') || exponent.startsWith(u'+')) {
        sign = exponent[0];
        exponent.remove(0, 1);
    }
    while (exponent.size() > 1 && exponent.startsWith(u'0'))
        exponent.remove(0, 1);
    return mantissa + u'E' + sign + exponent;
}

QString boolToText(bool value)
{
    return value ? QStringLiteral("True") : QStringLiteral("False");
}

namespace {

struct WireChoice
{
    bool chosen = false; ///< false until a program chose, or the environment was read
    QString name;        ///< "" for the system's own
};

WireChoice &wireChoice()
{
    static WireChoice choice;
    return choice;
}

bool keepsAscii(const QString &name)
{
    QStringEncoder encoder(name.toUtf8().constData());
    QStringDecoder decoder(name.toUtf8().constData(), QStringConverter::Flag::Stateless);
    if (!encoder.isValid() || !decoder.isValid())
        return false;
    QString ascii = QStringLiteral("\t\n\r");
    for (char16_t c = 0x20; c < 0x7F; ++c)
        ascii += QChar(c);
    const QByteArray bytes = encoder.encode(ascii);
    return bytes == ascii.toLatin1() && QString(decoder.decode(bytes)) == ascii && !decoder.hasError();
}

// The choice in force; a program that chose nothing gets $VELMORA_WIRE_ENCODING when it is usable.
const QString &wireName()
{
    WireChoice &choice = wireChoice();
    if (!choice.chosen) {
        choice.chosen = true;
        const QString name = qEnvironmentVariable(WireEncodingVariable);
        if (!name.isEmpty() && !setWireEncoding(name))
            qWarning("%s=%s is not a usable encoding; strings use the system's own", WireEncodingVariable,
                     qPrintable(name));
    }
    return choice.name;
}

QStringEncoder wireEncoder()
{
    const QString &name = wireName();
    return name.isEmpty() ? QStringEncoder(QStringConverter::System) : QStringEncoder(name.toUtf8().constData());
}

QStringDecoder wireDecoder()
{
    const QString &name = wireName();
    return name.isEmpty() ? QStringDecoder(QStringConverter::System, QStringConverter::Flag::Stateless)
                          : QStringDecoder(name.toUtf8().constData(), QStringConverter::Flag::Stateless);
}

} // namespace

bool setWireEncoding(const QString &name)
{
    if (!name.isEmpty() && !keepsAscii(name))
        return false;
    wireChoice() = {true, name.isEmpty() ? QString() : QString::fromUtf8(QStringEncoder(name.toUtf8().constData()).name())};
    return true;
}

QString wireEncoding()
{
    return wireName();
}

bool chooseWireEncoding(const std::optional<QString> &name, QString *error)
{
    const bool fromOption = name.has_value();
    const QString wanted = fromOption ? *name : qEnvironmentVariable(WireEncodingVariable);
    if (setWireEncoding(wanted))
        return true;
    if (error)
        *error = QStringLiteral("unknown or unusable encoding %1 (from %2): give a name such as GBK, GB18030, "
                                "Big5 or UTF-8 that writes ASCII as ASCII")
                     .arg(wanted, fromOption ? QStringLiteral("--encoding") : QLatin1String(WireEncodingVariable));
    return false;
}

QByteArray toWireBytes(const QString &text)
{
    QStringEncoder encoder = wireEncoder();
    return encoder.encode(text);
}

bool wireEncodingHolds(const QString &text)
{
    QStringEncoder encoder = wireEncoder();
    // Into a buffer on the stack for a name of usual length: a folder's every file is looked at.
    constexpr qsizetype Room = 1024;
    char room[Room];
    QByteArray larger;
    const qsizetype needed = encoder.requiredSpace(text.size());
    if (needed > Room)
        larger.resize(needed);
    encoder.appendToBuffer(needed > Room ? larger.data() : room, text);
    return !encoder.hasError();
}

WireText fromWireBytes(const QByteArray &bytes)
{
    QStringDecoder decoder = wireDecoder();
    WireText out;
    out.text = decoder.decode(bytes);
    out.faithful = !decoder.hasError();
    return out;
}

} // namespace platform
