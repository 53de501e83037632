#include "controlhost.h"

#include "control.h"
#include "controlsite.h"

#include <QPointer>
#include <QWidget>

namespace platform {

ControlHost::ControlHost(const QString &progIdOrClsid, QWidget *parent, ControlSite *site,
                         const ComponentRegistry &registry)
    : m_control(createObject(progIdOrClsid, parent, registry))
    , m_face(m_control->widget())
{
    m_control->setSite(site);
}

ControlHost::~ControlHost()
{
    if (!m_face)
        return; // went with its parent window
    if (m_sink)
        m_control->unadvise(m_sink.get());
    m_control->setSite(nullptr);
    delete m_face.data(); // the face owns the control
}

void ControlHost::initNew() { m_control->initNew(); }
void ControlHost::load(const PropertyBag &bag) { m_control->load(bag); }

void ControlHost::onEvent(FunctionEventSink::Handler handler)
{
    if (m_sink)
        m_control->unadvise(m_sink.get());
    m_sink = std::make_unique<FunctionEventSink>(std::move(handler));
    m_control->advise(m_sink.get());
}

InvokeResult ControlHost::invoke(DispId id, InvokeKind kind, QVariantList &args)
{
    return m_control->dispatch().invoke(id, kind, args);
}

namespace {
QVariant valueOrThrow(const InvokeResult &r)
{
    if (r.error)
        throw *r.error;
    return r.value;
}
} // namespace

QVariant ControlHost::get(DispId id)
{
    QVariantList none;
    return valueOrThrow(invoke(id, InvokeKind::PropertyGet, none));
}

void ControlHost::put(DispId id, const QVariant &value)
{
    QVariantList args{value};
    valueOrThrow(invoke(id, InvokeKind::PropertyPut, args));
}

QVariant ControlHost::call(DispId id, QVariantList &args)
{
    return valueOrThrow(invoke(id, InvokeKind::Method, args));
}

QWidget *ControlHost::widget() { return m_control->widget(); }

} // namespace platform
