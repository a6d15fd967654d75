#include "terminal_sim_process.h"

#include <QDeadlineTimer>
#include <QDir>
#include <algorithm>
#include <csignal>

namespace tallyfold::test {

TerminalSimProcess::~TerminalSimProcess() {
    stop();
}

QString TerminalSimProcess::executablePath() {
    return QDir(qEnvironmentVariable("TALLYFOLD_BIN_DIR")).filePath(QStringLiteral("tallyfold-terminal-sim"));
}

bool TerminalSimProcess::start(const QString& linkPath, const QStringList& arguments, int timeoutMs) {
    stop();
    linkPath_ = linkPath;
    lines_.clear();
    partial_.clear();
    error_.clear();
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_.start(executablePath(), QStringList{QStringLiteral("--link"), linkPath} + arguments);
    if (!process_.waitForStarted(timeoutMs)) {
        error_ = process_.errorString();
        return false;
    }
    if (!waitForEvent(QStringLiteral("ready ") + linkPath, timeoutMs)) {
        error_ = QStringLiteral("no ready line from %1").arg(executablePath());
        return false;
    }
    return true;
}

bool TerminalSimProcess::startBuses(const QStringList& arguments, int timeoutMs) {
    stop();
    lines_.clear();
    partial_.clear();
    endpoints_.clear();
    const qsizetype buses = arguments.count(QStringLiteral("--link")) + arguments.count(QStringLiteral("--listen"));
    const qsizetype link = arguments.indexOf(QStringLiteral("--link"));
    linkPath_ = link >= 0 ? arguments.value(link + 1) : QString();
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_.start(executablePath(), arguments);
    QDeadlineTimer deadline(timeoutMs);
    if (!process_.waitForStarted(timeoutMs)) {
        error_ = process_.errorString();
        return false;
    }
    const QString ready = QStringLiteral("ready ");
    while (endpoints_.size() < buses) {
        readPending();
        while (!lines_.isEmpty() && lines_.first().startsWith(ready))
            endpoints_.append(lines_.takeFirst().mid(ready.size()));
        if (endpoints_.size() == buses)
            break;
        if (deadline.hasExpired() || process_.state() == QProcess::NotRunning) {
            error_ = QStringLiteral("no ready line from %1").arg(executablePath());
            return false;
        }
        process_.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime())));
    }
    return true;
}

void TerminalSimProcess::readPending() {
    partial_.append(process_.readAllStandardOutput());
    qsizetype end;
    while ((end = partial_.indexOf('\n')) >= 0) {
        lines_.append(QString::fromLocal8Bit(partial_.left(end)));
        partial_.remove(0, end + 1);
    }
}

bool TerminalSimProcess::waitForEvent(const QString& line, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        readPending();
        const qsizetype at = lines_.indexOf(line);
        if (at >= 0) {
            lines_.remove(0, at + 1);
            return true;
        }
        if (deadline.hasExpired() || process_.state() == QProcess::NotRunning)
            return false;
        process_.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime())));
    }
}

QStringList TerminalSimProcess::events() {
    readPending();
    return lines_;
}

bool TerminalSimProcess::stop(int timeoutMs) {
    if (process_.state() == QProcess::NotRunning)
        return process_.exitStatus() == QProcess::NormalExit && process_.exitCode() == 128 + SIGTERM;
    process_.terminate();
    if (!process_.waitForFinished(timeoutMs)) {
        process_.kill();
        process_.waitForFinished(timeoutMs);
        return false;
    }
    readPending();
    return process_.exitStatus() == QProcess::NormalExit && process_.exitCode() == 128 + SIGTERM;
}

}  // namespace tallyfold::test
