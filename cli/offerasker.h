#pragma once
// Asking the user whether to accept a file a peer offers: one offer at a time.

#include <QByteArray>
#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QStringList>

/// What the user is asked about: who offers which file, and how large it is.
struct OfferQuestion
{
    QString name;  ///< the path the peer announced
    qint64 size = 0;
    QString peer;  ///< its name, or its address
    qint64 files = 1;  ///< more than one: a batch, `size` its total, `names` its top-level names
    QStringList names;
};

/// "office offers 5,000 files (20.5 MB) in photos/": a batch, as the user is asked about it.
QString batchText(const OfferQuestion &question);

/// Asks the user about offers and reports each answer with answered(). An offer that is settled
/// otherwise (its time limit, the peer leaving) is withdrawn, and no answer comes for it.
class OfferAsker : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    virtual void ask(const OfferQuestion &question) = 0;
    virtual void withdraw() = 0;

signals:
    void answered(bool accept);
};

/// Asks on the terminal: the question on standard error, the answer a line of standard input
/// ("y" or "yes" accepts; anything else declines). Lines typed while nothing is asked are thrown
/// away, so that nothing answers an offer before it is shown. Once standard input is closed,
/// every offer is declined.
class TerminalAsker : public OfferAsker
{
    Q_OBJECT
public:
    explicit TerminalAsker(QObject *parent = nullptr);
    void ask(const OfferQuestion &question) override;
    void withdraw() override;
    /// Whether a question waits for its answer.
    bool asking() const { return m_asking; }

private:
    void readInput();

    QSocketNotifier m_input;
    QByteArray m_line;   ///< what came of the line being typed
    bool m_asking = false;
    bool m_closed = false;
};
