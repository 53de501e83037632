#pragma once
// A Dispatch driven by one table of members: arity, optional arguments, coercion of each
// argument to its declared type, by-reference write-back and errors as results.

#include "automation.h"

#include <QList>

#include <span>

namespace platform {

/// Declared type of a parameter or result.
enum class ArgType { None, Variant, String, Int16, Int32, Double, Bool };

struct ParamInfo
{
    const char *name;
    ArgType type;
    bool byRef = false;
    bool optional = false;
};

/// One entry of an automation interface.
struct MemberInfo
{
    int order;
    DispId id;
    InvokeKind kind;
    const char *name;
    QList<ParamInfo> params;
    ArgType result = ArgType::None;
};

/// Converts `v` to the declared type by automation rules (an omitted value stays omitted).
VELMORA_PLATFORM_EXPORT QVariant coerce(const QVariant &v, ArgType type);

/// Dispatches through a table of members. A subclass supplies the table and performs a call
/// on arguments already coerced to their declared types.
class VELMORA_PLATFORM_EXPORT TableDispatch : public Dispatch
{
public:
    InvokeResult invoke(DispId id, InvokeKind kind, QVariantList &args) override;
    std::optional<DispId> idOfName(const QString &name) const override;

    /// The members, in interface order.
    virtual std::span<const MemberInfo> members() const = 0;
    /// The entry for (`id`, `kind`), or nullptr.
    const MemberInfo *find(DispId id, InvokeKind kind) const;

protected:
    /// Performs `member` on `args` (one per parameter, coerced; an omitted optional is invalid).
    /// By-reference arguments the member changes are written back to the caller; the others keep
    /// the caller's value. Throws AutomationError.
    virtual QVariant call(const MemberInfo &member, QVariantList &args) = 0;
};

} // namespace platform
