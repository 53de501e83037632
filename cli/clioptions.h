#pragma once
// The command line of velmora-cli.

#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <optional>

struct CliOptions
{
    bool listen = false;
    quint16 port = 0;
    QHostAddress listenAddress = QHostAddress::Any; ///< --listen ADDRESS:PORT: that address alone
    QString host;
    QStringList say;
    QStringList sendPaths;   ///< --send: files and folders, in order
    std::optional<QString> receiveDir; ///< --receive-dir: the folder received files are kept under
    QList<QPair<QHostAddress, int>> allowed; ///< --allow: who may connect to a listener (empty: anyone)
    bool overwrite = false;
    std::optional<QString> receivePath;
    qint32 chunk = 4 * 1024 * 1024; ///< with 1 ms between chunks, a ceiling of about 4 GB/s
    qint32 intervalMsec = 1;
    bool once = false;
    bool json = false;
    bool progress = false;   ///< --progress: report progress whatever standard error is
    int timeoutSeconds = 0; ///< 0: no time limit
    std::optional<QString> encoding; ///< the wire encoding's name, when given
    bool discover = false;   ///< --discover: list the peers announced on the network
    QString peerName;        ///< --connect NAME: the announced peer to connect to
    bool announce = true;    ///< a listener announces itself (off with --no-announce)
    QString name;            ///< the name it announces ("" = the host name)
    QStringList notes;       ///< what the command line asks for that will not do what it may seem to
    /// --secure: whether connections are secured (a listener takes both kinds of peer unless told).
    enum class Security { Unset, Off, Auto, Required };
    Security secure = Security::Unset;
    QByteArray pairCode;     ///< --pair CODE: pair with the listener that shows it
    bool noPair = false;     ///< --no-pair: a listener takes no new peers
    bool showIdentity = false; ///< --identity
    bool listPeers = false;    ///< --peers
    QString forget;            ///< --forget NAME|FINGERPRINT
    bool newCode = false;      ///< --new-code
    bool dropPartial = false;  ///< --drop-partial
    int retries = 0;           ///< --retry N: connections made again after one drops
    QString announcedFingerprint;
    QList<QHostAddress> addresses; ///< --connect NAME: every address the peer was found at
    /// Which offered files a receiving side takes: every one the rules allow, the ones the user
    /// accepts, those of paired peers (asking about the others), or none.
    enum class Accepting { All, Ask, Paired, None };
    Accepting accepting = Accepting::All;
    bool serve = false;        ///< --serve: a background receiver that runs on across peers ///< --connect NAME: the start of the fingerprint the peer announces

    bool hasActions() const { return !say.isEmpty() || !sendPaths.isEmpty(); }
    /// A run that only looks after this user's identity and known peers.
    bool managesPeers() const { return showIdentity || listPeers || !forget.isEmpty() || newCode || dropPartial; }
    /// Whether a connection this run makes starts TLS.
    bool connectsSecurely() const
    {
        return secure == Security::Auto || secure == Security::Required || !pairCode.isEmpty();
    }
    /// Whether a listener of this run takes secure peers.
    bool acceptsSecurely() const { return secure != Security::Off; }
};

/// What a command line asks for.
struct CliCommand
{
    enum class Kind { Run, Help, Version, UsageError };
    Kind kind = Kind::Run;
    CliOptions options; ///< what to run (Run)
    QString error;      ///< why the command line is wrong (UsageError)
};

/// Exit statuses of velmora-cli.
namespace cliexit {
inline constexpr int Done = 0;
inline constexpr int Failed = 1;
inline constexpr int Usage = 2;
inline constexpr int TimedOut = 3;
} // namespace cliexit

/// The port --serve listens on unless told.
inline constexpr quint16 ServeDefaultPort = 41001;

/// The smallest pacing interval that is refused, in ms.
inline constexpr qint32 MaxIntervalMsec = 5000;

/// The usage lines.
QString cliUsage();
/// The text of --help: the usage, one line per option and the exit statuses.
QString cliHelp();
/// The text of --version: "velmora-cli" and the project's version.
QString cliVersion();

/// Reads the arguments, the program name first (as QCoreApplication::arguments() gives them).
CliCommand parseCliCommand(const QStringList &arguments);
