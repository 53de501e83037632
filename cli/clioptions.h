#pragma once
// The command line of velmora-cli.

#include <QString>
#include <QStringList>

#include <optional>

struct CliOptions
{
    bool listen = false;
    quint16 port = 0;
    QString host;
    QStringList say;
    QString sendFile;
    bool overwrite = false;
    std::optional<QString> receivePath;
    qint32 chunk = 100000;
    qint32 intervalMsec = 1;
    bool once = false;
    bool json = false;
    int timeoutSeconds = 0; ///< 0: no time limit

    bool hasActions() const { return !say.isEmpty() || !sendFile.isEmpty(); }
};

/// The usage line.
QString cliUsage();

/// Parses the arguments (without the program name); on bad usage returns nothing and sets `error`.
std::optional<CliOptions> parseCliOptions(const QStringList &args, QString *error);

/// The smallest pacing interval that is refused, in ms.
inline constexpr qint32 MaxIntervalMsec = 5000;

/// Why parsed options cannot work together with a peer ("" when they can).
QString checkCliOptions(const CliOptions &options);
