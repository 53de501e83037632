#include "offerasker.h"

#include "lineescape.h"
#include "shownsize.h"

#include <QLocale>
#include <QTextStream>
#include <QTimer>

#include <cerrno>
#include <unistd.h>

TerminalAsker::TerminalAsker(QObject *parent)
    : OfferAsker(parent)
    , m_input(STDIN_FILENO, QSocketNotifier::Read)
{
    connect(&m_input, &QSocketNotifier::activated, this, &TerminalAsker::readInput);
}

QString batchText(const OfferQuestion &question)
{
    QString where;
    if (question.names.size() == 1) {
        where = QStringLiteral(" in %1/").arg(escapedForLine(question.names.first()));
    } else if (!question.names.isEmpty()) {
        QStringList shown;
        for (const QString &name : question.names.first(qMin<qsizetype>(3, question.names.size())))
            shown.append(escapedForLine(name));
        where = QStringLiteral(": ") + shown.join(QStringLiteral(", "));
        if (question.names.size() > 3)
            where += QStringLiteral(" and %1 more").arg(question.names.size() - 3);
    }
    return QStringLiteral("%1 offers %2 files (%3)%4")
        .arg(escapedForLine(question.peer), QLocale(QLocale::English).toString(question.files), shownSize(question.size),
             where);
}

void TerminalAsker::ask(const OfferQuestion &question)
{
    if (m_closed) {
        QTimer::singleShot(0, this, [this] { emit answered(false); });
        return;
    }
    m_asking = true;
    m_line.clear();
    if (question.files > 1) {
        QTextStream(stderr) << batchText(question) << ": accept? [y/N] " << Qt::flush;
        return;
    }
    QTextStream(stderr) << "accept " << escapedForLine(question.name) << " (" << shownSize(question.size)
                        << ") from " << escapedForLine(question.peer) << "? [y/N] " << Qt::flush;
}

void TerminalAsker::withdraw()
{
    if (!m_asking)
        return;
    m_asking = false;
    QTextStream(stderr) << "\n" << Qt::flush; // the question stands unanswered
}

void TerminalAsker::readInput()
{
    char buffer[512];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (n <= 0) {
        m_input.setEnabled(false);
        m_closed = true;
        if (m_asking) {
            m_asking = false;
            QTextStream(stderr) << "\n" << Qt::flush;
            emit answered(false);
        }
        return;
    }
    for (ssize_t i = 0; i < n; ++i) {
        if (buffer[i] != '\n') {
            if (m_line.size() < 64)
                m_line += buffer[i];
            continue;
        }
        const QByteArray answer = m_line.trimmed().toLower();
        m_line.clear();
        if (!m_asking)
            continue; // typed ahead: it answers nothing
        m_asking = false;
        emit answered(answer == "y" || answer == "yes");
    }
}
