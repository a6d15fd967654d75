#pragma once

#include "platform/connection_string.h"
#include "platform/export.h"

#include <QHash>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <memory>
#include <mutex>

namespace tallyfold {

enum ObjectState { adStateClosed = 0, adStateOpen = 1 };

// A database connection with the members the system uses: its connection
// string, Open, Execute and State. Every row it writes commits on its own.
// Every wait is bounded: opening by "Connect Timeout=" (seconds, default 15,
// as ADO), a statement by "Command Timeout=" (default 30) on the server and,
// on SQLite, as the time a lock held by another program is waited for.
class TALLYFOLD_EXPORT Connection {
public:
    explicit Connection(QString connectionString = QString());
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    QString ConnectionString() const { return connectionString_; }
    int State() const;
    void Open();
    void Close();
    void Execute(const QString& statement);

    ProviderKind provider() const { return provider_; }
    int connectTimeoutSeconds() const { return connectTimeout_; }
    int commandTimeoutSeconds() const { return commandTimeout_; }
    // Closes and opens again after the connection was lost; false when it cannot.
    bool reopen();
    // Stops the statement running on the connection's own thread, from any
    // thread: the bound for a server that stops answering altogether.
    void interrupt();
    // While it lives, a statement runs on the connection: a watchdog thread
    // interrupts it once it has run Command Timeout and a grace.
    class Running {
    public:
        explicit Running(Connection& connection);
        ~Running();
        Running(const Running&) = delete;
        Running& operator=(const Running&) = delete;

    private:
        Connection& connection_;
    };
    // The driver's own connection (PGconn*, sqlite3*), for the owner thread; null when closed.
    void* nativeHandle() const { return handle_; }
    QSqlDatabase database() const;
    // Reuses one prepared statement per text, so a bound INSERT is parsed once.
    QSqlQuery& prepared(const QString& statement);
    // One forward-only query object for the SELECTs that are read to the end at once.
    QSqlQuery& selectQuery();

private:
    QString connectionString_;
    QString qtName_;
    ProviderKind provider_ = ProviderKind::Unknown;
    bool open_ = false;
    int connectTimeout_ = 15;
    int commandTimeout_ = 30;
    std::mutex handleMutex_;
    void* handle_ = nullptr;  // the driver's own connection, for interrupt()
    QHash<QString, std::shared_ptr<QSqlQuery>> prepared_;
    std::unique_ptr<QSqlQuery> select_;
};

[[noreturn]] void throwDatabaseError(const QString& what, const QString& dbMessage, const QString& statement);

}  // namespace tallyfold
