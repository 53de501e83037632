// A minimal component library used by the registry tests: one control class, "Test.Component",
// with one method, Twice(n), and the four standard entry points.

#include "control.h"
#include "dispatchtable.h"
#include "registry.h"

#include <QLabel>

using namespace platform;

namespace {

const QUuid ClassId("{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}");
const QUuid TypeLibId("{11111111-2222-3333-4444-555555555555}");
const QUuid InterfaceId("{66666666-7777-8888-9999-AAAAAAAAAAAA}");
int liveInstances = 0;

class TestControl : public QLabel, public Control, public TableDispatch
{
public:
    explicit TestControl(QWidget *parent)
        : QLabel(QStringLiteral("test"), parent)
    {
        ++liveInstances;
    }
    ~TestControl() override { --liveInstances; }

    Dispatch &dispatch() override { return *this; }
    QWidget *widget() override { return this; }
    void setSite(ControlSite *) override {}
    void initNew() override {}
    void load(const PropertyBag &) override {}
    void save(PropertyBag &) override {}
    void advise(EventSink *) override {}
    void unadvise(EventSink *) override {}

    std::span<const MemberInfo> members() const override
    {
        static const QList<MemberInfo> table = {
            {1, 1, InvokeKind::Method, "Twice", {{"N", ArgType::Int32}}, ArgType::Int32},
        };
        return table;
    }

protected:
    QVariant call(const MemberInfo &, QVariantList &args) override { return args[0].toInt() * 2; }
};

class Factory : public ClassFactory
{
public:
    Control *createInstance(QWidget *parent) override { return new TestControl(parent); }
    void lockServer(bool) override {}
};

} // namespace

extern "C" {

Q_DECL_EXPORT qint32 DllGetClassObject(const QUuid *clsid, ClassFactory **factory)
{
    static Factory instance;
    if (!clsid || !factory || *clsid != ClassId)
        return hr::ClassNotAvailable;
    *factory = &instance;
    return hr::Ok;
}

Q_DECL_EXPORT qint32 DllCanUnloadNow()
{
    return liveInstances == 0 ? hr::Ok : hr::False;
}

Q_DECL_EXPORT qint32 DllRegisterServer()
{
    ClassRegistration r;
    r.progId = QStringLiteral("Test.Component");
    r.clsid = ClassId;
    r.className = QStringLiteral("TestControl");
    r.libraryPath = modulePathOf(reinterpret_cast<const void *>(&DllRegisterServer));
    r.typeLibId = TypeLibId;
    r.typeLibName = QStringLiteral("TestLib");
    r.typeLibVersion = QStringLiteral("1.0");
    r.typeLibHelpString = QStringLiteral("TestLib");
    r.isControl = true;
    r.interfaces = {{InterfaceId, QStringLiteral("_TestControl")}};
    return ComponentRegistry().registerClass(r) ? hr::Ok : hr::SelfRegClass;
}

Q_DECL_EXPORT qint32 DllUnregisterServer()
{
    return ComponentRegistry().unregisterClass(ClassId) ? hr::Ok : hr::SelfRegClass;
}
}
