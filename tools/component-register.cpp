// component-register [--unregister] LIBRARY
// Loads a component library and calls its DllRegisterServer (or DllUnregisterServer), which
// records (or removes) its classes in the component registry.

#include "registry.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLibrary>
#include <QTextStream>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTextStream err(stderr);
    QTextStream out(stdout);
    QStringList args = app.arguments().mid(1);
    if (args == QStringList{QStringLiteral("--help")} || args == QStringList{QStringLiteral("-h")}) {
        out << "Usage: component-register [--unregister] LIBRARY\n"
               "Loads the component library LIBRARY and has it record its classes in this user's component\n"
               "registry ($COMPONENT_REGISTRY, else ~/.config/component-registry.ini), or remove them with\n"
               "--unregister. Hosts create a registered class by name without linking its library.\n\n"
               "Options:\n"
               "  --unregister  Remove the library's classes from the registry.\n"
               "  -h, --help    Show this help and exit.\n"
               "  --version     Show the version and exit.\n\n"
               "Exit status: 0 done, 1 the library cannot be loaded or refused, 2 bad usage.\n";
        return 0;
    }
    if (args == QStringList{QStringLiteral("--version")}) {
        out << "component-register " VELMORA_VERSION "\n";
        return 0;
    }
    const bool unregister = args.removeAll(QStringLiteral("--unregister")) > 0;
    if (args.size() != 1 || args.first().startsWith(u'-')) {
        err << "usage: component-register [--unregister] LIBRARY\n";
        return 2;
    }
    const QString path = QFileInfo(args.first()).absoluteFilePath();
    if (!QFileInfo::exists(path)) {
        err << "component-register: " << path << ": no such file\n";
        return 1;
    }
    QLibrary library(path);
    if (!library.load()) {
        err << "component-register: cannot load " << path << ": " << library.errorString() << "\n";
        return 1;
    }
    const char *entry = unregister ? "DllUnregisterServer" : "DllRegisterServer";
    const auto fn = reinterpret_cast<platform::DllRegisterServerFn>(library.resolve(entry));
    if (!fn) {
        err << "component-register: " << path << " has no entry point " << entry
            << "; it is not a component library\n";
        return 1;
    }
    const qint32 result = fn();
    if (result != platform::hr::Ok) {
        err << "component-register: " << entry << " failed with 0x" << QString::number(quint32(result), 16)
            << "\n";
        return 1;
    }
    out << (unregister ? "Unregistered " : "Registered ") << path << " in "
        << platform::ComponentRegistry::defaultPath() << "\n";
    return 0;
}
