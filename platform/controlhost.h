#pragma once
// The host side of late binding: create a control by class identity, give it a site, bring
// it to its initial or stored values, receive its events and call its members by dispatch id.

#include "automation.h"
#include "registry.h"
#include "velmora_platform_export.h"

#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>

namespace platform {

class Control;
class ControlSite;
class PropertyBag;

/// An event sink that hands every event to a function.
class VELMORA_PLATFORM_EXPORT FunctionEventSink : public EventSink
{
public:
    using Handler = std::function<void(DispId, QVariantList &)>;
    explicit FunctionEventSink(Handler handler) : m_handler(std::move(handler)) {}
    void invoke(DispId id, QVariantList &args) override { m_handler(id, args); }

private:
    Handler m_handler;
};

/// Owns one control created through the registry. Creation failures throw AutomationError.
class VELMORA_PLATFORM_EXPORT ControlHost
{
public:
    /// Creates `progIdOrClsid` with its face inside `parent`, attached to `site` (nullptr: the default site).
    ControlHost(const QString &progIdOrClsid, QWidget *parent, ControlSite *site = nullptr,
                const ComponentRegistry &registry = ComponentRegistry());
    ~ControlHost();
    ControlHost(const ControlHost &) = delete;
    ControlHost &operator=(const ControlHost &) = delete;

    /// A new instance: initial values.
    void initNew();
    /// A stored instance: values from `bag` (throws the error of the first key that fails).
    void load(const PropertyBag &bag);
    /// Sends every event to `handler` until the host goes.
    void onEvent(FunctionEventSink::Handler handler);

    /// Calls a member; the result carries the member's error, if any.
    InvokeResult invoke(DispId id, InvokeKind kind, QVariantList &args);
    /// Reads a property; throws the member's error.
    QVariant get(DispId id);
    /// Writes a property; throws the member's error.
    void put(DispId id, const QVariant &value);
    /// Calls a method; by-reference arguments come back in `args`; throws the member's error.
    QVariant call(DispId id, QVariantList &args);
    QVariant call(DispId id, QVariantList &&args = {}) { return call(id, args); }

    Control &control() { return *m_control; }
    QWidget *widget();

private:
    Control *m_control = nullptr;
    QPointer<QWidget> m_face;
    std::unique_ptr<FunctionEventSink> m_sink;
};

} // namespace platform
