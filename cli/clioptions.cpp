#include "clioptions.h"

#include "netaddress.h"

#include "discoveryclient.h"
#include "pairing.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QDir>
#include <QHash>
#include <QRegularExpression>
#include <QStandardPaths>

#include <functional>

namespace {

// Every option of velmora-cli, in the order --help lists them. A new option is one more member
// here and, when it takes a value, one more check in read().
struct CliParser
{
    const CliOptions defaults;
    QCommandLineParser parser;
    QCommandLineOption help{{"h", "help"}, "Show this help and exit."};
    QCommandLineOption version{{"v", "version"}, "Show the version and exit."};
    QCommandLineOption listen{"listen",
                              "Listen on PORT, IPv4 and IPv6 (0 takes a free port and prints it); ADDRESS:PORT or "
                              "[IPv6]:PORT listens on that address alone.",
                              "PORT"};
    QCommandLineOption serve{"serve",
                             QStringLiteral("Receive in the background: listen (on --listen PORT, default %1), "
                                            "announce, take secure and plaintext peers, keep files under "
                                            "--receive-dir (default $XDG_DOWNLOAD_DIR/Velmora), accept files from "
                                            "paired peers and ask about the others with a desktop notification; "
                                            "runs on across peers.")
                                 .arg(ServeDefaultPort)};
    QCommandLineOption connect{"connect", "Connect to HOST:PORT or [IPv6]:PORT, or to the peer announced as NAME (looked for up to 5 s).",
                               "HOST:PORT|NAME"};
    QCommandLineOption name{"name",
                            "Announce the listener as NAME, and be known as NAME to a secure peer (default: the host "
                            "name).",
                            "NAME"};
    QCommandLineOption noAnnounce{"no-announce", "Do not announce the listener on the network."};
    QCommandLineOption discover{"discover", "Print the peers announced on the network as they come and go."};
    QCommandLineOption say{"say", "Send TEXT as a message once connected; repeat it for more, sent in order.",
                           "TEXT"};
    QCommandLineOption send{"send",
                            "Send FILE, or every file in FOLDER and its sub-folders, after the messages; repeat it "
                            "for more, sent in order.",
                            "FILE|FOLDER"};
    QCommandLineOption overwrite{"overwrite", "Have the peer receive the file even when one of that length is there."};
    QCommandLineOption receivePath{"receive-path",
                                   "Store received files under PATH; a sending side announces PATH to the peer (with "
                                   "several files or a folder, PATH names a folder on the peer).",
                                   "PATH"};
    QCommandLineOption receiveDir{"receive-dir",
                                  "Keep every received file under DIR, in the sub-folders the peer names; a path "
                                  "that would lead out of DIR is refused.",
                                  "DIR"};
    QCommandLineOption allow{"allow",
                             "Accept connections only from ADDRESS, or its network with /PREFIX (IPv4 or IPv6); "
                             "repeat it for more. Others are refused and the listener waits on.",
                             "ADDRESS[/PREFIX]"};
    QCommandLineOption accept{"accept",
                              "Which offered files to take: all (the default), paired (those of paired peers; ask "
                              "about the others), ask (ask about each) or none.",
                              "POLICY"};
    QCommandLineOption ask{"ask", "Ask on the terminal before taking each offered file (--accept ask)."};
    QCommandLineOption chunk{"chunk", QStringLiteral("Send files in chunks of BYTES (default %1).").arg(defaults.chunk),
                             "BYTES"};
    QCommandLineOption interval{"interval",
                                QStringLiteral("Wait MS milliseconds between chunks (default %1, below %2).")
                                    .arg(defaults.intervalMsec)
                                    .arg(MaxIntervalMsec),
                                "MS"};
    QCommandLineOption once{"once", "End a receiving run after the first file."};
    QCommandLineOption retry{"retry",
                             "Connect again up to N times after the connection drops (or cannot be made) while "
                             "files are still to go, pausing 1 s, then 2, 4 ... up to 30 s; a paired peer "
                             "continues a file where it stopped.",
                             "N"};
    QCommandLineOption dropPartial{"drop-partial",
                                   "Remove every partly received file kept for a paired peer to continue, and the "
                                   "checkpoints kept of partly sent ones."};
    QCommandLineOption json{"json", "Print one JSON object per line instead of text."};
    QCommandLineOption progress{"progress",
                                "Show the progress of each file even when standard error is no terminal; with "
                                "--json, as \"progress\" events (at most five a second)."};
    QCommandLineOption timeout{"timeout", "Give up after SECONDS (exit status 3); --discover ends then (status 0).",
                               "SECONDS"};
    QCommandLineOption secure{"secure",
                              "Secure connections with TLS 1.3 between peers of ours: auto (a listener's default: "
                              "secure peers and plaintext ones), required (secure peers only; alone, --secure means "
                              "this), or off.",
                              "MODE"};
    QCommandLineOption pair{"pair", "Pair with the listener that shows CODE (six digits) and pin it.", "CODE"};
    QCommandLineOption noPair{"no-pair", "A secure listener takes no new peers: pinned ones only."};
    QCommandLineOption identity{"identity", "Print this user's fingerprint and where the identity is kept."};
    QCommandLineOption peers{"peers", "List the peers this user paired with."};
    QCommandLineOption forget{"forget", "Forget the paired peer of that name or fingerprint.", "NAME|FINGERPRINT"};
    QCommandLineOption newCode{"new-code",
                               "End a pause after wrong pairing codes: every listener of this user shows a new code "
                               "at once."};
    QCommandLineOption encoding{"encoding",
                                "Strings on the wire in encoding NAME (GBK, GB18030, Big5, UTF-8, ...); default "
                                "$VELMORA_WIRE_ENCODING, else the system's own.",
                                "NAME"};

    CliParser()
    {
        parser.setApplicationDescription(
            QStringLiteral("Exchanges text messages and files with a peer (velmora-cli or the Velmora window) over "
                           "one TCP connection, printing one line per event."));
        parser.addOptions({help, version, listen, serve, connect, name, noAnnounce, discover, say, send, overwrite,
                           receivePath, receiveDir, allow, accept, ask, chunk, interval, once, json, progress,
                           timeout, encoding, secure, pair, noPair, identity, peers, forget, newCode, retry,
                           dropPartial});
    }

    std::optional<CliOptions> read(QString *error) const;
};

// A whole number written plainly: digits only, no sign and no leading zero.
std::optional<int> plainNumber(const QString &text, int max)
{
    static const QRegularExpression digits(QStringLiteral("^(0|[1-9][0-9]{0,2})$"));
    if (!digits.match(text).hasMatch() || text.toInt() > max)
        return std::nullopt;
    return text.toInt();
}

// ADDRESS[/PREFIX] of --allow. An IPv4 address is four decimal numbers (never "127.1" or an
// octal "010"); an IPv4 address written as IPv6 (::ffff:a.b.c.d) is taken as the IPv4 one.
std::optional<QPair<QHostAddress, int>> allowedNetwork(const QString &text)
{
    const QString addressText = text.section(u'/', 0, 0);
    const bool hasPrefix = text.contains(u'/');
    const QString prefixText = text.section(u'/', 1);
    QHostAddress address;
    if (addressText.contains(u':')) {
        if (!address.setAddress(addressText) || address.protocol() != QAbstractSocket::IPv6Protocol)
            return std::nullopt;
    } else {
        const QStringList parts = addressText.split(u'.');
        if (parts.size() != 4)
            return std::nullopt;
        for (const QString &part : parts) {
            if (!plainNumber(part, 255))
                return std::nullopt;
        }
        address.setAddress(addressText);
    }
    const int full = address.protocol() == QAbstractSocket::IPv6Protocol ? 128 : 32;
    const auto prefix = hasPrefix ? plainNumber(prefixText, full) : std::optional<int>(full);
    if (!prefix)
        return std::nullopt;
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    if (full == 128 && mapped && *prefix >= 96 && address.isInSubnet(QHostAddress(QStringLiteral("::ffff:0:0")), 96))
        return qMakePair(QHostAddress(v4), *prefix - 96);
    return qMakePair(address, *prefix);
}

// Where --serve keeps what it receives unless told: a folder of its own among the downloads.
QString defaultServeFolder()
{
    QString downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    if (downloads.isEmpty())
        downloads = QDir::homePath() + QStringLiteral("/Downloads");
    return downloads + QStringLiteral("/Velmora");
}

std::optional<qint64> wholeNumber(const QString &text, qint64 min, qint64 max)
{
    bool ok = false;
    const qint64 v = text.toLongLong(&ok);
    if (!ok || v < min || v > max)
        return std::nullopt;
    return v;
}

std::optional<CliOptions> CliParser::read(QString *error) const
{
    CliOptions o = defaults;
    auto fail = [&](const QString &why) {
        *error = why;
        return std::nullopt;
    };
    if (!parser.positionalArguments().isEmpty())
        return fail(QStringLiteral("unknown argument: ") + parser.positionalArguments().first());
    QStringList listens = parser.values(listen);
    const QStringList connects = parser.values(connect);
    o.serve = parser.isSet(serve);
    if (o.serve && listens.isEmpty())
        listens.append(QString::number(ServeDefaultPort));
    o.discover = parser.isSet(discover);
    o.showIdentity = parser.isSet(identity);
    o.listPeers = parser.isSet(peers);
    o.forget = parser.value(forget);
    o.newCode = parser.isSet(newCode);
    o.dropPartial = parser.isSet(dropPartial);
    const int commands = int(listens.size() + connects.size()) + int(o.discover) + int(o.showIdentity)
        + int(o.listPeers) + int(parser.isSet(forget)) + int(o.newCode) + int(o.dropPartial);
    if (commands > 1)
        return fail(QStringLiteral("give one of --listen, --connect, --discover, --identity, --peers, --forget, "
                                   "--new-code and --drop-partial"));
    if (commands == 0)
        return fail(QStringLiteral("give --listen PORT, --connect HOST:PORT or NAME, or --discover"));
    if (o.managesPeers())
        return o;
    o.announce = !parser.isSet(noAnnounce);
    o.name = parser.value(name);
    if (parser.isSet(name) && o.discover)
        return fail(QStringLiteral("--name goes with --listen or --connect"));
    if (parser.isSet(name) && !discovery::isValidInstanceName(o.name))
        return fail(QStringLiteral("bad name (1 to 63 bytes): ") + o.name);
    QString portText;
    if (!listens.isEmpty()) {
        o.listen = true;
        portText = listens.first();
        if (portText.contains(u':')) { // ADDRESS:PORT or [IPv6]:PORT: that address alone
            const auto at = platform::net::splitHostAndPort(portText, 0);
            const QHostAddress address = at ? platform::net::literal(at->host) : QHostAddress();
            if (address.isNull())
                return fail(QStringLiteral("--listen needs PORT, ADDRESS:PORT or [IPv6]:PORT: ") + portText);
            o.listenAddress = address;
            portText = QString::number(at->port);
        }
    } else if (!connects.isEmpty()) {
        const QString &target = connects.first();
        // HOST:PORT ends in a colon and digits (an IPv6 address in brackets); anything else is
        // the name of an announced peer.
        const bool looksLikePort = QRegularExpression(QStringLiteral(":[0-9]+$")).match(target).hasMatch();
        if (!looksLikePort && !target.startsWith(u'[')) {
            if (!discovery::isValidInstanceName(target))
                return fail(QStringLiteral("--connect needs HOST:PORT, [IPv6]:PORT or the name of a peer (1 to 63 bytes)"));
            o.peerName = target;
        } else if (const auto at = platform::net::splitHostAndPort(target, 0)) {
            o.host = at->host;
            portText = QString::number(at->port);
        } else {
            return fail(QStringLiteral("--connect needs HOST:PORT, or [IPv6]:PORT with the address in brackets: ") + target);
        }
    }
    const auto port = wholeNumber(portText, o.listen ? 0 : 1, 65535);
    if (!port && !o.discover && o.peerName.isEmpty())
        return fail(QStringLiteral("bad port: ") + portText);
    o.port = quint16(port.value_or(0));

    // A number option given more than once takes its last value; every value must be good.
    struct NumberOption
    {
        const QCommandLineOption &option;
        qint64 min, max;
        const char *what;
        std::function<void(qint64)> store;
    };
    const NumberOption numbers[] = {
        {chunk, 1, 2147483647, "chunk size", [&](qint64 n) { o.chunk = qint32(n); }},
        {interval, 1, 2147483647, "interval", [&](qint64 n) { o.intervalMsec = qint32(n); }},
        {timeout, 1, 1000000, "timeout", [&](qint64 n) { o.timeoutSeconds = int(n); }},
        {retry, 0, 1000, "retry count", [&](qint64 n) { o.retries = int(n); }},
    };
    for (const NumberOption &n : numbers) {
        for (const QString &text : parser.values(n.option)) {
            const auto value = wholeNumber(text, n.min, n.max);
            if (!value)
                return fail(QStringLiteral("bad %1: %2").arg(QLatin1String(n.what), text));
            n.store(*value);
        }
    }

    // The receiving side releases a transfer after 5 s without bytes: pacing must stay below that.
    if (o.intervalMsec >= MaxIntervalMsec)
        return fail(QStringLiteral("--interval must be below %1 ms: the receiving side releases a transfer after "
                                   "5 s without bytes")
                        .arg(MaxIntervalMsec));

    o.say = parser.values(say);
    o.sendPaths = parser.values(send);
    o.overwrite = parser.isSet(overwrite);
    if (parser.isSet(receivePath))
        o.receivePath = parser.value(receivePath);
    if (parser.isSet(receiveDir))
        o.receiveDir = parser.value(receiveDir);
    if (o.receivePath && o.receiveDir)
        return fail(QStringLiteral("give one of --receive-path and --receive-dir"));
    if (parser.isSet(allow) && !o.listen)
        return fail(QStringLiteral("--allow goes with --listen"));
    for (const QString &text : parser.values(allow)) {
        const auto network = allowedNetwork(text);
        if (!network)
            return fail(QStringLiteral("bad address to allow: %1 (give four decimal numbers without leading zeros, "
                                       "or an IPv6 address, and a prefix length after \"/\")")
                            .arg(text));
        o.allowed.append(*network);
    }
    if (parser.isSet(secure)) {
        const QString mode = parser.value(secure);
        if (mode == u"auto")
            o.secure = CliOptions::Security::Auto;
        else if (mode == u"required")
            o.secure = CliOptions::Security::Required;
        else if (mode == u"off")
            o.secure = CliOptions::Security::Off;
        else
            return fail(QStringLiteral("bad --secure: %1 (give auto, required or off)").arg(mode));
    }
    if (parser.isSet(pair)) {
        const auto code = secure::PairingRun::parseCode(parser.value(pair));
        if (!code)
            return fail(QStringLiteral("bad pairing code: %1 (six digits, as the listener shows them)")
                            .arg(parser.value(pair)));
        if (o.listen)
            return fail(QStringLiteral("--pair goes with --connect: a listener shows its own code"));
        if (o.secure == CliOptions::Security::Off)
            return fail(QStringLiteral("--pair needs a secure connection, not --secure off"));
        o.pairCode = *code;
    }
    o.noPair = parser.isSet(noPair);
    if (o.noPair && !o.listen)
        return fail(QStringLiteral("--no-pair goes with --listen"));
    if (parser.isSet(accept) || parser.isSet(ask) || o.serve) {
        if (parser.isSet(accept) && parser.isSet(ask))
            return fail(QStringLiteral("give one of --accept and --ask"));
        static const QHash<QString, CliOptions::Accepting> policies{{"all", CliOptions::Accepting::All},
                                                                    {"ask", CliOptions::Accepting::Ask},
                                                                    {"paired", CliOptions::Accepting::Paired},
                                                                    {"none", CliOptions::Accepting::None}};
        const QString policy = parser.isSet(ask) ? QStringLiteral("ask")
                                                 : parser.isSet(accept) ? parser.value(accept) : QStringLiteral("paired");
        if (!policies.contains(policy))
            return fail(QStringLiteral("bad --accept: %1 (give all, paired, ask or none)").arg(policy));
        o.accepting = policies.value(policy);
    }
    if (o.serve) {
        if (!connects.isEmpty() || o.hasActions() || parser.isSet(once) || parser.isSet(receivePath))
            return fail(QStringLiteral("--serve receives: it goes with --listen, --receive-dir and --accept, not with "
                                       "--connect, --say, --send, --once or --receive-path"));
        if (!o.receiveDir)
            o.receiveDir = defaultServeFolder();
    }
    o.once = parser.isSet(once);
    if (parser.isSet(retry) && (o.listen || o.sendPaths.isEmpty()))
        return fail(QStringLiteral("--retry goes with --connect and --send"));
    o.json = parser.isSet(json);
    o.progress = parser.isSet(progress);
    if (parser.isSet(encoding))
        o.encoding = parser.value(encoding);
    if (o.discover && o.hasActions())
        return fail(QStringLiteral("--say and --send need --listen or --connect"));
    return o;
}

} // namespace

QString cliUsage()
{
    return QStringLiteral("usage: velmora-cli --listen PORT [OPTION]...\n"
                          "  or:  velmora-cli --serve [--listen PORT] [OPTION]...\n"
                          "  or:  velmora-cli --connect HOST:PORT|NAME [OPTION]...\n"
                          "  or:  velmora-cli --discover [--timeout SECONDS] [--json]\n"
                          "  or:  velmora-cli --identity | --peers | --forget NAME|FINGERPRINT | --new-code | --drop-partial");
}

QString cliHelp()
{
    CliParser p;
    QString text = p.parser.helpText();
    // Qt's own first line reads "Usage: velmora-cli [options]"; the real usage says more.
    QString usage = cliUsage();
    usage[0] = u'U';
    text.replace(0, text.indexOf(u'\n'), usage);
    return text
        + QStringLiteral("\nExit status:\n"
                         "  0    done\n"
                         "  1    a connection error, a refused or failed send, an incomplete receive,\n"
                         "       or a message of the control (printed to stderr); no peer of that NAME\n"
                         "       within 5 s, or discovery unavailable for --connect NAME or --discover\n"
                         "  2    bad usage or an unknown encoding (the reason on stderr)\n"
                         "  3    --timeout expired\n"
                         "  129  ended by SIGHUP\n"
                         "  130  ended by SIGINT\n"
                         "  131  ended by SIGQUIT\n"
                         "  143  ended by SIGTERM\n");
}

QString cliVersion()
{
    return QStringLiteral("velmora-cli " VELMORA_VERSION);
}

CliCommand parseCliCommand(const QStringList &given)
{
    // --secure alone (at the end, or before another option) means --secure required.
    static const QStringList takesValue{"--listen",      "--connect",     "--name",  "--say",     "--send",
                                        "--receive-path", "--receive-dir", "--allow", "--chunk",   "--interval",
                                        "--timeout",      "--encoding",    "--secure", "--pair",   "--forget",
                                        "--accept",       "--retry"};
    QStringList arguments = given;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        if (arguments[i] == u"--secure" && !takesValue.contains(arguments[i - 1])
            && (i + 1 == arguments.size() || arguments[i + 1].startsWith(u'-')))
            arguments[i] = QStringLiteral("--secure=required");
    }
    CliParser p;
    CliCommand command;
    if (!p.parser.parse(arguments)) {
        command.kind = CliCommand::Kind::UsageError;
        command.error = p.parser.errorText();
        return command;
    }
    if (p.parser.isSet(p.help)) {
        command.kind = CliCommand::Kind::Help;
        return command;
    }
    if (p.parser.isSet(p.version)) {
        command.kind = CliCommand::Kind::Version;
        return command;
    }
    const auto options = p.read(&command.error);
    if (!options)
        command.kind = CliCommand::Kind::UsageError;
    else
        command.options = *options;
    return command;
}
