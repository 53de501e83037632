#include "automation.h"

#include "conversions.h"

#include <QHash>

#include <cmath>

namespace platform {

QString standardErrorDescription(qint32 number)
{
    static const QHash<qint32, QString> catalogue = {
        {err::InvalidCall, QStringLiteral("Invalid procedure call or argument")},
        {err::Overflow, QStringLiteral("Overflow")},
        {err::TypeMismatch, QStringLiteral("Type mismatch")},
        {err::ErrorLoadingDll, QStringLiteral("Error in loading DLL")},
        {err::BadFileNameOrNumber, QStringLiteral("Bad file name or number")},
        {err::FileNotFound, QStringLiteral("File not found")},
        {err::FileAlreadyOpen, QStringLiteral("File already open")},
        {err::FileAlreadyExists, QStringLiteral("File already exists")},
        {err::InputPastEndOfFile, QStringLiteral("Input past end of file")},
        {err::TooManyFiles, QStringLiteral("Too many files")},
        {err::PermissionDenied, QStringLiteral("Permission denied")},
        {err::PathFileAccessError, QStringLiteral("Path/File access error")},
        {err::PathNotFound, QStringLiteral("Path not found")},
        {err::InvalidPropertyValue, QStringLiteral("Invalid property value")},
        {err::SetNotSupportedAtRuntime, QStringLiteral("Set not supported at runtime")},
        {err::SetNotPermitted, QStringLiteral("Set not permitted")},
        {err::CantCreateObject, QStringLiteral("ActiveX component can't create object")},
        {err::NotSupported, QStringLiteral("Object doesn't support this property or method")},
        {err::ArgumentNotOptional, QStringLiteral("Argument not optional")},
        {err::WrongNumberOfArguments, QStringLiteral("Wrong number of arguments or invalid property assignment")},
        {err::DllFunctionNotFound, QStringLiteral("Specified DLL function not found")},
    };
    return catalogue.value(number);
}

AutomationError AutomationError::standard(qint32 number)
{
    return AutomationError{number, standardErrorDescription(number)};
}

void raiseError(qint32 number)
{
    throw AutomationError::standard(number);
}

void raiseError(qint32 number, const QString &description)
{
    throw AutomationError{number, description};
}

namespace {

// The value of `v` as a double, by automation rules; 13 when it holds no number.
double numericValue(const QVariant &v)
{
    switch (v.typeId()) {
    case QMetaType::UnknownType:
        return 0.0; // An empty value counts as 0.
    case QMetaType::Bool:
        return v.toBool() ? -1.0 : 0.0;
    case QMetaType::QString: {
        const QString s = v.toString();
        if (const auto n = parseNumber(s))
            return *n;
        const QString t = s.trimmed();
        if (t.compare(QLatin1String("True"), Qt::CaseInsensitive) == 0)
            return -1.0;
        if (t.compare(QLatin1String("False"), Qt::CaseInsensitive) == 0)
            return 0.0;
        raiseError(err::TypeMismatch);
    }
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::UChar:
    case QMetaType::Double:
    case QMetaType::Float:
        return v.toDouble();
    default:
        raiseError(err::TypeMismatch);
    }
}

} // namespace

qint16 toInt16(const QVariant &v) { return wholeInt16(numericValue(v)); }
qint32 toInt32(const QVariant &v) { return wholeInt32(numericValue(v)); }
double toDouble(const QVariant &v) { return numericValue(v); }
bool toBool(const QVariant &v) { return numericValue(v) != 0.0; }

QString toString(const QVariant &v)
{
    switch (v.typeId()) {
    case QMetaType::UnknownType:
        return QString();
    case QMetaType::QString:
        return v.toString();
    case QMetaType::Bool:
        return boolToText(v.toBool());
    case QMetaType::QByteArray:
        return QString::fromLocal8Bit(v.toByteArray());
    default:
        return numberToText(numericValue(v));
    }
}

Dispatch::~Dispatch() = default;
EventSink::~EventSink() = default;

} // namespace platform
