#include "records/follow.h"

#include "outside/component_registry.h"
#include "outside/database_tool.h"
#include "outside/port_claim.h"
#include "platform/connection.h"
#include "platform/connection_string.h"
#include "platform/error.h"
#include "platform/recordset.h"
#include "records/device_waiting.h"
#include "records/follow_journal.h"
#include "records/mdl_gather_data.h"
#include "records/operation_support.h"
#include "records/record_line.h"
#include "records/terminal_list.h"
#include "records/watched_view.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QMutex>
#include <QThread>
#include <map>
#include <thread>

namespace tallyfold {

namespace {

constexpr qint64 kFirstPauseMs = 1000;
constexpr qint64 kLongestPauseMs = 30000;
// The database is asked again this soon at the latest: the first round after it returns stores.
constexpr qint64 kLongestDatabasePauseMs = 2000;
// The terminals' locks: the first half of each lock's key, the address the second.
constexpr int kFollowLockSpace = 0x7466;
// A terminal another follower has is asked for again this often, to take over once that one stops.
constexpr qint64 kTakeOverEveryMs = 10'000;
// A terminal's clock is set at least this often (and when the follower starts).
constexpr qint64 kClockEveryMs = 24 * 3600 * 1000;
// A drain's chunk: about 50,000 records, enough for the store's batches to run at full speed.
constexpr qint64 kDrainBytes = 1 << 20;

// The pause after one more failure: 1 s, then doubled up to 30 s.
qint64 longerPause(qint64 ms) {
    return ms == 0 ? kFirstPauseMs : std::min(ms * 2, kLongestPauseMs);
}

// Faults of the line or the device server: the port is opened again after a pause.
bool portFault(DeviceError code) {
    switch (code) {
    case DeviceError::BadPortSetting:
    case DeviceError::PortNotOpened:
    case DeviceError::ConnectionRefused:
    case DeviceError::HostUnreachable:
    case DeviceError::ConnectionDropped:
    case DeviceError::NoPortOpen:
        return true;
    default:
        return false;
    }
}

void add(LineCounters& to, const LineCounters& more) {
    to.read += more.read;
    to.stored += more.stored;
    to.duplicates += more.duplicates;
    to.errors += more.errors;
}

// Keeps the number of the first line that failed: a terminal is never cleared past a
// record that is not stored.
class RoundView : public WatchedView {
public:
    using WatchedView::WatchedView;
    qint64 firstFailedLine = -1;

    void addFailedLine(int position, const QString& key, const QString& lineNumber, const QString& text) override {
        const qint64 line = lineNumber.toLongLong();
        if (line > 0 && (firstFailedLine < 0 || line < firstFailedLine))
            firstFailedLine = line;
        WatchedView::addFailedLine(position, key, lineNumber, text);
    }
};

struct Followed {
    const TerminalRow* row = nullptr;
    QString address;
    std::unique_ptr<OperatorView> view;
    CurrentTerminal current;
    quint32 position = 0;    // the first number neither stored nor journaled
    QElapsedTimer lastRead;  // when the records below `position` were last read complete
    QString elsewhere;       // who else follows the terminal; empty while this follower does
    QDateTime lastReadAt;    // the PC's clock at the last complete read
    QElapsedTimer clockSet;  // since the terminal's clock was last set
};

// One port: its own link, held open from round to round.
struct FollowedPort {
    std::unique_ptr<DeviceLink> link;
    NumberedRecordLink* numbered = nullptr;
    std::unique_ptr<PortClaim> claim;
    bool open = false;
    bool lent = false;  // an operation has the port
    qint64 pauseMs = 0;
    QElapsedTimer pausedAt;
    std::vector<Followed> terminals;

    bool resting() const { return pausedAt.isValid() && pausedAt.elapsed() < pauseMs; }
    void backOff() {
        pauseMs = longerPause(pauseMs);
        pausedAt.start();
    }
};

// A few ports on one thread and one database session: a site with a hundred device
// servers needs a hundred open ports, not a hundred database connections.
class PortFollower {
public:
    PortFollower(const Mdl_GatherData& module, const HostSettings& host, const FollowOptions& options,
                 const FollowReport& report, const std::function<bool()>& stop, FollowJournal& journal)
        : own_(module), host_(host), options_(options), report_(report), stop_(stop), journal_(journal) {
        own_.Pub_Conn.reset();  // the caller's connection belongs to the caller's thread
    }

    std::vector<FollowedPort> ports;

    void run() {
        while (!stop_()) {
            QElapsedTimer round;
            round.start();
            // The terminals are read whether or not the database answers: what it cannot take waits in the journal.
            if (!session_ && !(dbPausedAt_.isValid() && dbPausedAt_.elapsed() < dbPauseMs_))
                ready();
            else if (session_ && lockedAt_.elapsed() > kTakeOverEveryMs) {
                try {
                    lockTerminals();
                } catch (const Error& e) {
                    databaseLost(e.description());
                }
            }
            for (FollowedPort& port : ports) {
                if (stop_())
                    break;
                if (followedElsewhere(port))
                    for (Followed& t : port.terminals)
                        leftAlone(t);
                else if (port.resting() && port.claim && port.claim->wanted())
                    lend(port);  // a port it cannot use now is an operation's at once
                else if (!port.resting() && claimed(port) && open(port))
                    for (Followed& t : port.terminals) {
                        if (stop_() || !port.open)
                            break;
                        if (!t.elsewhere.isEmpty()) {
                            leftAlone(t);
                            continue;
                        }
                        follow(port, t);
                        // Asked between terminals: an operation waits at most one terminal's round.
                        if (port.claim->wanted()) {
                            lend(port);
                            break;
                        }
                    }
            }
            pause(options_.intervalMs - round.elapsed());
        }
        closeSession();
        for (FollowedPort& port : ports) {
            port.link.reset();
            // Taken back to say it is lent no more: a clear by hand is whole again once nobody follows.
            if (port.claim && port.claim->take({}))
                port.claim->forget();
        }
    }

private:
    // The database session; false after a failure, which the rounds tell until it answers again.
    bool ready() {
        try {
            session_ = std::make_unique<GatherSession>(own_, host_);
            session_->createComponents();
            waitBriefly(*session_);
            own_.Pub_Conn = session_->Conn;
            // The times and every terminal of this thread's ports in one round trip: a far server
            // costs one for each, and the session starts again after every database failure.
            std::vector<std::pair<QString, QVariantList>> ahead{{BusinessDayTimesStatement, {}}};
            for (const FollowedPort& port : ports)
                for (const Followed& t : port.terminals)
                    ahead.emplace_back(TerminalLookupStatement, QVariantList{t.row->machAddr.toText()});
            prefetchQueries(*session_->DbTool, ahead);
            getTimeBZBE(*session_->DbTool, session_->times, ports.front().terminals.front().view->prompts());
            session_->loadFinished();
            requireBusinessDayTimes(session_->times);
            for (FollowedPort& port : ports)
                for (Followed& t : port.terminals)
                    t.current = lookUpTerminal(*session_->DbTool, t.row->machAddr);
            lockTerminals();
            dbPauseMs_ = 0;
            dbAway_.clear();
            return true;
        } catch (const Error& e) {
            databaseLost(e.description());
        } catch (const std::exception& e) {
            databaseLost(QString::fromLocal8Bit(e.what()));
        }
        return false;
    }

    // The store gives up soon on a database in trouble, since its records can wait in the journal: SQLite's
    // write lock held by another program is waited for a second, a lost server 2 s, not a gather's whole
    // bounds. A stop is never held up by another's transaction either.
    static void waitBriefly(GatherSession& session) {
        const QString cs = session.Conn->ConnectionString();
        QString brief;
        switch (providerKind(ConnectionString(cs))) {
        case ProviderKind::SQLite:
            session.Conn->Execute(QStringLiteral("PRAGMA busy_timeout = 1000"));  // the log rows' connection
            brief = cs + QStringLiteral(";Command Timeout=1;Connect Timeout=1");  // a full disk's retries too
            break;
        case ProviderKind::PostgreSQL:
            brief = cs + QStringLiteral(";Connect Timeout=2");
            break;
        default:
            return;
        }
        auto connection = std::make_shared<Connection>(brief);  // the store's
        connection->Open();
        session.Conn = connection;
    }

    // One follower a terminal, wherever the others run: on PostgreSQL each terminal followed holds a lock of
    // the session's, which dies with it, so another follower takes over once this one is gone. A terminal
    // another follower holds is left alone here. (On SQLite one host folder holds one follower.)
    void lockTerminals() {
        lockedAt_.start();
        if (providerKind(ConnectionString(session_->Conn->ConnectionString())) != ProviderKind::PostgreSQL)
            return;
        for (FollowedPort& port : ports)
            for (Followed& t : port.terminals) {
                bool number = false;
                const int address = t.address.toInt(&number);
                if (!number)
                    continue;
                Recordset rs;
                rs.Open(QStringLiteral(
                            "select case when pg_try_advisory_lock(cast(? as integer), cast(? as integer)) then 1 "
                            "else 0 end as ok"),
                        QVariantList{kFollowLockSpace, address}, session_->Conn);
                const bool owned = rs.Fields(QStringLiteral("ok")).toText() == QLatin1String("1");
                rs.Close();
                if (owned) {
                    t.elsewhere.clear();
                    continue;
                }
                Recordset who;
                who.Open(QStringLiteral("select a.pid, coalesce(host(a.client_addr), 'a local socket') as host, "
                                        "a.backend_start from pg_locks l join pg_stat_activity a on a.pid = l.pid "
                                        "where l.locktype = 'advisory' and l.classid = cast(? as oid) and "
                                        "l.objid = cast(? as oid) and l.granted"),
                         QVariantList{kFollowLockSpace, address}, session_->Conn);
                t.elsewhere = who.Eof() ? QStringLiteral("another follower")
                                        : QStringLiteral(
                                              "another follower (connected from %1 since %2, "
                                              "server process %3)")
                                              .arg(who.Fields(QStringLiteral("host")).toText(),
                                                   who.Fields(QStringLiteral("backend_start")).toText(),
                                                   who.Fields(QStringLiteral("pid")).toText());
                who.Close();
            }
    }

    // What it journaled of a terminal before another follower took it still drains here: no port is needed.
    void leftAlone(Followed& t) {
        FollowRound round;
        round.terminal = *t.row;
        round.ok = true;
        round.elsewhere = t.elsewhere;
        try {
            drain(t, round);
        } catch (const Error& e) {
            round.reason = e.description();
        }
        finish(round, t);
    }

    // Every terminal of the port is another follower's: the port is not even opened.
    static bool followedElsewhere(const FollowedPort& port) {
        return std::all_of(port.terminals.begin(), port.terminals.end(),
                           [](const Followed& t) { return !t.elsewhere.isEmpty(); });
    }

    // Its rounds go into the journal until a fresh session answers, tried again within 2 s.
    void databaseLost(const QString& reason) {
        closeSession();
        dbAway_ = reason;
        dbPauseMs_ = std::min<qint64>(longerPause(dbPauseMs_), kLongestDatabasePauseMs);
        dbPausedAt_.start();
    }

    // The port is the follower's unless an operation has it or waits for it; meanwhile its terminals rest.
    bool claimed(FollowedPort& port) {
        if (!port.claim)
            port.claim = std::make_unique<PortClaim>(host_, port.terminals.front().current.comX.toInt16());
        if (port.claim->take(storedBelow(port))) {
            port.lent = false;
            return true;
        }
        for (const Followed& t : port.terminals) {
            FollowRound round;
            round.terminal = *t.row;
            round.ok = true;
            round.lent = true;
            finish(round, t);
        }
        return false;
    }

    // What the port's terminals gave is stored or journaled by now; the borrower learns below which number,
    // so that a clear by hand erases nothing that is not.
    static QHash<QString, quint32> storedBelow(const FollowedPort& port) {
        QHash<QString, quint32> below;
        for (const Followed& t : port.terminals)
            below.insert(t.address, t.position);
        return below;
    }

    void lend(FollowedPort& port) {
        if (port.link)
            port.link->DestoryPort();
        port.open = false;
        port.claim->lend(storedBelow(port));
        port.lent = true;
    }

    bool open(FollowedPort& port) {
        if (port.open)
            return true;
        Followed& first = port.terminals.front();
        try {
            if (!port.link) {
                port.link = createComponent<DeviceLink>(progid::DeviceLink);
                port.numbered = dynamic_cast<NumberedRecordLink*>(port.link.get());
                if (!port.numbered)
                    throw Error(errc::NotSupported,
                                QStringLiteral("the device link cannot read a terminal's new records alone"));
                port.numbered->setBorrowing(false);
            }
            const DeviceWaiting waiting(*port.link, *first.view);
            port.open = port.link->SetPort(first.current.comX) != false;
            if (port.open)
                return true;
            failPort(port, port.link->lastError().text);
        } catch (const Error& e) {
            port.link.reset();
            failPort(port, e.description());
        }
        return false;
    }

    void follow(FollowedPort& port, Followed& t) {
        FollowRound round;
        round.terminal = *t.row;
        RoundView view(*t.view);
        try {
            makeCurrent(own_, t.current);
            DeviceLink& device = *port.link;
            const DeviceWaiting waiting(device, view);
            drain(t, round);
            const QString roundFile = journal_.roundFile(t.address);
            device.setRecordFile(roundFile);
            QElapsedTimer reading;
            reading.start();
            const QDateTime readAt = QDateTime::currentDateTime();
            const auto span = port.numbered->gatherFrom(t.row->machAddr.toInt16(), t.position);
            if (!span) {
                const DeviceFault fault = device.lastError();
                round.reason = fault.text;
                if (portFault(fault.code)) {
                    device.DestoryPort();
                    port.open = false;
                    port.backOff();
                }
                finish(round, t);
                return;
            }
            if (span->next > span->read) {
                const bool stored = session_ && !journal_.holds(t.address) && store(t, view, round, roundFile);
                if (stored)
                    round.ageBoundMs = t.lastRead.isValid() ? t.lastRead.elapsed() : -1;
                else if (!keep(t, round, *span, roundFile)) {
                    // Neither stored nor journaled: read again next round, never cleared past.
                    finish(round, t);
                    return;
                }
            }
            if (span->next > span->read)
                keepClock(port, t, round, roundFile);
            else if (!t.clockSet.isValid() || t.clockSet.elapsed() > kClockEveryMs)
                setClock(port, t, round, QString());
            t.position = span->next;
            journal_.setPosition(t.address, t.position);
            t.lastRead = reading;
            t.lastReadAt = readAt;
            round.ok = true;
            round.held = span->next - span->first;
            round.capacity = span->capacity;
            if (span->capacity > 0 && qint64(round.held) * 100 >= qint64(span->capacity) * options_.clearAtPercent &&
                t.position > span->first) {
                round.cleared = port.numbered->clearBelow(t.row->machAddr.toInt16(), t.position);
                if (session_)
                    logClearing(*session_, view, round.cleared);
                if (round.cleared)
                    round.held = span->next - t.position;
                else
                    round.reason = device.lastError().text;
            }
            round.stored = t.position;
            port.pauseMs = 0;
        } catch (const Error& e) {
            round.ok = false;
            round.reason = e.description();
        }
        finish(round, t);
    }

    // The round's records were swiped since the last read: one dated outside that time (a minute's
    // resolution, and the drift allowed, either side) says the terminal's clock is wrong. It is stored as
    // dated, and told; the clock is set then, and once a day anyway.
    void keepClock(FollowedPort& port, Followed& t, FollowRound& round, const QString& file) {
        const QDateTime now = QDateTime::currentDateTime();
        const qint64 allowed = options_.clockDriftSeconds;
        QFile f(file);
        QString wrong;
        if (t.lastReadAt.isValid() && f.open(QIODevice::ReadOnly))
            while (!f.atEnd() && wrong.isEmpty()) {
                const RecordLine line = parseRecordLine(QString::fromLatin1(f.readLine()).trimmed());
                if (!line.hasValidDateTime())
                    continue;
                const QDateTime at = line.recordDateTime;
                if (at.secsTo(now) < -allowed || at.addSecs(60).secsTo(t.lastReadAt) > allowed)
                    wrong = QStringLiteral(
                                "terminal %1 dated a swipe %2, read at %3: its clock is off by more "
                                "than %4 s")
                                .arg(t.address, line.recordDateTimeText,
                                     now.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")))
                                .arg(allowed);
            }
        if (!wrong.isEmpty() || !t.clockSet.isValid() || t.clockSet.elapsed() > kClockEveryMs)
            setClock(port, t, round, wrong);
    }

    void setClock(FollowedPort& port, Followed& t, FollowRound& round, const QString& why) {
        DeviceLink& device = *port.link;
        const QDateTime now = QDateTime::currentDateTime();
        const bool set =
            device.ChangeDate(t.row->machAddr, qint16(now.date().year()), qint16(now.date().month()),
                              qint16(now.date().day())) == true &&
            device.ChangeTime(t.row->machAddr, now.time().hour(), now.time().minute(), now.time().second()) == true;
        if (set)
            t.clockSet.start();
        if (!why.isEmpty() || !set) {
            const QString outcome = set ? QStringLiteral("; its clock is set now")
                                        : QStringLiteral("; its clock could not be set: ") + device.lastError().text;
            round.reason =
                (why.isEmpty() ? QStringLiteral("terminal %1's clock is kept by the follower").arg(t.address) : why) +
                outcome;
        }
    }

    // Stores the round's file; false when it must go into the journal instead.
    bool store(Followed& t, RoundView& view, FollowRound& round, const QString& file) {
        try {
            const StoredFile stored = StoreRecordLines(file, *session_, view, StepOrder::GatherRun, true);
            add(round.counters, stored.counters);
            if (!stored.missing || *stored.missing > 0)
                throw Error(errc::Database,
                            QStringLiteral("%1 records read are not in the database").arg(stored.missing.value_or(0)));
        } catch (const Error& e) {
            databaseLost(e.description());
            return false;
        }
        // Records that cannot be stored are kept in a dated copy, as a gather keeps its file; when none
        // can be made they wait in the journal, whose drain tries the copy again.
        return view.firstFailedLine <= 0 || keepFailedLines(t, round, file);
    }

    bool keepFailedLines(const Followed& t, FollowRound& round, const QString& file) {
        QString copy;
        if (SaveGatherFile(session_->host, file, t.address, session_->clock, &copy)) {
            round.reason = QStringLiteral("the records that cannot be stored are kept in %1").arg(copy);
            return true;
        }
        round.reason = QStringLiteral(
                           "the records that cannot be stored wait in the journal until a copy of "
                           "them can be made in %1")
                           .arg(session_->host.path(QStringLiteral("Database/")));
        return false;
    }

    // Appends the round's records to the journal, flushed, so that the terminal may be cleared past them.
    bool keep(const Followed& t, FollowRound& round, const NumberedRecordLink::Span& span, const QString& file) {
        QFile f(file);
        QByteArray lines;
        if (f.open(QIODevice::ReadOnly))
            lines = f.readAll();
        const qint64 wanted = span.next - span.read;
        if (f.error() != QFileDevice::NoError || lines.count('\n') != wanted) {
            round.reason = QStringLiteral("the round's file %1 holds %2 of the %3 records read: %4")
                               .arg(file)
                               .arg(lines.count('\n'))
                               .arg(wanted)
                               .arg(f.errorString());
            return false;
        }
        QString reason;
        if (!journal_.append(t.address, span.read, span.next, lines, &reason)) {
            round.reason = reason;
            return false;
        }
        round.journaled = wanted;
        return true;
    }

    // Stores what the journal holds of the terminal, oldest first, for about one interval a round.
    void drain(Followed& t, FollowRound& round) {
        QElapsedTimer spent;
        spent.start();
        while (session_ && !stop_() && spent.elapsed() < options_.intervalMs) {
            std::optional<FollowJournal::Chunk> chunk;
            try {
                chunk = journal_.take(t.address, kDrainBytes);
            } catch (const Error& e) {
                round.reason = e.description();  // the terminal is still read, into the journal
                return;
            }
            if (!chunk)
                return;
            const QString file = journal_.drainFile(t.address);
            RoundView view(*t.view);
            StoredFile stored;
            try {
                stored = StoreRecordLines(file, *session_, view, StepOrder::GatherRun, true);
                if (!stored.missing || *stored.missing > 0)
                    throw Error(errc::Database, QStringLiteral("%1 records of the journal are not in the database")
                                                    .arg(stored.missing.value_or(0)));
            } catch (const Error& e) {
                databaseLost(e.description());
                return;
            }
            add(round.counters, stored.counters);
            if (view.firstFailedLine > 0 && !keepFailedLines(t, round, file))
                return;
            journal_.drained(t.address, *chunk);
        }
    }

    void finish(FollowRound& round, const Followed& t) {
        round.databaseAway = session_ ? QString() : dbAway_;
        round.journalRecords = journal_.recordsHeld(t.address);
        report_(round);
    }

    void failPort(FollowedPort& port, const QString& reason) {
        for (const Followed& t : port.terminals) {
            FollowRound round;
            round.terminal = *t.row;
            round.reason = reason;
            finish(round, t);
        }
        port.backOff();
    }

    void pause(qint64 ms) {
        QElapsedTimer timer;
        timer.start();
        while (!stop_() && timer.elapsed() < ms)
            QThread::msleep(ulong(std::min<qint64>(50, ms - timer.elapsed())));
    }

    void closeSession() {
        if (session_) {
            own_.Pub_Conn.reset();
            session_->release();
            session_.reset();
            // The next session opens afresh: a connection that gave up on a server away too long never returns.
            releaseThreadConnections();
        }
    }

    Mdl_GatherData own_;
    const HostSettings& host_;
    const FollowOptions& options_;
    const FollowReport& report_;
    const std::function<bool()>& stop_;
    FollowJournal& journal_;
    std::unique_ptr<GatherSession> session_;
    qint64 dbPauseMs_ = 0;
    QElapsedTimer lockedAt_;
    QElapsedTimer dbPausedAt_;
    QString dbAway_;
};

}  // namespace

void follow(const Mdl_GatherData& module, const HostSettings& host, const std::vector<TerminalRow>& rows,
            const FollowOptions& options, const TerminalViewFactory& makeView, const FollowReport& report,
            const std::function<bool()>& stop, FollowJournal& journal) {
    std::map<QString, FollowedPort> byPort;
    for (const TerminalRow& row : rows) {
        FollowedPort& port = byPort[row.comX.isNull() ? QString() : row.comX.toText()];
        Followed t;
        t.row = &row;
        t.address = row.machAddr.toText();
        t.view = makeView(row);
        // As listed, until the database says more: the terminal is read while it cannot.
        t.current.machAddr = row.machAddr;
        t.current.comX = row.comX;
        t.current.machVer = row.verText;
        t.position = journal.position(t.address);
        port.terminals.push_back(std::move(t));
    }
    // Ports dealt out in turn: each thread holds one database session for all of its ports.
    const int workers = std::max(1, std::min<int>(options.jobs, int(byPort.size())));
    std::vector<std::shared_ptr<PortFollower>> followers;
    for (int w = 0; w < workers; ++w)
        followers.push_back(std::make_shared<PortFollower>(module, host, options, report, stop, journal));
    int dealt = 0;
    for (auto& [name, port] : byPort)
        followers[std::size_t(dealt++ % workers)]->ports.push_back(std::move(port));
    std::vector<std::jthread> threads;
    for (const auto& follower : followers)
        threads.emplace_back([follower] {
            // The ports' notifiers need Qt's event dispatcher, which a thread gets with its first event loop.
            const QEventLoop dispatcher;
            follower->run();
            releaseThreadConnections();
        });
}

}  // namespace tallyfold
