#include "writewatch.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include <QList>

namespace {

bool watching = false;
QByteArray folder;  // with a trailing '/'
QByteArray refusal; // the first refused call
QList<QByteArray> created; // paths that calls inside the folder may have created

/// `path` as an absolute path: one relative to a folder's descriptor is read beneath where that
/// folder is now; one relative to the working folder stays relative (never taken as inside).
QByteArray absolute(int dirfd, const char *path)
{
    if (!path || path[0] == '/' || dirfd == AT_FDCWD)
        return QByteArray(path ? path : "");
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", dirfd);
    char folder[PATH_MAX];
    const ssize_t n = ::readlink(link, folder, sizeof folder - 1);
    if (n <= 0)
        return QByteArray(path);
    return QByteArray(folder, n) + '/' + path;
}

bool inFolder(const QByteArray &path)
{
    if (!path.startsWith('/'))
        return false;
    if (!path.startsWith(folder))
        return false;
    const QByteArray rest = path.mid(folder.size() - 1);
    return !rest.contains("/../") && !rest.endsWith("/..");
}

enum Effect { Changes, Creates };

bool allowed(const char *call, int dirfd, const char *name, Effect effect = Changes)
{
    if (!watching)
        return true;
    const QByteArray path = absolute(dirfd, name);
    if (inFolder(path)) {
        if (effect == Creates)
            created.append(path);
        return true;
    }
    if (refusal.isEmpty())
        refusal = QByteArray(call) + ' ' + (name ? path : QByteArray("(null)"));
    errno = EACCES;
    return false;
}

bool allowed(const char *call, const char *path, Effect effect = Changes)
{
    return allowed(call, AT_FDCWD, path, effect);
}

bool writes(int flags)
{
    return (flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC | O_APPEND)) != 0
        || (flags & O_TMPFILE) == O_TMPFILE;
}

Effect createEffect(int flags)
{
    return (flags & O_CREAT) ? Creates : Changes;
}

mode_t modeArgument(int flags, va_list args)
{
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? mode_t(va_arg(args, int)) : 0;
}

/// The system's own `name`, the one this file stands in front of.
template <typename Fn>
Fn systemCall(const char *name)
{
    return reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, name));
}

} // namespace

namespace writewatch {

void setFolder(const QByteArray &path) { folder = path.endsWith('/') ? path : path + '/'; }
void setWatching(bool on) { watching = on; }

QByteArray takeRefusal() { return std::exchange(refusal, {}); }

QList<QByteArray> takeCreated() { return std::exchange(created, {}); }

} // namespace writewatch

// The calls themselves, found ahead of the C library's by every library of the process (so
// they are visible outside the executable, whatever the default visibility).
#define WATCHED __attribute__((visibility("default")))

extern "C" {

#define WATCHED_OPEN(name)                                                                                         \
    WATCHED int name(const char *path, int flags, ...)                                                             \
    {                                                                                                              \
        va_list args;                                                                                              \
        va_start(args, flags);                                                                                     \
        const mode_t mode = modeArgument(flags, args);                                                             \
        va_end(args);                                                                                              \
        static const auto real = systemCall<int (*)(const char *, int, ...)>(#name);                               \
        return writes(flags) && !allowed(#name, path, createEffect(flags)) ? -1 : real(path, flags, mode);         \
    }
#define WATCHED_OPENAT(name)                                                                                       \
    WATCHED int name(int dirfd, const char *path, int flags, ...)                                                  \
    {                                                                                                              \
        va_list args;                                                                                              \
        va_start(args, flags);                                                                                     \
        const mode_t mode = modeArgument(flags, args);                                                             \
        va_end(args);                                                                                              \
        static const auto real = systemCall<int (*)(int, const char *, int, ...)>(#name);                          \
        return writes(flags) && !allowed(#name, dirfd, path, createEffect(flags)) ? -1                             \
                                                                                  : real(dirfd, path, flags, mode); \
    }
WATCHED_OPEN(open)
WATCHED_OPEN(open64)
WATCHED_OPENAT(openat)
WATCHED_OPENAT(openat64)

WATCHED int creat(const char *path, mode_t mode)
{
    static const auto real = systemCall<int (*)(const char *, mode_t)>("creat");
    return allowed("creat", path, Creates) ? real(path, mode) : -1;
}

WATCHED int creat64(const char *path, mode_t mode)
{
    static const auto real = systemCall<int (*)(const char *, mode_t)>("creat64");
    return allowed("creat64", path, Creates) ? real(path, mode) : -1;
}

WATCHED int mkdir(const char *path, mode_t mode) noexcept
{
    static const auto real = systemCall<int (*)(const char *, mode_t)>("mkdir");
    return allowed("mkdir", path, Creates) ? real(path, mode) : -1;
}

WATCHED int mkdirat(int dirfd, const char *path, mode_t mode) noexcept
{
    static const auto real = systemCall<int (*)(int, const char *, mode_t)>("mkdirat");
    return allowed("mkdirat", dirfd, path, Creates) ? real(dirfd, path, mode) : -1;
}

WATCHED int rmdir(const char *path) noexcept
{
    static const auto real = systemCall<int (*)(const char *)>("rmdir");
    return allowed("rmdir", path) ? real(path) : -1;
}

WATCHED int unlink(const char *path) noexcept
{
    static const auto real = systemCall<int (*)(const char *)>("unlink");
    return allowed("unlink", path) ? real(path) : -1;
}

WATCHED int unlinkat(int dirfd, const char *path, int flags) noexcept
{
    static const auto real = systemCall<int (*)(int, const char *, int)>("unlinkat");
    return allowed("unlinkat", dirfd, path) ? real(dirfd, path, flags) : -1;
}

WATCHED int rename(const char *from, const char *to) noexcept
{
    static const auto real = systemCall<int (*)(const char *, const char *)>("rename");
    return allowed("rename", from) && allowed("rename", to, Creates) ? real(from, to) : -1;
}

WATCHED int renameat(int fromDir, const char *from, int toDir, const char *to) noexcept
{
    static const auto real = systemCall<int (*)(int, const char *, int, const char *)>("renameat");
    return allowed("renameat", fromDir, from) && allowed("renameat", toDir, to, Creates) ? real(fromDir, from, toDir, to)
                                                                                           : -1;
}

WATCHED int renameat2(int fromDir, const char *from, int toDir, const char *to, unsigned int flags) noexcept
{
    static const auto real = systemCall<int (*)(int, const char *, int, const char *, unsigned int)>("renameat2");
    return allowed("renameat2", fromDir, from) && allowed("renameat2", toDir, to, Creates)
        ? real(fromDir, from, toDir, to, flags)
        : -1;
}

WATCHED int truncate(const char *path, off_t length) noexcept
{
    static const auto real = systemCall<int (*)(const char *, off_t)>("truncate");
    return allowed("truncate", path) ? real(path, length) : -1;
}

WATCHED int truncate64(const char *path, off64_t length) noexcept
{
    static const auto real = systemCall<int (*)(const char *, off64_t)>("truncate64");
    return allowed("truncate64", path) ? real(path, length) : -1;
}

WATCHED int link(const char *from, const char *to) noexcept
{
    static const auto real = systemCall<int (*)(const char *, const char *)>("link");
    return allowed("link", to, Creates) ? real(from, to) : -1;
}

WATCHED int linkat(int fromDir, const char *from, int toDir, const char *to, int flags) noexcept
{
    static const auto real = systemCall<int (*)(int, const char *, int, const char *, int)>("linkat");
    return allowed("linkat", toDir, to, Creates) ? real(fromDir, from, toDir, to, flags) : -1;
}

WATCHED int symlink(const char *target, const char *path) noexcept
{
    static const auto real = systemCall<int (*)(const char *, const char *)>("symlink");
    return allowed("symlink", path, Creates) ? real(target, path) : -1;
}

WATCHED int symlinkat(const char *target, int dirfd, const char *path) noexcept
{
    static const auto real = systemCall<int (*)(const char *, int, const char *)>("symlinkat");
    return allowed("symlinkat", dirfd, path, Creates) ? real(target, dirfd, path) : -1;
}

WATCHED int chmod(const char *path, mode_t mode) noexcept
{
    static const auto real = systemCall<int (*)(const char *, mode_t)>("chmod");
    return allowed("chmod", path) ? real(path, mode) : -1;
}

WATCHED int fchmodat(int dirfd, const char *path, mode_t mode, int flags) noexcept
{
    static const auto real = systemCall<int (*)(int, const char *, mode_t, int)>("fchmodat");
    return allowed("fchmodat", dirfd, path) ? real(dirfd, path, mode, flags) : -1;
}

} // extern "C"
