#pragma once

#include "platform/connection_string.h"
#include "platform/export.h"

#include <QSqlDatabase>
#include <QString>
#include <memory>

namespace tallyfold {

enum ObjectState { adStateClosed = 0, adStateOpen = 1 };

class ConnectionPrivate;

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

    QString ConnectionString() const;
    int State() const;
    void Open();
    void Close();
    void Execute(const QString& statement);
    // The open connection for Qt's own queries; raises when closed.
    QSqlDatabase database() const;

private:
    friend class ConnectionPrivate;
    std::unique_ptr<ConnectionPrivate> d_;
};

}  // namespace tallyfold
