#include "records/follow.h"

#include "outside/component_registry.h"
#include "outside/database_tool.h"
#include "platform/error.h"
#include "records/device_waiting.h"
#include "records/mdl_gather_data.h"
#include "records/operation_support.h"
#include "records/terminal_list.h"
#include "records/watched_view.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMutex>
#include <QTemporaryDir>
#include <QThread>
#include <map>
#include <thread>

namespace tallyfold {

namespace {

constexpr qint64 kFirstPauseMs = 1000;
constexpr qint64 kLongestPauseMs = 30000;

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
    std::unique_ptr<OperatorView> view;
    CurrentTerminal current;
    QString recordFile;
    quint32 position = 0;
    // Never cleared at or beyond this number: a record there failed to be stored.
    std::optional<quint32> keepFrom;
    QElapsedTimer lastRead;  // when the records below `position` were last read complete
};

// One port: its own link, held open from round to round.
struct FollowedPort {
    std::unique_ptr<DeviceLink> link;
    NumberedRecordLink* numbered = nullptr;
    bool open = false;
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
                 const FollowReport& report, const std::function<bool()>& stop)
        : own_(module), host_(host), options_(options), report_(report), stop_(stop) {
        own_.Pub_Conn.reset();  // the caller's connection belongs to the caller's thread
    }

    std::vector<FollowedPort> ports;

    void run() {
        while (!stop_()) {
            QElapsedTimer round;
            round.start();
            if (ready())
                for (FollowedPort& port : ports) {
                    if (stop_() || !session_)
                        break;
                    if (!port.resting() && open(port))
                        for (Followed& t : port.terminals) {
                            if (stop_() || !session_ || !port.open)
                                break;
                            follow(port, t);
                        }
                }
            pause(std::max<qint64>(pauseMs_, options_.intervalMs - round.elapsed()));
        }
        closeSession();
        for (FollowedPort& port : ports)
            port.link.reset();
    }

private:
    // The database session; false after a failure, which every terminal is told.
    bool ready() {
        if (session_)
            return true;
        try {
            session_ = std::make_unique<GatherSession>(own_, host_);
            session_->createComponents();
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
            pauseMs_ = 0;
            return true;
        } catch (const Error& e) {
            failAll(e.description());
        } catch (const std::exception& e) {
            failAll(QString::fromLocal8Bit(e.what()));
        }
        closeSession();
        pauseMs_ = longerPause(pauseMs_);
        return false;
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
            device.setRecordFile(t.recordFile);
            QElapsedTimer reading;
            reading.start();
            const auto span = port.numbered->gatherFrom(t.row->machAddr.toInt16(), t.position);
            if (!span) {
                const DeviceFault fault = device.lastError();
                round.reason = fault.text;
                if (portFault(fault.code)) {
                    device.DestoryPort();
                    port.open = false;
                    port.backOff();
                }
                report_(round);
                return;
            }
            if (span->next > span->read) {
                const StoredFile stored = StoreRecordLines(t.recordFile, *session_, view, StepOrder::GatherRun, true);
                round.counters = stored.counters;
                if (!stored.missing || *stored.missing > 0)
                    throw Error(
                        errc::Database,
                        QStringLiteral("%1 records read are not in the database").arg(stored.missing.value_or(0)));
                if (view.firstFailedLine > 0) {
                    // Kept in a dated copy, as a gather keeps its file, the terminal may be cleared past them;
                    // without one they stay on the terminal.
                    QString copy;
                    const QString address = t.row->machAddr.toText();
                    if (SaveGatherFile(session_->host, t.recordFile, address, session_->clock, &copy)) {
                        round.reason = QStringLiteral("the records that cannot be stored are kept in %1").arg(copy);
                    } else {
                        const quint32 failed = span->read + quint32(view.firstFailedLine - 1);
                        t.keepFrom = std::min(t.keepFrom.value_or(failed), failed);
                    }
                }
                // Swiped after the last complete read at the latest; committed by now.
                round.ageBoundMs = t.lastRead.isValid() ? t.lastRead.elapsed() : -1;
            }
            t.position = span->next;
            t.lastRead = reading;
            round.ok = true;
            round.held = span->next - span->first;
            round.capacity = span->capacity;
            const quint32 below = std::min(t.position, t.keepFrom.value_or(t.position));
            if (span->capacity > 0 && qint64(round.held) * 100 >= qint64(span->capacity) * options_.clearAtPercent &&
                below > span->first) {
                round.cleared = port.numbered->clearBelow(t.row->machAddr.toInt16(), below);
                logClearing(*session_, view, round.cleared);
                if (round.cleared)
                    round.held = span->next - below;
                else
                    round.reason = device.lastError().text;
            }
            if (t.keepFrom && qint64(round.held) * 100 >= qint64(span->capacity) * options_.clearAtPercent)
                round.reason = QStringLiteral(
                                   "not cleared from record %1 on, which cannot be stored; the terminal "
                                   "fills up unless it is mended (tallyfold gather --machine %2 shows "
                                   "the failed line)")
                                   .arg(*t.keepFrom)
                                   .arg(t.row->machAddr.toText());
            round.stored = t.position;
            port.pauseMs = 0;
        } catch (const Error& e) {
            round.ok = false;
            round.reason = e.description();
            // The database or its connection failed: a fresh session after a pause.
            closeSession();
            pauseMs_ = longerPause(pauseMs_);
        }
        report_(round);
    }

    void failPort(FollowedPort& port, const QString& reason) {
        for (const Followed& t : port.terminals) {
            FollowRound round;
            round.terminal = *t.row;
            round.reason = reason;
            report_(round);
        }
        port.backOff();
    }

    void failAll(const QString& reason) {
        for (FollowedPort& port : ports)
            for (const Followed& t : port.terminals) {
                FollowRound round;
                round.terminal = *t.row;
                round.reason = reason;
                report_(round);
            }
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
        }
    }

    Mdl_GatherData own_;
    const HostSettings& host_;
    const FollowOptions& options_;
    const FollowReport& report_;
    const std::function<bool()>& stop_;
    std::unique_ptr<GatherSession> session_;
    qint64 pauseMs_ = 0;
};

}  // namespace

void follow(const Mdl_GatherData& module, const HostSettings& host, const std::vector<TerminalRow>& rows,
            const FollowOptions& options, const TerminalViewFactory& makeView, const FollowReport& report,
            const std::function<bool()>& stop, QHash<QString, quint32>& positions) {
    // The records of a round wait here until they are stored; nobody else writes them.
    QTemporaryDir files(QDir::temp().filePath(QStringLiteral("tallyfold-follow-XXXXXX")));
    if (!files.isValid())
        throw Error(errc::FileIo,
                    QStringLiteral("cannot create a folder for the records read: %1").arg(files.errorString()));
    std::map<QString, FollowedPort> byPort;
    for (const TerminalRow& row : rows) {
        FollowedPort& port = byPort[row.comX.isNull() ? QString() : row.comX.toText()];
        Followed t;
        t.row = &row;
        t.view = makeView(row);
        t.recordFile = files.filePath(row.machAddr.toText() + QStringLiteral(".txt"));
        t.position = positions.value(row.machAddr.toText(), 0);
        port.terminals.push_back(std::move(t));
    }
    // Ports dealt out in turn: each thread holds one database session for all of its ports.
    const int workers = std::max(1, std::min<int>(options.jobs, int(byPort.size())));
    std::vector<std::shared_ptr<PortFollower>> followers;
    for (int w = 0; w < workers; ++w)
        followers.push_back(std::make_shared<PortFollower>(module, host, options, report, stop));
    int dealt = 0;
    for (auto& [name, port] : byPort)
        followers[std::size_t(dealt++ % workers)]->ports.push_back(std::move(port));
    {
        std::vector<std::jthread> threads;
        for (const auto& follower : followers)
            threads.emplace_back([follower] {
                // The ports' notifiers need Qt's event dispatcher, which a thread gets with its first event loop.
                const QEventLoop dispatcher;
                follower->run();
                releaseThreadConnections();
            });
    }
    for (const auto& follower : followers)
        for (const FollowedPort& port : follower->ports)
            for (const Followed& t : port.terminals)
                positions.insert(t.row->machAddr.toText(), t.position);
}

}  // namespace tallyfold
