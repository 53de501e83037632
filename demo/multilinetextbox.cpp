#include "multilinetextbox.h"

#include <QScrollBar>

MultiLineTextBox::MultiLineTextBox(QWidget *parent)
    : QPlainTextEdit(parent)
{
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setTabChangesFocus(true);
}

QString MultiLineTextBox::text() const
{
    return toPlainText().replace(u'\n', QStringLiteral("\r\n"));
}

void MultiLineTextBox::setText(const QString &text)
{
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    setPlainText(shown);
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}
