// CliSession's offers: which the run takes, which it asks its user about (a file, or a batch
// once for all its files), and which it declines.

#include "clisession.h"

#include "lineescape.h"

void CliSession::setUpAsking()
{
    if (m_options.accepting == CliOptions::Accepting::All)
        return;
    m_control.setHoldOffers(true);
    connect(&m_control, &sender::FileSender::fileOffered, this, &CliSession::onOffer);
    connect(&m_control, &sender::FileSender::batchOffered, this, &CliSession::onBatchOffer);
    connect(&m_control, &sender::FileSender::offerSettled, this, &CliSession::onOfferSettled);
    if (m_options.accepting == CliOptions::Accepting::None)
        return; // nobody is asked
    for (OfferAsker *asker : {static_cast<OfferAsker *>(m_terminal), static_cast<OfferAsker *>(m_notifier.get())}) {
        if (!asker)
            continue;
        // The terminal may be shared with the other peers of a receiver: only its own question counts.
        connect(asker, &OfferAsker::answered, this, [this, asker](bool accept) {
            if (!m_offer || asker != m_asker)
                return;
            if (!accept)
                m_declined = QStringLiteral("declined");
            m_control.answerOffer(accept);
        });
    }
}

bool CliSession::notificationsAvailable()
{
    // Looked at each time: the desktop's service may start after the receiver, or go away (the
    // receiver says at its start when there is none).
    return m_notifier && m_notifier->available();
}

void CliSession::onOffer(const sender::FileOffer &offer)
{
    noticeConnection();
    m_offer = offer;
    m_offerFiles = 1;
    m_declined.clear();
    askAbout({offer.announced, qint64(offer.size), m_securePeer.isEmpty() ? offer.peer : m_securePeer, 1, {}});
}

void CliSession::onBatchOffer(const sender::BatchOffer &offer)
{
    noticeConnection();
    m_offer = sender::FileOffer{offer.peer, offer.names.join(QStringLiteral(", ")), QString(), double(offer.bytes)};
    m_offerFiles = offer.files;
    m_declined.clear();
    askAbout({QString(), offer.bytes, m_securePeer.isEmpty() ? offer.peer : m_securePeer, offer.files, offer.names});
}

void CliSession::askAbout(const OfferQuestion &question)
{
    switch (m_options.accepting) {
    case CliOptions::Accepting::None:
        m_declined = QStringLiteral("this side takes no files");
        m_control.answerOffer(false);
        return;
    case CliOptions::Accepting::Paired:
        if (!m_securePeer.isEmpty()) {
            m_control.answerOffer(true);
            return;
        }
        break;
    case CliOptions::Accepting::All:
    case CliOptions::Accepting::Ask:
        break;
    }
    const bool notify = notificationsAvailable();
    if (!notify && (!m_terminal || m_terminal->asking())) {
        // One question on the terminal at a time: another peer's offer is being asked about.
        m_declined = QStringLiteral("another offer waits for an answer");
        m_control.answerOffer(false);
        return;
    }
    m_asker = notify ? static_cast<OfferAsker *>(m_notifier.get()) : m_terminal;
    m_asker->ask(question);
}

void CliSession::onOfferSettled(bool accepted)
{
    if (!m_offer)
        return;
    const sender::FileOffer offer = *std::exchange(m_offer, std::nullopt);
    if (m_asker)
        std::exchange(m_asker, nullptr)->withdraw();
    if (accepted)
        return;
    QString why = m_declined;
    if (why.isEmpty())
        why = m_control.State() == platform::SocketComponent::Connected
            ? QStringLiteral("no answer within %1 s").arg(sender::FileSender::DefaultOfferTimeLimitMsec / 1000)
            : QStringLiteral("the peer left");
    const QString peer = m_securePeer.isEmpty() ? offer.peer : m_securePeer;
    if (const qint64 files = std::exchange(m_offerFiles, 1); files > 1) {
        print(QStringLiteral("declined: %1 files (%2 bytes) from %3 (%4)").arg(files).arg(qint64(offer.size)).arg(escapedForLine(peer), why),
              {{"event", "declined"}, {"files", double(files)}, {"size", offer.size}, {"peer", peer}, {"reason", why}});
        return;
    }
    print(QStringLiteral("declined: %1 (%2 bytes) from %3 (%4)")
              .arg(escapedForLine(offer.announced))
              .arg(qint64(offer.size))
              .arg(escapedForLine(peer), why),
          {{"event", "declined"}, {"path", offer.announced}, {"size", offer.size}, {"peer", peer}, {"reason", why}});
}

