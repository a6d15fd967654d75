#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

namespace tallyfold::test {

// Runs tallyfold-terminal-sim (from TALLYFOLD_BIN_DIR) for a test and reads its
// event lines. Stopped on destruction.
class TerminalSimProcess {
public:
    TerminalSimProcess() = default;
    ~TerminalSimProcess();
    TerminalSimProcess(const TerminalSimProcess&) = delete;
    TerminalSimProcess& operator=(const TerminalSimProcess&) = delete;

    static QString executablePath();

    // Starts the simulator with --link linkPath plus `arguments` and waits for
    // its ready line. False, with errorString() set, when it does not come.
    bool start(const QString& linkPath, const QStringList& arguments, int timeoutMs = 10000);
    // Starts the simulator with `arguments` as they are and waits for the ready
    // line of every --link and --listen in them; endpoints() then holds what
    // those lines name, in order (a --listen on port 0 shows the port it got).
    bool startBuses(const QStringList& arguments, int timeoutMs = 10000);
    QStringList endpoints() const { return endpoints_; }
    // Waits until the simulator has printed `line` (since start), consuming it
    // and every line before it.
    bool waitForEvent(const QString& line, int timeoutMs = 5000);
    // The lines printed so far and not yet consumed, after reading what is pending.
    QStringList events();
    // Sends SIGTERM and waits for a clean exit; true when it exited with 128 + SIGTERM, as it should.
    bool stop(int timeoutMs = 5000);

    QString linkPath() const { return linkPath_; }
    QString errorString() const { return error_; }
    bool isRunning() const { return process_.state() != QProcess::NotRunning; }

private:
    void readPending();

    QProcess process_;
    QString linkPath_;
    QString error_;
    QByteArray partial_;
    QStringList lines_;
    QStringList endpoints_;
};

}  // namespace tallyfold::test
