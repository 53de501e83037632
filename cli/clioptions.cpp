#include "clioptions.h"

QString cliUsage()
{
    return QStringLiteral(
        "usage: velmora-cli (--listen PORT | --connect HOST:PORT) [--say TEXT]... [--send FILE] [--overwrite]\n"
        "                   [--receive-path PATH] [--chunk BYTES] [--interval MS] [--once] [--json]\n"
        "                   [--timeout SECONDS]");
}

namespace {

std::optional<qint64> wholeNumber(const QString &text, qint64 min, qint64 max)
{
    bool ok = false;
    const qint64 v = text.toLongLong(&ok);
    if (!ok || v < min || v > max)
        return std::nullopt;
    return v;
}

} // namespace

std::optional<CliOptions> parseCliOptions(const QStringList &args, QString *error)
{
    CliOptions o;
    bool haveEndpoint = false;
    auto fail = [&](const QString &why) {
        *error = why;
        return std::nullopt;
    };
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString &a = args[i];
        auto value = [&]() -> std::optional<QString> {
            if (i + 1 >= args.size())
                return std::nullopt;
            return args[++i];
        };
        if (a == u"--overwrite") {
            o.overwrite = true;
        } else if (a == u"--once") {
            o.once = true;
        } else if (a == u"--json") {
            o.json = true;
        } else if (a == u"--listen" || a == u"--connect" || a == u"--say" || a == u"--send" || a == u"--receive-path"
                   || a == u"--chunk" || a == u"--interval" || a == u"--timeout") {
            const auto v = value();
            if (!v)
                return fail(a + QStringLiteral(" needs a value"));
            if (a == u"--listen" || a == u"--connect") {
                if (haveEndpoint)
                    return fail(QStringLiteral("give one of --listen and --connect"));
                haveEndpoint = true;
                QString portText = *v;
                if (a == u"--connect") {
                    const qsizetype colon = v->lastIndexOf(u':');
                    if (colon <= 0)
                        return fail(QStringLiteral("--connect needs HOST:PORT"));
                    o.host = v->left(colon);
                    portText = v->mid(colon + 1);
                } else {
                    o.listen = true;
                }
                const auto port = wholeNumber(portText, o.listen ? 0 : 1, 65535);
                if (!port)
                    return fail(QStringLiteral("bad port: ") + portText);
                o.port = quint16(*port);
            } else if (a == u"--say") {
                o.say.append(*v);
            } else if (a == u"--send") {
                o.sendFile = *v;
            } else if (a == u"--receive-path") {
                o.receivePath = *v;
            } else if (a == u"--chunk") {
                const auto n = wholeNumber(*v, 1, 2147483647);
                if (!n)
                    return fail(QStringLiteral("bad chunk size: ") + *v);
                o.chunk = qint32(*n);
            } else if (a == u"--interval") {
                const auto n = wholeNumber(*v, 1, 2147483647);
                if (!n)
                    return fail(QStringLiteral("bad interval: ") + *v);
                o.intervalMsec = qint32(*n);
            } else {
                const auto n = wholeNumber(*v, 1, 1000000);
                if (!n)
                    return fail(QStringLiteral("bad timeout: ") + *v);
                o.timeoutSeconds = int(*n);
            }
        } else {
            return fail(QStringLiteral("unknown argument: ") + a);
        }
    }
    if (!haveEndpoint)
        return fail(QStringLiteral("give --listen PORT or --connect HOST:PORT"));
    return o;
}

QString checkCliOptions(const CliOptions &options)
{
    // The receiving side gives a transfer up after 5 s without bytes: pacing must stay below that.
    if (options.intervalMsec >= MaxIntervalMsec)
        return QStringLiteral("--interval must be below %1 ms: the receiving side releases a transfer after 5 s "
                              "without bytes")
            .arg(MaxIntervalMsec);
    return QString();
}
