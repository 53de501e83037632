#pragma once
// A multi-line text box whose text uses CR LF line ends, as the window's log expects.

#include <QPlainTextEdit>

class MultiLineTextBox : public QPlainTextEdit
{
    Q_OBJECT
public:
    explicit MultiLineTextBox(QWidget *parent = nullptr);
    /// The text with CR LF between lines.
    QString text() const;
    /// Shows `text`; CR LF pairs become line breaks. The view follows the end of the text.
    void setText(const QString &text);
};
