// velmora-controlbench: two FileSender controls in one process over 127.0.0.1.
//   --small-files N [--size BYTES] [--interval MS]   N files sent one after another over one
//       connection: files per second and where the time of one file goes.
//   --round-trips N   text messages bounced back and forth: round trip p50/p99 in microseconds.
// Prints one JSON object. Not a test: nothing passes or fails.

#include "controlsite.h"
#include "filesender.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <vector>

namespace {

/// Boxes are printed, never shown: a benchmark has nobody to press OK.
class QuietSite : public platform::ControlSite
{
public:
    bool ambientUserMode() const override { return true; }
    void propertyChanged(const QString &) override {}
    int messageBox(const QString &text, int, const QString &) override
    {
        QTextStream(stderr) << "velmora-controlbench: " << text << "\n";
        QCoreApplication::exit(1);
        return 1;
    }
};

bool waitUntil(const std::function<bool()> &done, int timeoutMs = 30000)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    }
    return true;
}

/// Two controls on one quiet site: `client` connects to `listener`.
struct ControlPair
{
    QuietSite site;
    sender::FileSender client, listener;

    bool connect()
    {
        client.setSite(&site);
        listener.setSite(&site);
        listener.setLocalPort(0);
        listener.Listen();
        client.Connect(QStringLiteral("127.0.0.1"), listener.LocalPort());
        return waitUntil([&] {
            return listener.State() == platform::SocketComponent::Connected
                && client.State() == platform::SocketComponent::Connected;
        });
    }
};

double percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    const size_t at = std::min(values.size() - 1, size_t(p / 100.0 * double(values.size())));
    return values[at];
}

double mean(const std::vector<double> &values)
{
    double sum = 0;
    for (double v : values)
        sum += v;
    return values.empty() ? 0 : sum / double(values.size());
}

int smallFiles(int count, int size, int intervalMsec)
{
    QTemporaryDir dir;
    ControlPair pair;
    if (!pair.connect())
        return 1;
    sender::FileSender &from = pair.client;
    sender::FileSender &to = pair.listener;
    from.setBufferSize(qMax(size, 1));
    from.setInterval(intervalMsec);

    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(i * 13);
    std::vector<QString> sources;
    for (int i = 0; i < count; ++i) {
        const QString path = dir.filePath(QStringLiteral("src-%1.bin").arg(i));
        QFile f(path);
        bytes[0] = char(i);
        if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != size)
            return 1;
        sources.push_back(path);
    }

    // Stamps of one file: sent header, answer "SendDat:" (its first chunk goes at once), first
    // tick (when a file needs more chunks than the first), "HereisIt".
    QElapsedTimer clock;
    qint64 header = 0, answered = 0, ticked = 0;
    std::vector<double> headerRtt, tickWait, dataRtt;
    QObject::connect(&from.socket(), &platform::SocketComponent::dataArrival, &from, [&] {
        if (!answered && from.sendTimer().Enabled())
            answered = clock.nsecsElapsed();
    });
    QObject::connect(&from.sendTimer(), &platform::Timer::tick, &from, [&] {
        if (answered && !ticked)
            ticked = clock.nsecsElapsed();
    });

    clock.start();
    for (int i = 0; i < count; ++i) {
        to.setReciveFilePath(dir.filePath(QStringLiteral("dst-%1.bin").arg(i)));
        header = clock.nsecsElapsed();
        answered = ticked = 0;
        from.SendFile(sources[size_t(i)]);
        if (!waitUntil([&] { return from.Busy() == platform::VariantFalse; }))
            return 1;
        const qint64 done = clock.nsecsElapsed();
        if (answered) {
            headerRtt.push_back(double(answered - header) / 1000.0);
            tickWait.push_back(ticked ? double(ticked - answered) / 1000.0 : 0.0);
            dataRtt.push_back(double(done - answered) / 1000.0);
        }
    }
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    for (int i = 0; i < count; ++i) {
        QFile f(dir.filePath(QStringLiteral("dst-%1.bin").arg(i)));
        if (!f.open(QIODevice::ReadOnly) || f.size() != size) {
            QTextStream(stderr) << "velmora-controlbench: file " << i << " did not arrive whole\n";
            return 1;
        }
    }
    const QJsonObject result{
        {"files", count},
        {"file_bytes", size},
        {"interval_ms", intervalMsec},
        {"seconds", qRound(seconds * 1000) / 1000.0},
        {"files_per_second", qRound(count / seconds * 10) / 10.0},
        {"header_rtt_us", qRound(mean(headerRtt))},
        {"tick_wait_us", qRound(mean(tickWait))},
        {"data_rtt_us", qRound(mean(dataRtt))},
    };
    QTextStream(stdout) << QJsonDocument(result).toJson(QJsonDocument::Compact) << "\n";
    return 0;
}

int roundTrips(int count)
{
    ControlPair pair;
    if (!pair.connect())
        return 1;
    sender::FileSender &a = pair.client;
    sender::FileSender &b = pair.listener;
    QObject::connect(&b, &sender::FileSender::ReciveMessage, &b, [&b](const QString &text) { b.SendMessage(text); });
    QElapsedTimer clock;
    int back = 0;
    QObject::connect(&a, &sender::FileSender::ReciveMessage, &a, [&] { ++back; });
    std::vector<double> micros;
    const int warmUp = 50;
    for (int i = 0; i < warmUp + count; ++i) {
        const int expected = back + 1;
        clock.start();
        a.SendMessage(QStringLiteral("ping %1").arg(i));
        if (!waitUntil([&] { return back == expected; }))
            return 1;
        if (i >= warmUp)
            micros.push_back(double(clock.nsecsElapsed()) / 1000.0);
    }
    const QJsonObject result{
        {"round_trips", count},
        {"p50_us", qRound(percentile(micros, 50))},
        {"p99_us", qRound(percentile(micros, 99))},
    };
    QTextStream(stdout) << QJsonDocument(result).toJson(QJsonDocument::Compact) << "\n";
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    auto value = [&](const QString &name, int fallback) {
        const qsizetype at = args.indexOf(name);
        return at >= 0 && at + 1 < args.size() ? args[at + 1].toInt() : fallback;
    };
    if (args.contains(QStringLiteral("--small-files")))
        return smallFiles(value(QStringLiteral("--small-files"), 1000), value(QStringLiteral("--size"), 4096),
                          value(QStringLiteral("--interval"), 1));
    if (args.contains(QStringLiteral("--round-trips")))
        return roundTrips(value(QStringLiteral("--round-trips"), 2000));
    QTextStream(stderr) << "usage: velmora-controlbench --small-files N [--size BYTES] [--interval MS] | --round-trips N\n";
    return 2;
}
