#include "propertybag.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>

namespace platform {

namespace {

bool isNumeric(const QVariant &v)
{
    switch (v.typeId()) {
    case QMetaType::Bool:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
    case QMetaType::Float:
        return true;
    default:
        return false;
    }
}

double numeric(const QVariant &v)
{
    return v.typeId() == QMetaType::Bool ? (v.toBool() ? -1.0 : 0.0) : v.toDouble();
}

} // namespace

bool PropertyBag::sameValue(const QVariant &a, const QVariant &b)
{
    if (isNumeric(a) && isNumeric(b))
        return numeric(a) == numeric(b);
    if (isNumeric(a) != isNumeric(b))
        return false;
    return a == b;
}

QVariant PropertyBag::read(const QString &name, const QVariant &defaultValue) const
{
    return m_values.value(name, defaultValue);
}

void PropertyBag::write(const QString &name, const QVariant &value, const QVariant &defaultValue)
{
    if (sameValue(value, defaultValue))
        m_values.remove(name);
    else
        m_values.insert(name, value);
}

bool PropertyBag::loadFromFile(const QString &path)
{
    m_values.clear();
    if (path.endsWith(QLatin1String(".json"), Qt::CaseInsensitive)) {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly))
            return false;
        const QJsonDocument doc = QJsonDocument::fromJson(f.readAll());
        if (!doc.isObject())
            return false;
        const QVariantMap map = doc.object().toVariantMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it)
            m_values.insert(it.key(), it.value());
        return true;
    }
    QSettings ini(path, QSettings::IniFormat);
    if (ini.status() != QSettings::NoError)
        return false;
    for (const QString &key : ini.allKeys())
        m_values.insert(key, ini.value(key));
    return true;
}

bool PropertyBag::saveToFile(const QString &path) const
{
    if (path.endsWith(QLatin1String(".json"), Qt::CaseInsensitive)) {
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return false;
        const QJsonObject obj = QJsonObject::fromVariantMap(QVariantMap(m_values));
        return f.write(QJsonDocument(obj).toJson()) >= 0;
    }
    QSettings ini(path, QSettings::IniFormat);
    ini.clear();
    for (auto it = m_values.cbegin(); it != m_values.cend(); ++it)
        ini.setValue(it.key(), it.value());
    ini.sync();
    return ini.status() == QSettings::NoError;
}

} // namespace platform
