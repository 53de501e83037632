#pragma once
// The component registry: which library provides which class, and creation by class identity.

#include "velmora_platform_export.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QUuid>

#include <optional>

class QWidget;

namespace platform {

class Control;

/// Result codes of a component library's entry points.
namespace hr {
inline constexpr qint32 Ok = 0;
inline constexpr qint32 False = 1;
inline constexpr qint32 Fail = qint32(0x80004005u);
inline constexpr qint32 ClassNotAvailable = qint32(0x80040111u);
inline constexpr qint32 SelfRegClass = qint32(0x80040201u);
} // namespace hr

/// Makes instances of one class; handed out by a library's DllGetClassObject.
class VELMORA_PLATFORM_EXPORT ClassFactory
{
public:
    virtual ~ClassFactory();
    /// A new instance whose face is a child of `parent` (nullptr for none).
    virtual Control *createInstance(QWidget *parent) = 0;
    /// Keeps the library loaded while locked.
    virtual void lockServer(bool lock) = 0;
};

// The four entry points a component library exports (extern "C").
using DllGetClassObjectFn = qint32 (*)(const QUuid *clsid, ClassFactory **factory);
using DllCanUnloadNowFn = qint32 (*)();
using DllRegisterServerFn = qint32 (*)();
using DllUnregisterServerFn = qint32 (*)();

/// One interface a registered class implements.
struct InterfaceRegistration
{
    QUuid iid;
    QString name;
};

/// Everything the registry records of one class.
struct VELMORA_PLATFORM_EXPORT ClassRegistration
{
    QString progId;
    QUuid clsid;
    QString className;
    QString libraryPath;
    QUuid typeLibId;
    QString typeLibName;
    QString typeLibVersion;
    QString typeLibHelpString;
    bool isControl = false;
    QList<InterfaceRegistration> interfaces;
};

/// The component registry. Lookups read the user's registry file first (`$COMPONENT_REGISTRY`
/// when set, else ~/.config/component-registry.ini), then the read-only drop-in files `*.ini` of
/// each drop-in folder in order; registering and unregistering write the user's file only.
class VELMORA_PLATFORM_EXPORT ComponentRegistry
{
public:
    explicit ComponentRegistry(const QString &path = defaultPath(),
                               const QStringList &dropInFolders = defaultDropInFolders());
    static QString defaultPath();
    /// `component-registry` in each folder of `$XDG_DATA_DIRS` (default /usr/local/share:/usr/share).
    static QStringList defaultDropInFolders();
    QString path() const { return m_path; }
    QStringList dropInFolders() const { return m_dropInFolders; }

    /// Records `entry` in the user's file, replacing an older record of the same class or ProgID.
    /// False when unwritable.
    bool registerClass(const ClassRegistration &entry);
    /// Removes the class and everything recorded with it from the user's file. False when unwritable.
    bool unregisterClass(const QUuid &clsid);

    /// A library path that is relative in a drop-in file comes back resolved against that file's folder.
    std::optional<ClassRegistration> findByClsid(const QUuid &clsid) const;
    std::optional<ClassRegistration> findByProgId(const QString &progId) const;
    /// Finds by ProgID or by a class id written in braces.
    std::optional<ClassRegistration> find(const QString &progIdOrClsid) const;

private:
    /// The user's file, then every drop-in file, in lookup order.
    QStringList lookupFiles() const;

    QString m_path;
    QStringList m_dropInFolders;
};

/// Creates an instance of a registered class by ProgID or class id. Fails with 429 for an
/// unknown class, 48 when its library cannot be loaded and 453 when it lacks DllGetClassObject.
VELMORA_PLATFORM_EXPORT Control *createObject(const QString &progIdOrClsid, QWidget *parent = nullptr,
                                             const ComponentRegistry &registry = ComponentRegistry());

/// The absolute path of the loaded library (or executable) that holds `address`.
VELMORA_PLATFORM_EXPORT QString modulePathOf(const void *address);

} // namespace platform
