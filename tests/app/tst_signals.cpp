#include "support/terminal_sim_process.h"
#include "support/test_databases.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QDeadlineTimer>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QtTest>

using namespace tallyfold::test;

// Our programs under real signals at chosen moments of their runs: the exit status follows the
// last summary, every summary but a completed one gives a reason, and every program ends.
class tst_signals : public QObject {
    Q_OBJECT
public:
    enum Moment {
        AfterSpawn,      // a few milliseconds after the spawn, while the loader may still be at work
        MidTransfer,     // once the gather's transfer from the simulator is under way
        SummaryWritten,  // the program blocked writing its summary to a full pipe: the work has ended
        WindowOpen,      // the idle window has opened the database
        Serving,         // a tool printed its ready line
    };
    Q_ENUM(Moment)

private Q_SLOTS:
    void endsAsItsSummarySays_data();
    void endsAsItsSummarySays();
};

namespace {

// The process and its children (tallyfold show runs the window's host as one).
QList<qint64> withChildren(qint64 pid) {
    QList<qint64> pids{pid};
    QFile children(QStringLiteral("/proc/%1/task/%1/children").arg(pid));
    if (children.open(QIODevice::ReadOnly))
        for (const QByteArray& child : children.readAll().split(' '))
            if (!child.trimmed().isEmpty())
                pids << child.trimmed().toLongLong();
    return pids;
}

bool holdsOpen(qint64 pid, const QString& path) {
    for (qint64 one : withChildren(pid)) {
        const QDir fds(QStringLiteral("/proc/%1/fd").arg(one));
        for (const QString& fd : fds.entryList(QDir::NoDotAndDotDot | QDir::System | QDir::Files))
            if (QFile::symLinkTarget(fds.filePath(fd)) == path)
                return true;
    }
    return false;
}

// Blocked in writing to a full pipe.
bool blockedInWrite(qint64 pid) {
    QFile wchan(QStringLiteral("/proc/%1/wchan").arg(pid));
    return wchan.open(QIODevice::ReadOnly) && wchan.readAll().contains("pipe_write");
}

bool waitFor(const std::function<bool()>& done, int ms) {
    const QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(5);
    }
    return true;
}

struct Summary {
    QString outcome;
    QJsonValue reason;
};

// The summaries among the output's lines, JSON or text.
QList<Summary> summaries(const QByteArray& out) {
    QList<Summary> found;
    for (const QByteArray& line : out.split('\n')) {
        if (line.startsWith('{')) {
            const QJsonObject o = QJsonDocument::fromJson(line).object();
            if (o.value("event") == QLatin1String("summary"))
                found << Summary{o.value("outcome").toString(), o.value("reason")};
        } else if (line.startsWith("summary\t")) {
            const QStringList f = QString::fromUtf8(line).split(QLatin1Char('\t'));
            found << Summary{f.value(8), f.value(9).isEmpty() ? QJsonValue() : QJsonValue(f.value(9))};
        }
    }
    return found;
}

}  // namespace

void tst_signals::endsAsItsSummarySays_data() {
    QTest::addColumn<QStringList>("command");  // program in TALLYFOLD_BIN_DIR, then its arguments
    QTest::addColumn<Moment>("moment");
    QTest::addColumn<int>("signal");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("outcome");  // of the last summary; empty: the program writes none
    QTest::addColumn<QString>("reason");   // what each summary but a completed one's reason says
    QTest::addColumn<int>("afterMs");      // AfterSpawn: from the spawn to the signal
    const QStringList tallyfold{"tallyfold", "--home", "HOME"};
    const QStringList admin{"--user", "admin"};
    // Held from the program's first instruction: a signal however early gives a summary, cancelled
    // or, if the run was quicker, the run's own. That instruction comes half a millisecond after the
    // exec, or later on a busy machine; the sanitizers' runtime starts before it.
#ifdef TALLYFOLD_SANITIZED
    const int earliest = 20;
#else
    const int earliest = 4;
#endif
    for (int ms = earliest; ms <= 8 * earliest; ms *= 2)
        QTest::addRow("import, SIGTERM %d ms after the spawn", ms)
            << tallyfold + QStringList{"--json", "import", "HOME/one.txt"} + admin << AfterSpawn << int(SIGTERM) << 143
            << "cancelled"
            << "stopped by SIGTERM after 0 lines" << ms;
    // A signal after the end changes nothing: neither a completed run's status nor a failed one's.
    QTest::newRow("import, SIGTERM once it ended")
        << tallyfold + QStringList{"--json", "--quiet", "import", "HOME/one.txt"} + admin << SummaryWritten
        << int(SIGTERM) << 0 << "completed"
        << "" << 0;
    QTest::newRow("trapped import, SIGINT once it ended")
        << tallyfold + QStringList{"--json", "--quiet", "import", "HOME/none.txt"} + admin << SummaryWritten
        << int(SIGINT) << 1 << "trapped"
        << "File not found" << 0;
    QTest::newRow("gather, SIGHUP mid-transfer, text")
        << tallyfold + QStringList{"gather"} + admin << MidTransfer << int(SIGHUP) << 129 << "cancelled"
        << "stopped by SIGHUP during the transfer from terminal 1" << 0;
    // Terminal 1 stops mid-transfer, terminal 2 on the same port is not begun; the total is cancelled too.
    QTest::newRow("gather --all, SIGTERM mid-transfer") << tallyfold + QStringList{"--json", "gather", "--all"} + admin
                                                        << MidTransfer << int(SIGTERM) << 143 << "cancelled"
                                                        << "stopped by SIGTERM" << 0;
    QTest::newRow("idle window of tallyfold-show, SIGTERM")
        << QStringList{"tallyfold-show", "--user", "admin"} << WindowOpen << int(SIGTERM) << 143 << ""
        << "" << 0;
    QTest::newRow("idle window of tallyfold show, SIGINT")
        << tallyfold + QStringList{"show"} + admin << WindowOpen << int(SIGINT) << 130 << ""
        << "" << 0;
    QTest::newRow("terminal simulator, SIGTERM")
        << QStringList{"tallyfold-terminal-sim", "--link", "HOME/bus", "--terminal", "1"} << Serving << int(SIGTERM)
        << 143 << ""
        << "" << 0;
    QTest::newRow("delay proxy, SIGTERM")
        << QStringList{"tallyfold-delay-proxy", "0", "127.0.0.1", "1"} << Serving << int(SIGTERM) << 143 << ""
        << "" << 0;
}

void tst_signals::endsAsItsSummarySays() {
    QFETCH(QStringList, command);
    QFETCH(Moment, moment);
    QFETCH(int, signal);
    QFETCH(int, status);
    QFETCH(QString, outcome);
    QFETCH(QString, reason);
    QFETCH(int, afterMs);
    TestHome home;
    const QString bin = qEnvironmentVariable("TALLYFOLD_BIN_DIR");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("TALLYFOLD_CONNECTION"));
    env.insert(QStringLiteral("TALLYFOLD_HOME"), home.path());
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home.path());  // else the window's host warns first
    QProcess init;
    init.setProcessEnvironment(env);
    init.start(bin + QStringLiteral("/tallyfold"), {"init-db", "--demo"});
    QVERIFY(init.waitForFinished(60000) && init.exitCode() == 0);
    writeFile(home.file(QStringLiteral("one.txt")), "011234562405130730\r\n");
    QByteArray records;
    for (int i = 0; i < 2000; ++i)
        records += "01" + QByteArray::number(100000 + i) + "2401010000\n";
    writeFile(home.file(QStringLiteral("t1.txt")), records);
    writeFile(home.file(QStringLiteral("Config/Ports.ini")),
              QStringLiteral("[Ports]\n1=%1\nbaud=9600\n").arg(home.file(QStringLiteral("bus"))).toUtf8());
    TerminalSimProcess sim;
    QProcess p;
    p.setProcessEnvironment(env);
    if (moment == MidTransfer)
        QVERIFY(sim.start(home.file(QStringLiteral("bus")), {"--terminal", "1=" + home.file(QStringLiteral("t1.txt")),
                                                             "--terminal", "2", "--baud", "9600"}));

    // A group of its own, so that a run that does not end takes its window's host along when killed.
    p.setChildProcessModifier([] {
        ::setpgid(0, 0);
        sigset_t stops;
        sigemptyset(&stops);
        for (int s : {SIGINT, SIGTERM, SIGHUP})
            sigaddset(&stops, s);
        sigprocmask(SIG_UNBLOCK, &stops, nullptr);
    });
    // The pipe is full before the program writes: its summary, its first output with --quiet, waits.
    const QString fifo = home.file(QStringLiteral("out.fifo"));
    int reader = -1;
    if (moment == SummaryWritten) {
        QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
        reader = ::open(QFile::encodeName(fifo).constData(), O_RDONLY | O_NONBLOCK);
        const int filler = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK);
        QVERIFY(reader >= 0 && filler >= 0);
        const QByteArray lines(4096, '\n');
        while (::write(filler, lines.constData(), std::size_t(lines.size())) > 0) {
        }
        ::close(filler);
        p.setStandardOutputFile(fifo);
    }
    const QString program = command.takeFirst();
    command.replaceInStrings(QStringLiteral("HOME"), home.path());
    p.start(bin + QLatin1Char('/') + program, command);
    QVERIFY(p.waitForStarted());
    auto cleanup = qScopeGuard([&] {
        if (p.state() != QProcess::NotRunning)
            ::kill(-pid_t(p.processId()), SIGKILL);
        p.waitForFinished();
        if (reader >= 0)
            ::close(reader);
    });
    QByteArray out;
    auto read = [&](const QByteArray& until) {
        while (!out.contains(until) && p.waitForReadyRead(20000))
            out += p.readAllStandardOutput();
        return out.contains(until);
    };
    switch (moment) {
    case AfterSpawn:
        // From the exec: the child has become the program once it has started.
        QThread::usleep(ulong(afterMs) * 1000);
        break;
    case MidTransfer:
        QVERIFY(read("数据采集......"));
        QThread::msleep(300);
        break;
    case SummaryWritten:
        QVERIFY2(waitFor([&] { return blockedInWrite(p.processId()); }, 30000), "no write to the full pipe");
        break;
    case WindowOpen:
        QVERIFY(waitFor([&] { return holdsOpen(p.processId(), home.file(QStringLiteral("Database/tallyfold.db"))); },
                        30000));
        QThread::msleep(300);
        break;
    case Serving:
        QVERIFY(read("ready"));
        break;
    }
    QVERIFY(::kill(pid_t(p.processId()), signal) == 0);
    // The pipe drained as the program writes on.
    const QDeadlineTimer ending(10000);
    while (!p.waitForFinished(20) && !ending.hasExpired()) {
        char buffer[65536];
        for (ssize_t n; reader >= 0 && (n = ::read(reader, buffer, sizeof buffer)) > 0;)
            out += QByteArray(buffer, int(n));
    }
    QVERIFY2(p.state() == QProcess::NotRunning, "it did not end within 10 s");
    char buffer[65536];
    for (ssize_t n; reader >= 0 && (n = ::read(reader, buffer, sizeof buffer)) > 0;)
        out += QByteArray(buffer, int(n));
    out += p.readAllStandardOutput();
    const QByteArray err = p.readAllStandardError();
    QVERIFY2(p.exitStatus() == QProcess::NormalExit, "killed by the signal");
    const QList<Summary> ends = summaries(out);
    // Too late to stop it: the run had already ended as it would have without the signal.
    if (moment == AfterSpawn && !ends.isEmpty() && ends.last().outcome == QLatin1String("completed")) {
        status = 0;
        outcome = ends.last().outcome;
    }
    QVERIFY2(p.exitCode() == status, qPrintable(QString::number(p.exitCode()) + ": " + out.trimmed() + err));
    if (outcome.isEmpty()) {
        QVERIFY(ends.isEmpty());
        return;
    }
    QVERIFY2(!ends.isEmpty(), out.constData());
    QCOMPARE(ends.last().outcome, outcome);
    for (const Summary& s : ends)
        if (s.outcome != QLatin1String("completed"))
            QVERIFY2(s.reason.toString().contains(reason), qPrintable(s.outcome + ": " + s.reason.toString()));
}

QTEST_GUILESS_MAIN(tst_signals)
#include "tst_signals.moc"
