// The four standard entry points of the Sender component library. They hold no logic of the
// control: registration, the class factory and the answer to "may the library unload?".

#include "filesender.h"
#include "identities.h"
#include "registry.h"
#include "sender_export.h"

using namespace platform;

namespace {

int serverLocks = 0;

class FileSenderFactory : public ClassFactory
{
public:
    Control *createInstance(QWidget *parent) override { return new sender::FileSender(parent); }
    void lockServer(bool lock) override { serverLocks += lock ? 1 : -1; }
};

ClassRegistration fileSenderRegistration(const QString &libraryPath)
{
    ClassRegistration r;
    r.progId = QLatin1String(sender::ProgId);
    r.clsid = sender::classId();
    r.className = QLatin1String(sender::ClassName);
    r.libraryPath = libraryPath;
    r.typeLibId = sender::typeLibId();
    r.typeLibName = QLatin1String(sender::TypeLibName);
    r.typeLibVersion = QLatin1String(sender::TypeLibVersion);
    r.typeLibHelpString = QLatin1String(sender::TypeLibHelpString);
    r.isControl = true;
    r.interfaces = {{sender::dispatchInterfaceId(), QLatin1String(sender::DispatchInterfaceName)},
                    {sender::eventInterfaceId(), QLatin1String(sender::EventInterfaceName)}};
    return r;
}

} // namespace

extern "C" {

SENDER_EXPORT qint32 DllGetClassObject(const QUuid *clsid, ClassFactory **factory)
{
    static FileSenderFactory instance;
    if (!factory)
        return hr::Fail;
    *factory = nullptr;
    if (!clsid || *clsid != sender::classId())
        return hr::ClassNotAvailable;
    *factory = &instance;
    return hr::Ok;
}

SENDER_EXPORT qint32 DllCanUnloadNow()
{
    return sender::FileSender::liveInstances() == 0 && serverLocks == 0 ? hr::Ok : hr::False;
}

SENDER_EXPORT qint32 DllRegisterServer()
{
    const QString path = modulePathOf(reinterpret_cast<const void *>(&DllRegisterServer));
    return ComponentRegistry().registerClass(fileSenderRegistration(path)) ? hr::Ok : hr::SelfRegClass;
}

SENDER_EXPORT qint32 DllUnregisterServer()
{
    return ComponentRegistry().unregisterClass(sender::classId()) ? hr::Ok : hr::SelfRegClass;
}

} // extern "C"
