#pragma once
// A length in bytes for people.

#include <QString>

/// "2.1 MB": powers of 1000, one decimal; below 1000, "5 B".
inline QString shownSize(qint64 bytes)
{
    static const char *const units[] = {"kB", "MB", "GB", "TB", "PB"};
    if (bytes < 1000)
        return QStringLiteral("%1 B").arg(bytes);
    double value = double(bytes);
    int unit = -1;
    while (value >= 999.95 && unit < 4) {
        value /= 1000.0;
        ++unit;
    }
    return QStringLiteral("%1 %2").arg(value, 0, 'f', 1).arg(QLatin1String(units[unit]));
}

/// "512.0 MiB": powers of 1024, one decimal; below 1024, "5 B".
inline QString shownBinarySize(qint64 bytes)
{
    static const char *const units[] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
    if (bytes < 1024)
        return QStringLiteral("%1 B").arg(bytes);
    double value = double(bytes);
    int unit = -1;
    while (value >= 1023.95 && unit < 4) {
        value /= 1024.0;
        ++unit;
    }
    return QStringLiteral("%1 %2").arg(value, 0, 'f', 1).arg(QLatin1String(units[unit]));
}
