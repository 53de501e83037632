#include "dispatchtable.h"

namespace platform {

QVariant coerce(const QVariant &v, ArgType type)
{
    if (isOmitted(v))
        return v;
    switch (type) {
    case ArgType::None:
    case ArgType::Variant:
        return v;
    case ArgType::String:
        return toString(v);
    case ArgType::Int16:
        return QVariant::fromValue<qint16>(toInt16(v));
    case ArgType::Int32:
        return QVariant::fromValue<qint32>(toInt32(v));
    case ArgType::Double:
        return toDouble(v);
    case ArgType::Bool:
        return toBool(v);
    }
    return v;
}

const MemberInfo *TableDispatch::find(DispId id, InvokeKind kind) const
{
    for (const MemberInfo &m : members())
        if (m.id == id && m.kind == kind)
            return &m;
    return nullptr;
}

std::optional<DispId> TableDispatch::idOfName(const QString &name) const
{
    for (const MemberInfo &m : members())
        if (name.compare(QLatin1String(m.name), Qt::CaseInsensitive) == 0)
            return m.id;
    return std::nullopt;
}

InvokeResult TableDispatch::invoke(DispId id, InvokeKind kind, QVariantList &args)
{
    InvokeResult result;
    try {
        const MemberInfo *member = find(id, kind);
        if (!member)
            raiseError(err::NotSupported);
        const qsizetype declared = member->params.size();
        if (args.size() > declared)
            raiseError(err::WrongNumberOfArguments);
        QVariantList coerced;
        coerced.reserve(declared);
        for (qsizetype i = 0; i < declared; ++i) {
            const ParamInfo &p = member->params[i];
            const QVariant given = i < args.size() ? args[i] : QVariant();
            if (isOmitted(given) && !p.optional)
                raiseError(err::ArgumentNotOptional);
            coerced.append(coerce(given, p.type));
        }
        const QVariantList before = coerced;
        result.value = coerce(call(*member, coerced), member->result);
        // Only what the member wrote goes back: an argument it just read keeps the caller's value and type.
        for (qsizetype i = 0; i < args.size(); ++i)
            if (member->params[i].byRef && !isOmitted(args[i]) && coerced[i] != before[i])
                args[i] = coerced[i];
    } catch (const AutomationError &e) {
        result.error = e;
    }
    return result;
}

} // namespace platform
