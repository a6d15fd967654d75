#include "run.h"
#include "stop_signals.h"

#include "outside/database_tool.h"
#include "platform/connection.h"
#include "platform/connection_string.h"
#include "records/follow.h"
#include "records/follow_journal.h"
#include "records/gather_history.h"

#include <systemd/sd-daemon.h>
#include <QDir>
#include <QElapsedTimer>
#include <QMutex>
#include <QSaveFile>
#include <QTextStream>
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
    qint64 journaled = 0;  // records waiting in the journal
    bool lent = false;     // an operation has its port
    QString elsewhere;     // another follower has it
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
        if (r.lent != t.lent)
            console_.error(r.lent ? QStringLiteral("terminal %1: its port is lent to an operation").arg(address)
                                  : QStringLiteral("terminal %1: its port is back").arg(address));
        t.lent = r.lent;
        if (r.elsewhere != t.elsewhere)
            console_.error(r.elsewhere.isEmpty()
                               ? QStringLiteral("terminal %1 is followed here now").arg(address)
                               : QStringLiteral("terminal %1 is followed by %2; this follower leaves it alone "
                                                "until that one stops")
                                     .arg(address, r.elsewhere));
        t.elsewhere = r.elsewhere;
        if (r.lent)
            return;
        t.journaled = r.journalRecords;
        journaledTotal_ += r.journaled;
        if (!r.databaseAway.isEmpty())
            databaseAway(r.databaseAway);
        else
            databaseBack();
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
            if (r.counters.read > 0 || r.cleared || r.journaled > 0)
                console_.event(QStringLiteral("follow"),
                               {{"terminal", address},
                                {"read", r.counters.read},
                                {"stored", r.counters.stored},
                                {"duplicates", r.counters.duplicates},
                                {"errors", r.counters.errors},
                                {"held", qint64(r.held)},
                                {"cleared", r.cleared},
                                {"age_bound", r.ageBoundMs >= 0 ? FieldValue(r.ageBoundMs / 1000.0) : nullptr},
                                {"journaled", r.journaled}});
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

    // A problem of the main thread's said once for as long as it lasts.
    void sayOnce(const QString& text) {
        if (text != lastSaid_)
            console_.error(text);
        lastSaid_ = text;
    }

    // The database stopped taking records: said once, with what happens meanwhile.
    void databaseAway(const QString& reason) {
        if (!awaySince_.isValid()) {
            awaySince_ = QDateTime::currentDateTime();
            console_.error(QStringLiteral("database unavailable since %1: %2; the records read wait in the journal")
                               .arg(awaySince_.toString(Qt::ISODate), reason));
        }
        awayReason_ = reason;
    }
    void databaseBack() {
        if (!awaySince_.isValid())
            return;
        console_.error(QStringLiteral("the database answers again after %1 s; the journal drains into it")
                           .arg(awaySince_.secsTo(QDateTime::currentDateTime())));
        awaySince_ = QDateTime();
        awayReason_.clear();
    }
    // "database unavailable since ...", or empty while it answers.
    QString databaseState() const {
        const QMutexLocker lock(&mutex_);
        return awaySince_.isValid() ? QStringLiteral("database unavailable since %1 (%2)")
                                          .arg(awaySince_.toString(Qt::ISODate), awayReason_)
                                    : QString();
    }
    qint64 journaled() const {
        const QMutexLocker lock(&mutex_);
        qint64 records = 0;
        for (const auto& t : terminals_)
            records += t->journaled;
        return records;
    }

    // Adds the rounds since the last call to each terminal's row in the history; false when it could not.
    bool writeHistory(const std::shared_ptr<Connection>& connection, const QDateTime& now) {
        // Written outside the lock: the rounds must never wait for the database on the history's account.
        struct Due {
            GatherEnd end;
            qint64 rounds;
            bool failing;
        };
        std::vector<Due> due;
        {
            const QMutexLocker lock(&mutex_);
            for (auto it = terminals_.begin(); it != terminals_.end(); ++it) {
                const TerminalWatch& t = *it.value();
                const bool news = t.pending.read > 0 || (t.failing && !t.failingWritten);
                if (t.rounds == 0 ||
                    (!news && t.lastWritten >= 0 && clock_.elapsed() - t.lastWritten < kIdleHistoryEveryMs))
                    continue;
                GatherEnd end;
                end.machAddr = it.key();
                end.port = t.port;
                end.at = now;
                end.outcome = t.failing ? Outcome::DeviceFailed : Outcome::Completed;
                end.counters = t.pending;
                end.reason = t.reason;
                due.push_back({end, t.rounds, t.failing});
            }
        }
        for (const Due& d : due) {
            try {
                recordGatherEnd(connection, d.end);
            } catch (const Error& e) {
                // Kept for the next time, on a fresh connection; said once for as long as it fails.
                sayOnce(QStringLiteral("the history of the terminals is not written: %1").arg(e.description()));
                historyFailing_ = true;
                return false;
            }
            const QMutexLocker lock(&mutex_);
            TerminalWatch& t = *terminals_[d.end.machAddr];
            t.pending.read -= d.end.counters.read;
            t.pending.stored -= d.end.counters.stored;
            t.pending.duplicates -= d.end.counters.duplicates;
            t.pending.errors -= d.end.counters.errors;
            t.rounds -= d.rounds;
            t.lastWritten = clock_.elapsed();
            t.failingWritten = d.failing;
        }
        if (std::exchange(historyFailing_, false))
            sayOnce(QStringLiteral("the history of the terminals is written again"));
        historyWrittenAt_ = clock_.elapsed();
        return true;
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
                    "# HELP tallyfold_follow_database_up 0 while the database does not take the follower's records.\n"
                    "# TYPE tallyfold_follow_database_up gauge\ntallyfold_follow_database_up %1\n")
                    .arg(awaySince_.isValid() ? 0 : 1);
        text += QStringLiteral(
            "# HELP tallyfold_follow_journal_records Records read that wait in the journal for the database.\n"
            "# TYPE tallyfold_follow_journal_records gauge\n");
        for (auto it = terminals_.cbegin(); it != terminals_.cend(); ++it)
            text += QStringLiteral("tallyfold_follow_journal_records{address=\"%1\"} %2\n")
                        .arg(it.key())
                        .arg(it.value()->journaled);
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
        // The rounds store, yet the history cannot be written: a restart opens it afresh.
        return awaySince_.isValid() || clock_.elapsed() - historyWrittenAt_ <= kStuckMs;
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
        qint64 journaled = 0;
        for (const auto& t : terminals_)
            journaled += t->journaled;
        if (awaySince_.isValid())
            line += QStringLiteral("; database unavailable since %1").arg(awaySince_.toString(Qt::ISODate));
        if (journaled > 0)
            line += QStringLiteral("; %1 records wait in the journal").arg(journaled);
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
    qint64 journaledTotal_ = 0;
    QDateTime awaySince_;
    QString awayReason_;
    bool historyFailing_ = false;  // the main thread's alone
    QString lastSaid_;
    qint64 historyWrittenAt_ = 0;
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
    // A store cut short by the database says so in the round's reason and once as the database's state.
    void setDetail(const QString&) override {}
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
    if (run.has("clock-drift")) {
        bool number = false;
        options.clockDriftSeconds = run.value("clock-drift").toInt(&number);
        if (!number || options.clockDriftSeconds < 1 || options.clockDriftSeconds > 86400)
            throw UsageError{QStringLiteral("--clock-drift takes seconds from 1 to 86400"), run.invocation.command};
    }
    if (run.has("jobs")) {
        bool number = false;
        options.jobs = run.value("jobs").toInt(&number);
        if (!number || options.jobs < 1)
            throw UsageError{QStringLiteral("--jobs takes a whole number from 1"), run.invocation.command};
    }
    return options;
}

qint64 journalLimit(const Run& run) {
    if (!run.has("journal-limit"))
        return qint64(1024) << 20;
    bool number = false;
    const qint64 mb = run.value("journal-limit").toLongLong(&number);
    if (!number || mb < 1 || mb > (qint64(1) << 30))
        throw UsageError{QStringLiteral("--journal-limit takes megabytes from 1"), run.invocation.command};
    return mb << 20;
}

}  // namespace

void checkFollowOptions(const Run& run) {
    followOptions(run);
    journalLimit(run);
}

namespace {

// The terminal list as last read, beside the journal: a follower that starts while the database is away
// follows what it followed before.
void keepList(const QString& path, const std::vector<TerminalRow>& rows) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return;
    QTextStream out(&file);
    for (const TerminalRow& row : rows)
        out << row.machAddr.toText() << '\t' << (row.comX.isNull() ? QString() : row.comX.toText()) << '\t'
            << row.verText << '\t' << QString(row.teamText).replace(QLatin1Char('\t'), QLatin1Char(' ')) << '\n';
    out.flush();
    file.commit();
}

std::vector<TerminalRow> keptList(const QString& path) {
    std::vector<TerminalRow> rows;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return rows;
    QTextStream in(&file);
    while (!in.atEnd()) {
        const QStringList fields = in.readLine().split(QLatin1Char('\t'));
        if (fields.size() != 4)
            continue;
        TerminalRow row;
        row.machAddr = Variant(fields[0]);
        row.comX = fields[1].isEmpty() ? Variant() : Variant(fields[1]);
        row.itemText = QStringLiteral("机器") + fields[0];
        row.comText = fields[1];
        row.verText = fields[2];
        row.teamText = fields[3];
        rows.push_back(row);
    }
    return rows;
}

// The listed terminals, the operator's right checked; empty with `away` set when the database cannot tell.
std::optional<std::vector<TerminalRow>> listTerminals(Run& run, QString& away) {
    ConsoleView view(run.console);
    GatherSession session(run.module, run.settings);
    try {
        std::vector<TerminalRow> rows = loadSession(run, session, view, ".操作");
        requireRight(session, ".操作", QStringLiteral("follow"));
        session.release();
        return rows;
    } catch (const CommandFailure& e) {
        session.release();
        if (e.outcome == QLatin1String("refused"))
            throw;  // the database answered: this operator may not follow
        away = e.text;
    } catch (const Error& e) {
        session.release();
        away = e.description();
    }
    // Asked again on a fresh connection: one that gave up on a server away too long never returns.
    releaseThreadConnections();
    return std::nullopt;
}

bool sameList(const std::vector<TerminalRow>& a, const std::vector<TerminalRow>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const TerminalRow& x, const TerminalRow& y) {
        return x.machAddr.toText() == y.machAddr.toText() && x.comText == y.comText && x.verText == y.verText;
    });
}

// On SQLite, another program's write lock is waited for `ms` at most; other databases bound their waits alike.
void waitForLockAtMost(Connection& connection, int ms) {
    if (providerKind(ConnectionString(connection.ConnectionString())) == ProviderKind::SQLite)
        connection.Execute(QStringLiteral("PRAGMA busy_timeout = %1").arg(ms));
}

// The connection the history goes through, opened again after any failure.
class HistoryLink {
public:
    explicit HistoryLink(Run& run) : run_(run) {}
    ~HistoryLink() { drop(); }
    std::shared_ptr<Connection> connection() {
        if (!session_) {
            session_ = std::make_unique<GatherSession>(run_.module, run_.settings);
            try {
                session_->createComponents();
                // Another program's transaction holds the history back a second, not the follower's stop.
                waitForLockAtMost(*session_->Conn, 1000);
            } catch (const Error&) {
                drop();
                return nullptr;
            }
        }
        return session_->Conn;
    }
    void drop() {
        if (!session_)
            return;
        session_->release();
        session_.reset();
        releaseThreadConnections();
    }
    QDateTime now() const { return session_ ? session_->clock() : QDateTime::currentDateTime(); }

private:
    Run& run_;
    std::unique_ptr<GatherSession> session_;
};

constexpr qint64 kListAgainMs = 2000;

}  // namespace

int commandFollow(Run& run) {
    const FollowOptions options = followOptions(run);
    reloadOnHangUp();
    QElapsedTimer clock;
    clock.start();
    Watch watch(run.console, clock);
    FollowJournal journal(QDir(run.settings.folder()).filePath(QStringLiteral("Journal")), journalLimit(run));
    try {
        journal.open();
    } catch (const Error& e) {
        throw CommandFailure{e.description(), QStringLiteral("refused")};
    }
    const QString listFile = QDir(journal.folder()).filePath(QStringLiteral("terminals.tsv"));
    std::vector<TerminalRow> rows;
    HistoryLink history(run);
    bool listCurrent = false;  // the rows are the database's, not a kept or older list
    QString away;
    for (int reloadsSeen = reloadRequests(); stopSignal() == 0;) {
        if (auto listed = listTerminals(run, away)) {
            rows = std::move(*listed);
            listCurrent = true;
            if (rows.empty())
                throw CommandFailure{QStringLiteral("no count-type terminal is listed, so none is followed (tallyfold "
                                                    "terminals add ADDR --port N adds one)"),
                                     QStringLiteral("refused")};
            keepList(listFile, rows);
        } else {
            listCurrent = false;
            if (rows.empty())
                rows = keptList(listFile);
            if (rows.empty()) {
                // Nothing to follow yet: the database is asked again until it answers or the follower is stopped.
                watch.databaseAway(away);
                notify(QStringLiteral("READY=1\nSTATUS=waiting for the database to list the terminals: ") + away);
                for (QElapsedTimer waited; stopSignal() == 0 && (!waited.isValid() || waited.elapsed() < kListAgainMs);)
                    waited.isValid() ? QThread::msleep(50) : waited.start();
                continue;
            }
            run.console.error(QStringLiteral("the terminal list cannot be read (%1); following the %2 terminals "
                                             "listed before until it can")
                                  .arg(away)
                                  .arg(rows.size()));
        }
        watch.setTerminals(rows);
        for (const QString& address : journal.waiting())
            if (std::none_of(rows.begin(), rows.end(),
                             [&](const TerminalRow& r) { return r.machAddr.toText() == address; }))
                run.console.error(QStringLiteral("terminal %1 is not listed; %2 of its records wait in the journal "
                                                 "until it is listed again")
                                      .arg(address)
                                      .arg(journal.recordsHeld(address)));
        std::atomic<bool> done = false;
        std::atomic<bool> relist = false;
        auto stop = [&] { return stopSignal() != 0 || reloadRequests() != reloadsSeen || relist; };
        // No lock on the host folder: the records read wait in files of the follower's own, so gathers and
        // imports run beside it, and the store keeps every record once.
        std::exception_ptr failure;
        std::jthread worker([&] {
            try {
                follow(
                    run.module, run.settings, rows, options,
                    [&](const TerminalRow& row) {
                        return std::unique_ptr<OperatorView>(
                            std::make_unique<FollowView>(run.console, watch, row.machAddr.toText()));
                    },
                    [&](const FollowRound& round) { watch.round(round); }, stop, journal);
            } catch (...) {
                failure = std::current_exception();  // ends the command on its own thread, with a summary
            }
            done = true;
        });
        notify(QStringLiteral("READY=1\nSTATUS=") + watch.statusLine());
        qint64 lastWrite = 0;
        qint64 lastList = clock.elapsed();
        while (!done) {
            QThread::msleep(100);
            // A list read from a kept copy or kept through a reload is replaced once the database gives it.
            if (!listCurrent && !relist && clock.elapsed() - lastList >= kListAgainMs) {
                lastList = clock.elapsed();
                QString stillAway;
                if (auto listed = listTerminals(run, stillAway)) {
                    listCurrent = true;
                    keepList(listFile, *listed);
                    relist = !sameList(*listed, rows);
                }
            }
            // A reload writes the history at the next interval, not now: the rounds resume sooner.
            if (clock.elapsed() - lastWrite < kHistoryEveryMs && !(done && stopSignal() != 0))
                continue;
            lastWrite = clock.elapsed();
            const std::shared_ptr<Connection> connection = history.connection();
            // The last write before the summary waits for another program's lock a moment only: a stop within 2 s.
            if (connection && done && stopSignal() != 0) {
                try {
                    waitForLockAtMost(*connection, 200);
                } catch (const Error&) {
                    // Waiting as long as before is all that is lost.
                }
            }
            if (!connection || !watch.writeHistory(connection, history.now()))
                history.drop();
            if (run.has("metrics") && connection) {
                try {
                    writeMetrics(run.value("metrics"), rows, connection, watch.metrics());
                } catch (const CommandFailure& e) {
                    watch.sayOnce(e.text);
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
            run.console.error(relist ? QStringLiteral("the database lists other terminals now: following them")
                                     : QStringLiteral("reloading the terminal list and Config/Ports.ini"));
        }
        reloadsSeen = reloadRequests();
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
    QStringList reasons;
    if (const QString failing = watch.failingAtEnd(); !failing.isEmpty())
        reasons << failing;
    if (const qint64 waiting = journal.recordsHeld(); waiting > 0)
        reasons << QStringLiteral(
                       "%1 records read wait in the journal %2 and are stored once the database takes "
                       "them")
                       .arg(waiting)
                       .arg(journal.folder());
    if (const QString db = watch.databaseState(); !db.isEmpty())
        reasons << db;
    s.reason = reasons.join(QStringLiteral("; "));
    writeSummary(run.console, s);
    return s.exitStatus();
}

}  // namespace tallyfold
