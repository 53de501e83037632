#include "registry.h"

#include "automation.h"

#include <QDir>
#include <QFileInfo>
#include <QLibrary>
#include <QSettings>
#include <QStandardPaths>

#include <dlfcn.h>

namespace platform {

ClassFactory::~ClassFactory() = default;

namespace {

QString braced(const QUuid &id) { return id.toString(QUuid::WithBraces).toUpper(); }

std::optional<ClassRegistration> findByClsidIn(const QString &file, const QUuid &clsid)
{
    QSettings s(file, QSettings::IniFormat);
    s.beginGroup(QStringLiteral("CLSID/") + braced(clsid));
    if (!s.contains(QStringLiteral("InprocServer")))
        return std::nullopt;
    ClassRegistration r;
    r.clsid = clsid;
    r.progId = s.value(QStringLiteral("ProgID")).toString();
    r.className = s.value(QStringLiteral("Name")).toString();
    r.libraryPath = s.value(QStringLiteral("InprocServer")).toString();
    // A relative library path keeps an installed tree relocatable: it counts from this file's folder.
    if (!r.libraryPath.isEmpty() && QFileInfo(r.libraryPath).isRelative())
        r.libraryPath = QDir::cleanPath(QFileInfo(file).absoluteDir().filePath(r.libraryPath));
    r.isControl = s.value(QStringLiteral("Control")).toBool();
    r.typeLibId = QUuid::fromString(s.value(QStringLiteral("TypeLib")).toString());
    const QStringList iids = s.value(QStringLiteral("Interfaces")).toStringList();
    s.endGroup();
    if (!r.typeLibId.isNull()) {
        s.beginGroup(QStringLiteral("TypeLib/") + braced(r.typeLibId));
        r.typeLibName = s.value(QStringLiteral("Name")).toString();
        r.typeLibVersion = s.value(QStringLiteral("Version")).toString();
        r.typeLibHelpString = s.value(QStringLiteral("HelpString")).toString();
        s.endGroup();
    }
    for (const QString &iid : iids)
        r.interfaces.append({QUuid::fromString(iid),
                             s.value(QStringLiteral("Interface/%1/Name").arg(iid)).toString()});
    return r;
}

QUuid classOfProgIdIn(const QString &file, const QString &progId)
{
    const QSettings s(file, QSettings::IniFormat);
    return QUuid::fromString(s.value(QStringLiteral("ProgID/%1/CLSID").arg(progId)).toString());
}

} // namespace

ComponentRegistry::ComponentRegistry(const QString &path, const QStringList &dropInFolders)
    : m_path(path)
    , m_dropInFolders(dropInFolders)
{
}

QString ComponentRegistry::defaultPath()
{
    const QString fromEnv = qEnvironmentVariable("COMPONENT_REGISTRY");
    if (!fromEnv.isEmpty())
        return fromEnv;
    return QDir::homePath() + QStringLiteral("/.config/component-registry.ini");
}

QStringList ComponentRegistry::defaultDropInFolders()
{
    QString dataDirs = qEnvironmentVariable("XDG_DATA_DIRS");
    if (dataDirs.isEmpty())
        dataDirs = QStringLiteral("/usr/local/share:/usr/share");
    QStringList folders;
    for (const QString &dir : dataDirs.split(u':', Qt::SkipEmptyParts)) {
        if (QDir::isAbsolutePath(dir)) // relative entries are invalid in $XDG_DATA_DIRS
            folders.append(QDir::cleanPath(dir) + QStringLiteral("/component-registry"));
    }
    return folders;
}

QStringList ComponentRegistry::lookupFiles() const
{
    QStringList files{m_path};
    for (const QString &folder : m_dropInFolders) {
        const QDir dir(folder);
        for (const QString &name : dir.entryList({QStringLiteral("*.ini")}, QDir::Files | QDir::Readable, QDir::Name))
            files.append(dir.filePath(name));
    }
    return files;
}

bool ComponentRegistry::registerClass(const ClassRegistration &entry)
{
    QDir().mkpath(QFileInfo(m_path).absolutePath());
    if (const QUuid old = classOfProgIdIn(m_path, entry.progId); !old.isNull() && old != entry.clsid)
        unregisterClass(old);
    unregisterClass(entry.clsid);

    QSettings s(m_path, QSettings::IniFormat);
    const QString clsid = braced(entry.clsid);
    s.setValue(QStringLiteral("ProgID/%1/CLSID").arg(entry.progId), clsid);

    s.beginGroup(QStringLiteral("CLSID/") + clsid);
    s.setValue(QStringLiteral("ProgID"), entry.progId);
    s.setValue(QStringLiteral("Name"), entry.className);
    s.setValue(QStringLiteral("InprocServer"), entry.libraryPath);
    s.setValue(QStringLiteral("Control"), entry.isControl);
    s.setValue(QStringLiteral("TypeLib"), braced(entry.typeLibId));
    QStringList iids;
    for (const auto &i : entry.interfaces)
        iids << braced(i.iid);
    s.setValue(QStringLiteral("Interfaces"), iids);
    s.endGroup();

    if (!entry.typeLibId.isNull()) {
        s.beginGroup(QStringLiteral("TypeLib/") + braced(entry.typeLibId));
        s.setValue(QStringLiteral("Name"), entry.typeLibName);
        s.setValue(QStringLiteral("Version"), entry.typeLibVersion);
        s.setValue(QStringLiteral("HelpString"), entry.typeLibHelpString);
        s.setValue(QStringLiteral("Path"), entry.libraryPath);
        s.endGroup();
    }
    for (const auto &i : entry.interfaces) {
        s.beginGroup(QStringLiteral("Interface/") + braced(i.iid));
        s.setValue(QStringLiteral("Name"), i.name);
        s.setValue(QStringLiteral("TypeLib"), braced(entry.typeLibId));
        s.endGroup();
    }
    s.sync();
    return s.status() == QSettings::NoError;
}

bool ComponentRegistry::unregisterClass(const QUuid &clsid)
{
    const auto entry = findByClsidIn(m_path, clsid);
    QSettings s(m_path, QSettings::IniFormat);
    if (entry) {
        if (s.value(QStringLiteral("ProgID/%1/CLSID").arg(entry->progId)).toString() == braced(clsid))
            s.remove(QStringLiteral("ProgID/") + entry->progId);
        if (!entry->typeLibId.isNull())
            s.remove(QStringLiteral("TypeLib/") + braced(entry->typeLibId));
        for (const auto &i : entry->interfaces)
            s.remove(QStringLiteral("Interface/") + braced(i.iid));
    }
    s.remove(QStringLiteral("CLSID/") + braced(clsid));
    s.sync();
    return s.status() == QSettings::NoError;
}

std::optional<ClassRegistration> ComponentRegistry::findByClsid(const QUuid &clsid) const
{
    for (const QString &file : lookupFiles()) {
        if (auto entry = findByClsidIn(file, clsid))
            return entry;
    }
    return std::nullopt;
}

std::optional<ClassRegistration> ComponentRegistry::findByProgId(const QString &progId) const
{
    if (progId.isEmpty())
        return std::nullopt;
    for (const QString &file : lookupFiles()) {
        if (const QUuid clsid = classOfProgIdIn(file, progId); !clsid.isNull())
            return findByClsid(clsid);
    }
    return std::nullopt;
}

std::optional<ClassRegistration> ComponentRegistry::find(const QString &progIdOrClsid) const
{
    const QUuid id = QUuid::fromString(progIdOrClsid);
    return id.isNull() ? findByProgId(progIdOrClsid) : findByClsid(id);
}

Control *createObject(const QString &progIdOrClsid, QWidget *parent, const ComponentRegistry &registry)
{
    const auto entry = registry.find(progIdOrClsid);
    if (!entry)
        raiseError(err::CantCreateObject,
                   QStringLiteral("ActiveX component can't create object: %1 is not registered").arg(progIdOrClsid));
    // Libraries stay loaded for the life of the process: instances may outlive any one caller.
    QLibrary library(entry->libraryPath);
    library.setLoadHints(QLibrary::ResolveAllSymbolsHint);
    if (!library.load())
        raiseError(err::ErrorLoadingDll,
                   QStringLiteral("Error in loading DLL %1: %2").arg(entry->libraryPath, library.errorString()));
    const auto getClassObject = reinterpret_cast<DllGetClassObjectFn>(library.resolve("DllGetClassObject"));
    if (!getClassObject)
        raiseError(err::DllFunctionNotFound,
                   QStringLiteral("Specified DLL function not found: DllGetClassObject in %1").arg(entry->libraryPath));
    ClassFactory *factory = nullptr;
    if (getClassObject(&entry->clsid, &factory) != hr::Ok || !factory)
        raiseError(err::CantCreateObject,
                   QStringLiteral("ActiveX component can't create object: %1 does not provide %2")
                       .arg(entry->libraryPath, progIdOrClsid));
    Control *control = factory->createInstance(parent);
    if (!control)
        raiseError(err::CantCreateObject);
    return control;
}

QString modulePathOf(const void *address)
{
    Dl_info info{};
    if (dladdr(address, &info) == 0 || !info.dli_fname)
        return QString();
    return QFileInfo(QString::fromLocal8Bit(info.dli_fname)).absoluteFilePath();
}

} // namespace platform
