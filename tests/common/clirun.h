#pragma once
// Running velmora-cli processes from a test: start, read what they print, wait for the end.

#include "testhelpers.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

namespace testing {

/// One velmora-cli process and everything it printed on standard output so far. Each has an
/// identity and known peers of its own, in a home of its own.
struct CliRun
{
    std::unique_ptr<QProcess> process = std::make_unique<QProcess>();
    std::unique_ptr<QTemporaryDir> home = std::make_unique<QTemporaryDir>();
    QByteArray out;

    void start(const QString &program, const QStringList &args)
    {
        QProcessEnvironment env = process->processEnvironment();
        if (env.isEmpty())
            env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_DATA_HOME"), home->filePath(QStringLiteral("data")));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home->filePath(QStringLiteral("config")));
        process->setProcessEnvironment(env);
        process->start(program, args);
        QVERIFY(process->waitForStarted());
    }
    /// The exit status, whether the process is still running or has already ended (see exitStatusOf).
    int finish(int timeoutMs = 60000)
    {
        const int status = exitStatusOf(*process, timeoutMs);
        out += process->readAllStandardOutput();
        return status;
    }
    /// The lines printed so far; a line still being written is left out until it is whole.
    QStringList lines()
    {
        out += process->readAllStandardOutput();
        const qsizetype whole = process->state() == QProcess::NotRunning ? out.size() : out.lastIndexOf('\n') + 1;
        return QString::fromUtf8(out.left(whole)).split(u'\n', Qt::SkipEmptyParts);
    }
    /// How many times a line equal to `line` was printed.
    int count(const QString &line) { return int(lines().count(line)); }
    /// Descriptors the process holds open now (-1 once it has ended).
    int openDescriptors() const
    {
        if (process->state() != QProcess::Running)
            return -1;
        return int(QDir(QStringLiteral("/proc/%1/fd").arg(process->processId()))
                       .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
                       .size());
    }
    /// Where the process's descriptors point (empty once it has ended).
    QStringList descriptorTargets() const
    {
        QStringList targets;
        const QDir fds(QStringLiteral("/proc/%1/fd").arg(process->processId()));
        for (const QString &fd : fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot))
            targets.append(QFile::symLinkTarget(fds.filePath(fd)));
        return targets;
    }
};

/// Pairs the identities in the homes of `listener` and `connector` by running `program` once on
/// each, the connector with the listener's code (`listenerArgs` added to the listener's): their
/// next runs resume with each other.
inline void pairRuns(const QString &program, CliRun &listener, CliRun &connector, const QStringList &listenerArgs = {})
{
    listener.start(program, QStringList{"--listen", "0", "--timeout", "60", "--once", "--no-announce"} + listenerArgs);
    QRegularExpressionMatch listening, code;
    QVERIFY(waitFor([&] {
        const QString out = listener.lines().join(u'\n');
        listening = QRegularExpression("listening: (\\d+)").match(out);
        code = QRegularExpression("pairing code: (\\d+)-(\\d+)").match(out);
        return listening.hasMatch() && code.hasMatch();
    }, 10000));
    connector.start(program, {"--connect", QStringLiteral("127.0.0.1:%1").arg(listening.captured(1)), "--pair",
                              code.captured(1) + code.captured(2), "--say", "paired", "--timeout", "60"});
    QCOMPARE(connector.finish(), 0);
    QCOMPARE(listener.finish(), 0);
}

/// Bytes a receive into `target` has written so far: a receive goes into a hidden file beside
/// the target, which replaces it once complete (then the target's size).
inline qint64 receivedSoFar(const QString &target)
{
    const QFileInfo info(target);
    const QFileInfoList parts = info.dir().entryInfoList({QStringLiteral(".%1.velmora-*").arg(info.fileName())},
                                                         QDir::Files | QDir::Hidden);
    return parts.isEmpty() ? info.size() : parts.first().size();
}

/// SHA-256 of a file's contents (empty when it cannot be read).
inline QByteArray fileDigest(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash h(QCryptographicHash::Sha256);
    h.addData(&f);
    return h.result();
}

/// Writes `size` pseudo-random bytes to `path`.
inline void makeRandomFile(const QString &path, qint64 size)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QRandomGenerator rng{quint32(size)};
    QByteArray block(1 << 16, '\0');
    for (qint64 done = 0; done < size; done += block.size()) {
        for (qsizetype i = 0; i < block.size(); i += 4)
            *reinterpret_cast<quint32 *>(block.data() + i) = rng.generate();
        f.write(block.constData(), qMin<qint64>(block.size(), size - done));
    }
}

} // namespace testing
