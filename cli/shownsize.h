#pragma once
// A length in bytes for people.

#include <QString>

namespace shownsize {
// `bytes` in the largest of `units` (each `base` times the one before) that keeps a whole part
// below `base`, with one decimal; below `base`, "5 B".
inline QString scaled(qint64 bytes, double base, const char *const (&units)[5])
{
    if (bytes < qint64(base))
        return QStringLiteral("%1 B").arg(bytes);
    double value = double(bytes);
    int unit = -1;
    while (value >= base - 0.05 && unit < 4) {
        value /= base;
        ++unit;
    }
    return QStringLiteral("%1 %2").arg(value, 0, 'f', 1).arg(QLatin1String(units[unit]));
}
} // namespace shownsize

/// "2.1 MB": powers of 1000, one decimal; below 1000, "5 B".
inline QString shownSize(qint64 bytes)
{
    static const char *const units[] = {"kB", "MB", "GB", "TB", "PB"};
    return shownsize::scaled(bytes, 1000.0, units);
}

/// "512.0 MiB": powers of 1024, one decimal; below 1024, "5 B".
inline QString shownBinarySize(qint64 bytes)
{
    static const char *const units[] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
    return shownsize::scaled(bytes, 1024.0, units);
}
