#pragma once
// A host's store of a control's persisted properties.

#include "velmora_platform_export.h"

#include <QMap>
#include <QString>
#include <QVariant>

namespace platform {

/// Named values with defaults: a value equal to its default is never stored, and reading
/// a key that is not stored gives the default passed with the read.
class VELMORA_PLATFORM_EXPORT PropertyBag
{
public:
    QVariant read(const QString &name, const QVariant &defaultValue) const;
    void write(const QString &name, const QVariant &value, const QVariant &defaultValue);

    bool contains(const QString &name) const { return m_values.contains(name); }
    QStringList keys() const { return m_values.keys(); }
    /// Stores `value` as it is (for hosts that prepare a bag by hand).
    void set(const QString &name, const QVariant &value) { m_values.insert(name, value); }
    void clear() { m_values.clear(); }

    /// Loads from a JSON file (".json") or an INI file (any other name); false when unreadable.
    bool loadFromFile(const QString &path);
    /// Saves to a JSON file (".json") or an INI file (any other name); false when unwritable.
    bool saveToFile(const QString &path) const;

    /// True when two automation values are equal: numbers by value, texts exactly.
    static bool sameValue(const QVariant &a, const QVariant &b);

private:
    QMap<QString, QVariant> m_values;
};

} // namespace platform
