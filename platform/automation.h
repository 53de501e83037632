#pragma once
// Automation values, errors and the late-binding interfaces shared by controls and hosts.

#include "velmora_platform_export.h"

#include <QString>
#include <QVariant>
#include <QVariantList>

#include <optional>

namespace platform {

/// Automation boolean: a 16-bit value, true = -1, false = 0.
using VariantBool = qint16;
inline constexpr VariantBool VariantTrue = -1;
inline constexpr VariantBool VariantFalse = 0;
inline constexpr VariantBool toVariantBool(bool b) { return b ? VariantTrue : VariantFalse; }

/// A member's dispatch identifier.
using DispId = qint32;

/// How a member is invoked: as a method, a property read or a property write.
enum class InvokeKind { Method, PropertyGet, PropertyPut };

/// Standard description of an automation error number ("" when the number is not in the catalogue).
VELMORA_PLATFORM_EXPORT QString standardErrorDescription(qint32 number);

/// An automation error: what a failing member returns to its caller.
struct VELMORA_PLATFORM_EXPORT AutomationError
{
    qint32 number = 0;
    QString description;

    /// The error with the catalogue's description of `number`.
    static AutomationError standard(qint32 number);
};

/// Throws the standard error `number`.
[[noreturn]] VELMORA_PLATFORM_EXPORT void raiseError(qint32 number);
/// Throws an error with its own description.
[[noreturn]] VELMORA_PLATFORM_EXPORT void raiseError(qint32 number, const QString &description);

// Standard error numbers used across the platform.
namespace err {
inline constexpr qint32 InvalidCall = 5;
inline constexpr qint32 Overflow = 6;
inline constexpr qint32 TypeMismatch = 13;
inline constexpr qint32 BadFileNameOrNumber = 52;
inline constexpr qint32 FileNotFound = 53;
inline constexpr qint32 FileAlreadyOpen = 55;
inline constexpr qint32 FileAlreadyExists = 58;
inline constexpr qint32 InputPastEndOfFile = 62;
inline constexpr qint32 TooManyFiles = 67;
inline constexpr qint32 PermissionDenied = 70;
inline constexpr qint32 PathFileAccessError = 75;
inline constexpr qint32 PathNotFound = 76;
inline constexpr qint32 InvalidPropertyValue = 380;
inline constexpr qint32 SetNotSupportedAtRuntime = 382;
inline constexpr qint32 SetNotPermitted = 387;
inline constexpr qint32 CantCreateObject = 429;
inline constexpr qint32 NotSupported = 438;
inline constexpr qint32 ArgumentNotOptional = 449;
inline constexpr qint32 WrongNumberOfArguments = 450;
inline constexpr qint32 DllFunctionNotFound = 453;
inline constexpr qint32 ErrorLoadingDll = 48;
} // namespace err

/// True when `v` stands for an omitted optional argument.
inline bool isOmitted(const QVariant &v) { return !v.isValid(); }

// Coercions by automation rules. Numbers are rounded half to even; a value outside the
// target's range fails with 6, a text that is no number with 13.
VELMORA_PLATFORM_EXPORT qint16 toInt16(const QVariant &v);
VELMORA_PLATFORM_EXPORT qint32 toInt32(const QVariant &v);
VELMORA_PLATFORM_EXPORT double toDouble(const QVariant &v);
VELMORA_PLATFORM_EXPORT bool toBool(const QVariant &v);
VELMORA_PLATFORM_EXPORT QString toString(const QVariant &v);

/// The result of a late-bound call: a value, or the error the member returned.
struct VELMORA_PLATFORM_EXPORT InvokeResult
{
    QVariant value;
    std::optional<AutomationError> error;
    bool ok() const { return !error.has_value(); }
};

/// An object whose members are called late, by dispatch id.
class VELMORA_PLATFORM_EXPORT Dispatch
{
public:
    virtual ~Dispatch();
    /// Calls member `id`. Arguments passed by reference are written back into `args`;
    /// an invalid QVariant stands for an omitted optional argument.
    virtual InvokeResult invoke(DispId id, InvokeKind kind, QVariantList &args) = 0;
    /// The dispatch id of the member called `name` (case-insensitive), if there is one.
    virtual std::optional<DispId> idOfName(const QString &name) const = 0;
};

/// A host's receiver of a control's events.
class VELMORA_PLATFORM_EXPORT EventSink
{
public:
    virtual ~EventSink();
    /// Event `id` with its arguments; a by-reference argument changed here goes back to the source.
    virtual void invoke(DispId id, QVariantList &args) = 0;
};

} // namespace platform
