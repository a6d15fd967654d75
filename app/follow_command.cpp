#include "run.h"
#include "stop_signals.h"

#include "records/follow.h"
#include "records/gather_history.h"

#include <systemd/sd-daemon.h>
#include <QElapsedTimer>
#include <QMutex>
#include <QThread>
#include <atomic>
#include <thread>

namespace tallyfold {

namespace {

constexpr qint64 kBucketMs = 100;
constexpr int kBuckets = 6000;  // up to ten minutes; older lands in the last bucket
constexpr qint64 kHistoryEveryMs = 10'000;
constexpr qint64 kIdleHistoryEveryMs = 60'000;
// A port's thread that has said nothing this long is stuck: the watchdog is no longer fed.
constexpr qint64 kStuckMs = 90'000;

struct TerminalWatch {
    QString port;
    LineCounters pending;  // since the history was last written
    qint64 rounds = 0;
    qint64 lastWritten = -1;
    bool failing = false;
    bool failingWritten = false;
    QString reason;
    QString note;  // what a round that worked last had to say, told once
    quint32 held = 0;
    quint32 capacity = 0;
    std::atomic<qint64> heartbeat{0};
};

// What the follower's rounds told, for the console, the history, the metrics and the watchdog.
class Watch {
public:
    Watch(Console& console, const QElapsedTimer& clock) : console_(console), clock_(clock) {}

    void setTerminals(const std::vector<TerminalRow>& rows) {
        const QMutexLocker lock(&mutex_);
        for (const TerminalRow& row : rows) {
            auto& t = terminals_[row.machAddr.toText()];
            if (!t)
                t = std::make_unique<TerminalWatch>();
            t->port = row.comText;
            t->heartbeat = clock_.elapsed();
        }
    }

    void beat(const QString& address) {
        if (TerminalWatch* t = find(address))
            t->heartbeat = clock_.elapsed();
    }

    void round(const FollowRound& r) {
        const QString address = r.terminal.machAddr.toText();
        const QMutexLocker lock(&mutex_);
        TerminalWatch& t = *terminals_[address];
        t.heartbeat = clock_.elapsed();
        ++t.rounds;
        t.pending.read += r.counters.read;
        t.pending.stored += r.counters.stored;
        t.pending.duplicates += r.counters.duplicates;
        t.pending.errors += r.counters.errors;
        total_.read += r.counters.read;
        total_.stored += r.counters.stored;
        total_.duplicates += r.counters.duplicates;
        total_.errors += r.counters.errors;
        if (r.ok) {
            t.held = r.held;
            t.capacity = r.capacity;
            if (r.ageBoundMs >= 0 && r.counters.stored > 0) {
                ages_[std::min<qint64>(r.ageBoundMs / kBucketMs, kBuckets - 1)] += r.counters.stored;
                agedRecords_ += r.counters.stored;
            }
            if (t.failing)
                console_.error(QStringLiteral("terminal %1 answers again").arg(address));
            t.failing = false;
            if (r.counters.read > 0 || r.cleared)
                console_.event(QStringLiteral("follow"),
                               {{"terminal", address},
                                {"read", r.counters.read},
                                {"stored", r.counters.stored},
                                {"duplicates", r.counters.duplicates},
                                {"errors", r.counters.errors},
                                {"held", qint64(r.held)},
                                {"cleared", r.cleared},
                                {"age_bound", r.ageBoundMs >= 0 ? FieldValue(r.ageBoundMs / 1000.0) : nullptr}});
            if (!r.reason.isEmpty() && r.reason != t.note)
                console_.error(QStringLiteral("terminal %1: %2").arg(address, r.reason));
            t.note = r.reason;
        } else if (!t.failing || t.reason != r.reason) {
            // Told once, not at every try: the journal must stay readable through a long outage.
            console_.error(QStringLiteral("terminal %1: %2; trying again").arg(address, r.reason));
        }
        if (!r.ok) {
            t.failing = true;
            t.failingWritten = false;
        }
        t.reason = r.ok ? QString() : r.reason;
    }

    // Adds the rounds since the last call to each terminal's row in the history.
    void writeHistory(const std::shared_ptr<Connection>& connection, const QDateTime& now) {
        const QMutexLocker lock(&mutex_);
        for (auto it = terminals_.begin(); it != terminals_.end(); ++it) {
            TerminalWatch& t = *it.value();
            const qint64 at = clock_.elapsed();
            const bool news = t.pending.read > 0 || (t.failing && !t.failingWritten);
            if (t.rounds == 0 || (!news && t.lastWritten >= 0 && at - t.lastWritten < kIdleHistoryEveryMs))
                continue;
            GatherEnd end;
            end.machAddr = it.key();
            end.port = t.port;
            end.at = now;
            end.outcome = t.failing ? Outcome::DeviceFailed : Outcome::Completed;
            end.counters = t.pending;
            end.reason = t.reason;
            try {
                recordGatherEnd(connection, end);
            } catch (const Error& e) {
                console_.error(
                    QStringLiteral("the history of terminal %1 was not written: %2").arg(it.key(), e.description()));
                return;  // kept for the next time
            }
            t.pending = {};
            t.rounds = 0;
            t.lastWritten = at;
            t.failingWritten = t.failing;
        }
    }

    // The swipe-to-table bound of `share` of the records stored so far, in seconds; -1 before any.
    double ageQuantile(double share) const {
        const QMutexLocker lock(&mutex_);
        if (agedRecords_ == 0)
            return -1;
        const qint64 wanted = qint64(std::ceil(share * double(agedRecords_)));
        qint64 seen = 0;
        for (int i = 0; i < kBuckets; ++i)
            if ((seen += ages_[std::size_t(i)]) >= wanted)
                return double((i + 1) * kBucketMs) / 1000.0;
        return double(kBuckets * kBucketMs) / 1000.0;
    }

    QString metrics() const {
        QString text = QStringLiteral(
            "# HELP tallyfold_follow_swipe_to_table_seconds Upper bound of the time from a swipe to its row, "
            "over the records the follower stored.\n# TYPE tallyfold_follow_swipe_to_table_seconds summary\n");
        for (const double q : {0.5, 0.99, 1.0})
            text += QStringLiteral("tallyfold_follow_swipe_to_table_seconds{quantile=\"%1\"} %2\n")
                        .arg(q)
                        .arg(std::max(0.0, ageQuantile(q)));
        const QMutexLocker lock(&mutex_);
        text += QStringLiteral("tallyfold_follow_swipe_to_table_seconds_count %1\n").arg(agedRecords_);
        text += QStringLiteral(
            "# HELP tallyfold_follow_records_held Records the terminal held after the follower's last round.\n"
            "# TYPE tallyfold_follow_records_held gauge\n");
        for (auto it = terminals_.cbegin(); it != terminals_.cend(); ++it)
            text += QStringLiteral("tallyfold_follow_records_held{address=\"%1\"} %2\n")
                        .arg(it.key())
                        .arg(it.value()->held);
        text += QStringLiteral(
            "# HELP tallyfold_follow_failing 1 while the follower cannot follow the terminal.\n"
            "# TYPE tallyfold_follow_failing gauge\n");
        for (auto it = terminals_.cbegin(); it != terminals_.cend(); ++it)
            text += QStringLiteral("tallyfold_follow_failing{address=\"%1\"} %2\n")
                        .arg(it.key())
                        .arg(it.value()->failing ? 1 : 0);
        return text;
    }

    // Every port's thread said something lately.
    bool healthy() const {
        const QMutexLocker lock(&mutex_);
        QHash<QString, qint64> latest;
        for (const auto& t : terminals_)
            latest[t->port] = std::max(latest.value(t->port), t->heartbeat.load());
        for (const qint64 beat : latest)
            if (clock_.elapsed() - beat > kStuckMs)
                return false;
        return true;
    }

    // What systemctl status shows.
    QString statusLine() const {
        const double p99 = ageQuantile(0.99);
        const QMutexLocker lock(&mutex_);
        int failing = 0;
        for (const auto& t : terminals_)
            failing += t->failing ? 1 : 0;
        QString line = QStringLiteral("following %1 terminals, %2 failing; %3 records stored")
                           .arg(terminals_.size())
                           .arg(failing)
                           .arg(total_.stored);
        if (p99 >= 0)
            line += QStringLiteral(", 99% within %1 s of the swipe").arg(p99);
        return line;
    }

    // The terminals that could not be followed when it stopped, for the summary; empty when none.
    QString failingAtEnd() const {
        const QMutexLocker lock(&mutex_);
        QStringList failing;
        for (auto it = terminals_.cbegin(); it != terminals_.cend(); ++it)
            if (it.value()->failing)
                failing << QStringLiteral("%1 (%2)").arg(it.key(), it.value()->reason);
        failing.sort();
        return failing.isEmpty()
                   ? QString()
                   : QStringLiteral("terminals failing when it stopped: ") + failing.join(QStringLiteral("; "));
    }

    LineCounters total() const {
        const QMutexLocker lock(&mutex_);
        return total_;
    }

private:
    TerminalWatch* find(const QString& address) {
        const QMutexLocker lock(&mutex_);
        auto it = terminals_.find(address);
        return it == terminals_.end() ? nullptr : it->get();
    }

    Console& console_;
    const QElapsedTimer& clock_;
    mutable QMutex mutex_;
    QHash<QString, std::shared_ptr<TerminalWatch>> terminals_;
    std::vector<qint64> ages_ = std::vector<qint64>(kBuckets, 0);
    qint64 agedRecords_ = 0;
    LineCounters total_;
};

// A terminal's view while it is followed: nothing per record on the console, failed lines
// told at once (never kept: the follower runs for months), and every wait a heartbeat.
class FollowView : public ConsoleView {
public:
    FollowView(Console& console, Watch& watch, QString address)
        : ConsoleView(console), console_(console), watch_(watch), address_(std::move(address)) {
        showFailed = false;
    }
    void setStatus(const QString&) override {}
    void setCaption(const QString&) override {}
    void addRecordRow(const QString&, const QString&, const QString&, const QString&) override {}
    void addFailedLine(int, const QString&, const QString&, const QString& text) override {
        console_.error(QStringLiteral("terminal %1 gave a record that cannot be stored: %2").arg(address_, text));
    }
    void showFailedLines() override {}
    void setProgress(qint64, qint64) override { watch_.beat(address_); }
    void keepAlive() override { watch_.beat(address_); }

private:
    Console& console_;
    Watch& watch_;
    QString address_;
};

void notify(const QString& state) {
    sd_notify(0, state.toUtf8().constData());
}

FollowOptions followOptions(const Run& run) {
    FollowOptions options;
    if (run.has("interval")) {
        bool number = false;
        const double seconds = run.value("interval").toDouble(&number);
        if (!number || seconds < 0.1 || seconds > 3600)
            throw UsageError{QStringLiteral("--interval takes seconds from 0.1 to 3600"), run.invocation.command};
        options.intervalMs = int(seconds * 1000);
    }
    if (run.has("clear-at")) {
        bool number = false;
        options.clearAtPercent = run.value("clear-at").toInt(&number);
        if (!number || options.clearAtPercent < 1 || options.clearAtPercent > 100)
            throw UsageError{QStringLiteral("--clear-at takes a percentage from 1 to 100"), run.invocation.command};
    }
    if (run.has("jobs")) {
        bool number = false;
        options.jobs = run.value("jobs").toInt(&number);
        if (!number || options.jobs < 1)
            throw UsageError{QStringLiteral("--jobs takes a whole number from 1"), run.invocation.command};
    }
    return options;
}

}  // namespace

void checkFollowOptions(const Run& run) {
    followOptions(run);
}

int commandFollow(Run& run) {
    const FollowOptions options = followOptions(run);
    reloadOnHangUp();
    QElapsedTimer clock;
    clock.start();
    Watch watch(run.console, clock);
    QHash<QString, quint32> positions;
    for (int reloadsSeen = reloadRequests(); stopSignal() == 0; reloadsSeen = reloadRequests()) {
        ConsoleView view(run.console);
        GatherSession session(run.module, run.settings);
        const std::vector<TerminalRow> rows = loadSession(run, session, view, ".操作");
        requireRight(session, ".操作", QStringLiteral("follow"));
        if (rows.empty())
            throw CommandFailure{QStringLiteral("no count-type terminal is listed, so none is followed (tallyfold "
                                                "terminals add ADDR --port N adds one)"),
                                 QStringLiteral("refused")};
        watch.setTerminals(rows);
        std::atomic<bool> done = false;
        auto stop = [&] { return stopSignal() != 0 || reloadRequests() != reloadsSeen; };
        // No lock on the host folder: the records read wait in files of the follower's own, so gathers and
        // imports run beside it, and the store keeps every record once.
        std::exception_ptr failure;
        std::jthread worker([&] {
            try {
                follow(
                    session.module, run.settings, rows, options,
                    [&](const TerminalRow& row) {
                        return std::unique_ptr<OperatorView>(
                            std::make_unique<FollowView>(run.console, watch, row.machAddr.toText()));
                    },
                    [&](const FollowRound& round) { watch.round(round); }, stop, positions);
            } catch (...) {
                failure = std::current_exception();  // ends the command on its own thread, with a summary
            }
            done = true;
        });
        notify(QStringLiteral("READY=1\nSTATUS=") + watch.statusLine());
        qint64 lastWrite = 0;
        while (!done) {
            QThread::msleep(100);
            if (clock.elapsed() - lastWrite < kHistoryEveryMs && !done)
                continue;
            lastWrite = clock.elapsed();
            watch.writeHistory(session.Conn, session.clock());
            if (run.has("metrics")) {
                try {
                    writeMetrics(run.value("metrics"), rows, session.Conn, watch.metrics());
                } catch (const CommandFailure& e) {
                    run.console.error(e.text);
                }
            }
            if (watch.healthy())
                notify(QStringLiteral("WATCHDOG=1\nSTATUS=") + watch.statusLine());
        }
        worker.join();
        if (failure)
            std::rethrow_exception(failure);
        if (stopSignal() == 0) {
            notify(QStringLiteral("RELOADING=1"));
            run.console.error(QStringLiteral("reloading the terminal list and Config/Ports.ini"));
        }
        session.release();
    }
    notify(QStringLiteral("STOPPING=1"));
    Summary s;
    s.operation = QStringLiteral("follow");
    const LineCounters total = watch.total();
    s.read = total.read;
    s.stored = total.stored;
    s.duplicates = total.duplicates;
    s.errors = total.errors;
    s.seconds = clock.elapsed() / 1000.0;
    s.reason = watch.failingAtEnd();
    writeSummary(run.console, s);
    return s.exitStatus();
}

}  // namespace tallyfold
