#pragma once
// The hidden file a receive writes into, beside its target (".NAME.velmora-XXXXXXXX"): it
// replaces the target only once every byte is there, and goes without a trace otherwise.

#include "sender_export.h"

#include <QString>

#include <functional>

namespace sender {

class SENDER_EXPORT PartFile
{
public:
    /// Picks a new name beside `target` (a target that is a link: beside where it points) and
    /// has `create` make that file; `create` throws when it cannot, and a name already taken is
    /// tried again under another.
    void create(const QString &target, const std::function<void(const QString &)> &create);
    /// Renames the file over its target, which keeps the permission bits of the file it
    /// replaces. When it cannot, the file is removed and error 75 says why.
    void commit();
    /// Removes the file, if there is one.
    void discard();
    /// The file, or "" when there is none.
    QString path() const { return m_path; }

private:
    QString m_path;
    QString m_target;
};

} // namespace sender
