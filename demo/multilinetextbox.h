#pragma once
// A multi-line text box whose text keeps every character as typed or as set: CR LF between
// typed lines, and whatever line breaks (CR LF, lone CR, lone LF) a set text brought.

#include <QPlainTextEdit>
#include <QStringList>

class MultiLineTextBox : public QPlainTextEdit
{
    Q_OBJECT
public:
    explicit MultiLineTextBox(QWidget *parent = nullptr);
    /// The text: lines joined by the breaks they were set with (CR LF for typed ones);
    /// no-break spaces and line separators unchanged.
    QString text() const;
    /// Shows `text`; each CR LF, lone CR, lone LF or paragraph separator starts a new line and
    /// is kept as it was for `text()`. The view follows the end of the text.
    void setText(const QString &text);

private:
    void keepBreaksOfEdit(int position, int charsRemoved, int charsAdded);

    /// The break behind each line but the last, in line order.
    QStringList m_breaks;
    bool m_settingText = false;
};
