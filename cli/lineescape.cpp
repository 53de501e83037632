#include "lineescape.h"

#include <QList>

#include <algorithm>

namespace {

// Control and format characters, surrogates, private-use and unassigned code points, and the
// line and paragraph separators.
bool needsEscape(char32_t c)
{
    const QChar::Category category = QChar::category(c);
    return category == QChar::Other_Control || category == QChar::Other_Format || category == QChar::Other_Surrogate
        || category == QChar::Other_PrivateUse || category == QChar::Other_NotAssigned
        || category == QChar::Separator_Line || category == QChar::Separator_Paragraph;
}

} // namespace

QString escapedForLine(const QString &text)
{
    // Printable ASCII, most of what is shown, goes as it is.
    if (std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.unicode() >= 0x20 && c.unicode() < 0x7f; }))
        return text;
    QString out;
    out.reserve(text.size());
    for (const char32_t c : text.toUcs4()) {
        if (c == U'\n')
            out += QStringLiteral("\\n");
        else if (c == U'\r')
            out += QStringLiteral("\\r");
        else if (c == U'\t')
            out += QStringLiteral("\\t");
        else if (c == 0x1b)
            out += QStringLiteral("\\e");
        else if (needsEscape(c) && c < 0x100)
            out += QStringLiteral("\\x%1").arg(uint(c), 2, 16, QLatin1Char('0'));
        else if (needsEscape(c))
            out += QStringLiteral("\\u%1").arg(uint(c), 4, 16, QLatin1Char('0'));
        else if (QChar::requiresSurrogates(c))
            out.append(QChar(QChar::highSurrogate(c))).append(QChar(QChar::lowSurrogate(c)));
        else
            out += QChar(char16_t(c));
    }
    return out;
}
