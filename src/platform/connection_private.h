#pragma once

// What the library itself uses of a connection; not installed.

#include "platform/connection.h"
#include "platform/connection_string.h"
#include "platform/pg_session.h"

#include <QHash>
#include <QSqlQuery>
#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace tallyfold {

class ConnectionPrivate {
public:
    explicit ConnectionPrivate(QString connectionString);

    static ConnectionPrivate& of(const Connection& connection) { return *connection.d_; }

    ProviderKind provider() const { return provider_; }
    int connectTimeoutSeconds() const { return connectTimeout_; }
    int commandTimeoutSeconds() const { return commandTimeout_; }
    // Closes the library's own session only, from the thread that works on it; a Qt
    // connection opened for a host stays. Open() opens the session again.
    void closeSession();
    // A PostgreSQL connection lent to another thread while its owner does not use it: the
    // borrower names itself from its own thread, and until it gives the connection back a
    // statement from any other thread is refused rather than run inside its transaction.
    bool lend() { return !lent_.exchange(true); }
    void borrowHere() { borrower_.store(std::this_thread::get_id()); }
    void giveBack() {
        borrower_.store(std::thread::id());
        lent_.store(false);
    }
    bool lentAway() const { return lent_.load() && borrower_.load() != std::this_thread::get_id(); }
    // Closes and opens again after the connection was lost; false when it cannot.
    bool reopen();
    // Stops the statement running on the connection's own thread, from any
    // thread: the bound for a server that stops answering altogether.
    void interrupt();
    // The last statement was stopped by interrupt(): the server did not answer within Command
    // Timeout, and waiting for it again would only double that wait. On PostgreSQL it holds
    // until the connection is opened again, its socket being cut.
    bool cutOff() const { return cutOff_.load(std::memory_order_acquire); }
    // The database stopped answering (a lost connection, a statement cut off): from now on the
    // run has Connect Timeout left for every wait on this connection together, so that it ends
    // within Command Timeout + Connect Timeout + 2 s of the database's last answer. An answer
    // ends the trouble; one never answered is forgotten Connect Timeout after its end, for a
    // host's next operation.
    void noteTrouble();
    void noteAnswered() { troubleEnd_.store(0, std::memory_order_release); }
    // The end of the current trouble, if any.
    std::optional<std::chrono::steady_clock::time_point> troubleEnd() const;
    // Raises the Busy DatabaseError of a statement stopped so.
    [[noreturn]] void throwCutOff(const QString& statement = QString()) const;
    // The native connection, for the owner thread; null when closed. On PostgreSQL a PGconn*
    // of the library's own, which every statement of the library goes through; on SQLite the
    // driver's sqlite3*.
    void* nativeHandle() const { return handle_; }
    // The error as the provider would name its cause: on SQLite a full disk is SQLITE_FULL.
    QSqlError sqlError(const QSqlError& error) const;
    // Reuses one prepared statement per text, so a bound INSERT is parsed once.
    QSqlQuery& prepared(const QString& statement);
    // One forward-only query object for the SELECTs that are read to the end at once.
    QSqlQuery& selectQuery();

    // PostgreSQL: the quickest answer a statement of the library got on the session, which
    // tells a far server from a near one; none before the first.
    std::optional<std::chrono::microseconds> fastestAnswer() const { return fastestAnswer_; }
    void noteAnswer(std::chrono::microseconds took) {
        if (!fastestAnswer_ || took < *fastestAnswer_)
            fastestAnswer_ = took;
    }
    // PostgreSQL: rows read ahead, for the same statements and values asked next in the same order (pgPrefetch).
    std::deque<PgPrefetched>& prefetched() { return prefetched_; }

    // What the public members do.
    void open();
    void close();
    void execute(const QString& statement);
    QSqlDatabase database() const;

private:
    void openQtPostgres();

    friend class Connection;
    friend class RunningStatement;

    QString connectionString_;
    QString qtName_;
    ProviderKind provider_ = ProviderKind::Unknown;
    bool open_ = false;
    bool watched_ = false;     // holds the watchdog's thread while open
    bool everOpened_ = false;  // PostgreSQL: the first open waits for a writable host
    bool opening_ = false;     // open() runs its settings: a failure there is not reopened
    int connectTimeout_ = 15;
    int commandTimeout_ = 30;
    std::mutex handleMutex_;
    void* handle_ = nullptr;  // the driver's own connection, for interrupt()
    std::atomic<bool> cutOff_ = false;
    std::atomic<std::chrono::steady_clock::rep> troubleEnd_ = 0;  // 0: none
    std::atomic<bool> lent_ = false;
    std::atomic<std::thread::id> borrower_;
    QHash<QString, std::shared_ptr<QSqlQuery>> prepared_;
    std::unique_ptr<QSqlQuery> select_;
    std::deque<PgPrefetched> prefetched_;
    std::optional<std::chrono::microseconds> fastestAnswer_;
};

// While it lives, a statement runs on the connection: a watchdog thread
// interrupts it once it has run Command Timeout and a grace.
class RunningStatement {
public:
    explicit RunningStatement(ConnectionPrivate& connection);
    explicit RunningStatement(Connection& connection) : RunningStatement(ConnectionPrivate::of(connection)) {}
    ~RunningStatement();
    RunningStatement(const RunningStatement&) = delete;
    RunningStatement& operator=(const RunningStatement&) = delete;

private:
    ConnectionPrivate& connection_;
};

[[noreturn]] void throwDatabaseError(const QString& what, const QString& dbMessage, const QString& statement);

}  // namespace tallyfold
