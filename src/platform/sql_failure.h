#pragma once

#include "platform/connection_string.h"
#include "platform/error.h"

#include <QSqlError>

namespace tallyfold {

// What a failed statement says about the way on: the row itself was refused,
// or the database cannot take any row now (and whether waiting may mend it).
enum class SqlFailure {
    Row,      // this row's own values: too long, a constraint, a trigger refused it
    Lost,     // connection gone, server shutting down, a deadlock: reconnect and try again
    Full,     // disk or log full: space may come back, try again for a while
    Busy,     // a lock or a statement outlived its timeout: waited long enough already
    Refused,  // read-only, no right to insert, no such table, anything not known: stop
};

SqlFailure classifySqlError(ProviderKind provider, const QSqlError& error);

// A database error with its kind and the database's own code (SQLSTATE on
// PostgreSQL, the extended result code on SQLite, the native number on ODBC).
class DatabaseError : public Error {
public:
    DatabaseError(SqlFailure failure, const QString& code, const QString& description, const QString& message)
        : Error(errc::Database, description), failure_(failure), code_(code), message_(message) {}
    SqlFailure failure() const { return failure_; }
    QString code() const { return code_; }
    // The database's own words, on one line.
    QString message() const { return message_; }

private:
    SqlFailure failure_;
    QString code_;
    QString message_;
};

// The error of a failed statement: "what: the database's message [statement: ...]", on one line.
[[noreturn]] void throwSqlError(ProviderKind provider, const QString& what, const QSqlError& error,
                                const QString& statement = QString());

}  // namespace tallyfold
