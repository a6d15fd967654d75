#pragma once

#include "platform/connection.h"
#include "platform/pg_session.h"
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

// Statements for a pipeline, each with the values bound to its '?' marks.
using PgStatements = QList<PgQuery>;

// Sends statements to a PostgreSQL connection in one message and reads every
// result: one round trip however many statements, which Qt's driver cannot
// do (it keeps the first result only). Works on the driver's own libpq
// connection; the connection must be idle.
ScriptOutcome runPostgresScript(Connection& connection, const QStringList& statements);
// Pipelined groups (libpq's pipeline mode): each statement goes as a query of its own and a
// sync ends the group; the next group may be sent before this one's results are read. The
// results of the first `flushAfter` statements come back without waiting for the rest. After
// a failed statement the server skips the rest of its group. The connection must be idle or
// pipelined; leavePostgresPipeline() makes it idle again for plain use.
std::optional<DatabaseError> sendPostgresGroup(Connection& connection, const PgStatements& statements,
                                               int flushAfter = 0);
// One statement's result, in the order they were sent: its first column and its command tag, or
// its error; skipped after a failed statement of its group.
struct GroupResult {
    std::vector<qint64> column;
    std::vector<std::vector<QByteArray>> texts;  // every column as text, when asked for
    QByteArray tag;
    std::optional<DatabaseError> error;
    bool skipped = false;
};
GroupResult readPostgresGroupResult(Connection& connection, bool asText = false);
// Statements sent pipelined without a sync, each a query of its own, and flushed: their results
// come back as they are done. An error on the server skips everything after it up to the next
// sync, later groups included, so that nothing sent after a failed statement commits.
std::optional<DatabaseError> sendPostgresUnsynced(Connection& connection, const PgStatements& statements);
// Ends what was sent unsynced: its results, and then the sync's end, are read as after sendPostgresGroup.
std::optional<DatabaseError> syncPostgresPipeline(Connection& connection);
// Reads up to the end of the group whose statements were all read; an error when the connection failed.
std::optional<DatabaseError> readPostgresGroupEnd(Connection& connection);
bool postgresPipelined(Connection& connection);
// Reads whatever groups are left and ends pipeline mode; an error when the connection failed.
std::optional<DatabaseError> leavePostgresPipeline(Connection& connection);

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
