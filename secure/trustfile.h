#pragma once
// A small file that trust decisions are kept in (the known peers, the pairing guesses). It is
// read whole and fresh before each decision, and changed only under an exclusive lock held on a
// lock file beside it, so that two processes of one user neither lose each other's changes nor
// act on a copy the other has changed. It is replaced whole and at once on every change,
// readable by its owner alone. A file that is a link, that another user owns or that others
// may write is refused, naming the file and its mode, never read or written through.

#include "velmora_secure_export.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>

namespace secure {

class VELMORA_SECURE_EXPORT TrustFile
{
public:
    explicit TrustFile(QString path);

    QString path() const { return m_path; }

    /// The file's bytes: empty when there is no file yet; nothing, with why, when it cannot be
    /// read or is refused.
    std::optional<QByteArray> read(QString *error) const;
    /// Under the lock: reads the file, lets `change` change its bytes, and writes them back when
    /// `change` returns true. False, with why, when any step fails (the file is then unchanged).
    bool update(const std::function<bool(QByteArray &bytes)> &change, QString *error) const;

    /// Why a file of this mode and owner is refused ("" when it is not): a link, another
    /// user's, or one that group or others may write (or, with `privateFile`, read).
    static QString refusal(const QString &path, unsigned mode, unsigned owner, bool privateFile);

private:
    bool write(const QByteArray &bytes, QString *error) const;

    QString m_path;
};

} // namespace secure
