#pragma once

#include "platform/connection.h"
#include "platform/sql_failure.h"

#include <QStringList>
#include <optional>
#include <vector>

namespace tallyfold {

// What a script gave: the first column of each statement that ran, in order,
// and the error of the statement that failed (the one after the last result).
struct ScriptOutcome {
    std::vector<std::vector<qint64>> columns;
    std::optional<DatabaseError> error;
};

// Sends statements to a PostgreSQL connection in one message and reads every
// result: one round trip however many statements, which Qt's driver cannot
// do (it keeps the first result only). Works on the driver's own libpq
// connection; the connection must be idle.
ScriptOutcome runPostgresScript(Connection& connection, const QStringList& statements);
// The same in two halves, so that the caller can work while the statements travel and run.
// An error from sending means that the server has received none of the statements.
std::optional<DatabaseError> sendPostgresScript(Connection& connection, const QStringList& statements);
ScriptOutcome readPostgresScript(Connection& connection, std::size_t statements);

// Notices and a server's last words on the connection are not printed on stderr: they come back as errors.
void quietPostgresNotices(Connection& connection);

// A PostgreSQL array literal of texts, for '...'::type[].
QString postgresArray(const QStringList& items);
// An expression of type `type`[] holding the texts, for a statement that cannot bind them (a
// script): the array literal goes base64-encoded, so nothing of the texts but letters, digits,
// '+', '/' and '=' stands between the quotes, which no setting of standard_conforming_strings
// and no client encoding reads as anything else. `type` is a type's name, never a value.
QString postgresArrayOf(const QStringList& items, const QString& type);

}  // namespace tallyfold
