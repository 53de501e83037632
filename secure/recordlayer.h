#pragma once
// The TLS 1.3 records of a secure stream once OpenSSL's handshake is done: sealed and opened in
// the stream itself (so that file bytes are encrypted where they were read and decrypted where
// they are taken), or by OpenSSL's own record layer end to end. The first takes over what OpenSSL
// normally does, so each assumption it rests on is checked when it takes over, and a failed
// check ends the connection rather than going on without it: OpenSSL holds no record bytes read
// or unsent, both traffic secrets came, and the keys of both directions were derived (both are
// taken over, or neither). Where the kernel encrypts (kTLS), or where asked (Records::OpenSsl),
// OpenSSL's record layer runs both ways.

#include "velmora_secure_export.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>

typedef struct ssl_st SSL;

namespace secure {

class VELMORA_SECURE_EXPORT RecordLayer
{
public:
    /// Who protects the records after the handshake.
    enum class Records { Own, OpenSsl };
    /// The default: OpenSsl when the environment's VELMORA_TLS_RECORDS is "openssl", else Own.
    static Records defaultRecords();

    /// What the layer needs of the socket's notifiers.
    struct Waiting
    {
        std::function<void()> forRead;  ///< tell when the socket is readable
        std::function<void()> forWrite; ///< tell when the socket takes more
    };

    /// The records of `ssl`, whose handshake on `fd` just completed, with the traffic secrets
    /// its key log gave (wiped here, whatever happens). Null, with why, when a check of taking
    /// over fails: the connection must end.
    static std::unique_ptr<RecordLayer> afterHandshake(SSL *ssl, int fd, bool connecting, QByteArray &clientSecret,
                                                       QByteArray &serverSecret, Records records, Waiting waiting,
                                                       QString *why);

    virtual ~RecordLayer() = default;
    /// Whether the records are OpenSSL's.
    virtual bool openSsl() const = 0;
    /// Reads plaintext into `into`, which has room for `room` bytes (at least a record's
    /// content): the bytes read, or 0 when none are there now. On 0 `ended` says why when the
    /// stream ended: 0 the peer closed, else the error (a forged record, say); it is left as it
    /// was while the stream goes on.
    virtual qsizetype read(char *into, qsizetype room, int &ended) = 0;
    /// Takes up to a record's worth of `data` to send: the bytes taken, or 0 when the socket
    /// takes no more now (then it tells when it does) or writing failed (`failed` set).
    virtual qsizetype write(const char *data, qsizetype size, int &failed) = 0;
    /// Hands what was written to the socket: true once everything went; false while the socket
    /// takes no more (it tells when it does) or when it failed (`failed` set).
    virtual bool push(int &failed) = 0;
    /// Record bytes written and not yet handed to the socket.
    virtual qint64 pending() const = 0;
    /// Says goodbye behind what is unsent, if the network takes it now.
    virtual void close() = 0;
};

} // namespace secure
