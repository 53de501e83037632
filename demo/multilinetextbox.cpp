#include "multilinetextbox.h"

#include <QScrollBar>
#include <QTextBlock>
#include <QTextDocument>

namespace {

const QString CrLf = QStringLiteral("\r\n");

// Characters the text document always turns into a new line.
bool startsLine(QChar c)
{
    return c == u'\r' || c == u'\n' || c == QChar::ParagraphSeparator || c == QChar(0xFDD0) || c == QChar(0xFDD1);
}

} // namespace

MultiLineTextBox::MultiLineTextBox(QWidget *parent)
    : QPlainTextEdit(parent)
{
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setTabChangesFocus(true);
    connect(document(), &QTextDocument::contentsChange, this, &MultiLineTextBox::keepBreaksOfEdit);
}

QString MultiLineTextBox::text() const
{
    // Block texts are raw: unlike toPlainText() they keep no-break spaces and line separators.
    QString out;
    int line = 0;
    for (QTextBlock b = document()->begin(); b.isValid(); b = b.next(), ++line) {
        if (line > 0)
            out += m_breaks.value(line - 1, CrLf);
        out += b.text();
    }
    return out;
}

void MultiLineTextBox::setText(const QString &text)
{
    QStringList breaks;
    QString shown;
    shown.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (!startsLine(c)) {
            shown += c;
        } else if (c == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') {
            breaks << CrLf;
            shown += u'\n';
            ++i;
        } else {
            breaks << QString(c);
            shown += u'\n';
        }
    }
    m_settingText = true;
    setPlainText(shown);
    m_settingText = false;
    m_breaks = breaks;
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

void MultiLineTextBox::keepBreaksOfEdit(int position, int, int charsAdded)
{
    if (m_settingText)
        return;
    // Lines before the edit and behind it keep their breaks; breaks made by the edit are CR LF.
    const int blocks = document()->blockCount();
    const int before = document()->findBlock(position).blockNumber();
    const QTextBlock end = document()->findBlock(position + charsAdded);
    const int after = end.isValid() ? blocks - 1 - end.blockNumber() : 0;
    QStringList breaks = m_breaks.mid(0, before);
    while (breaks.size() < blocks - 1 - after)
        breaks << CrLf;
    breaks += m_breaks.mid(qMax<qsizetype>(before, m_breaks.size() - after));
    m_breaks = breaks;
}
