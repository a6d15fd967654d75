#pragma once

// The library's own statements on PostgreSQL go through libpq directly: each is one
// round trip with its values as parameters apart from the text, and opening runs no
// setup statements. Not installed.

#include "platform/connection_string.h"

#include <QStringList>
#include <QVariant>
#include <vector>

struct pg_conn;

namespace tallyfold {

class ConnectionPrivate;

// libpq's connection keywords and values for a connection string: every host and port
// it names (Host=a,b;Port=p,q), the one among them that takes writes, and the bounds.
struct PgParameters {
    std::vector<QByteArray> keywords;
    std::vector<QByteArray> values;
};
PgParameters pgParameters(const ConnectionString& cs, int connectTimeoutSeconds, int commandTimeoutSeconds);

// Connects; null and `error` set when it cannot.
pg_conn* pgConnect(const PgParameters& parameters, QString& error);

// The statement with $1, $2, ... for its '?' marks; quoted text and identifiers are left alone.
QString pgNumberedParameters(const QString& statement);

// The rows of a statement, their values converted as Qt's driver converts them.
struct PgRows {
    QStringList columns;
    std::vector<std::vector<QVariant>> rows;
};

// Runs one statement with its '?' marks bound to `values` on the connection's own libpq
// connection, under the watchdog. Raises DatabaseError with `what` and the statement.
PgRows pgExecute(ConnectionPrivate& db, const QString& statement, const QVariantList& values, const QString& what);
// A statement with its '?' marks bound to values (none: a plain statement); the values travel
// apart from its text, so nothing in them is read as SQL.
struct PgQuery {
    PgQuery(QString text, QVariantList bound = {}) : statement(std::move(text)), values(std::move(bound)) {}
    QString statement;
    QVariantList values;
};
// A query as libpq takes it: the text with $1, $2, ... and each value as text with its type
// (0: the server infers it from where it stands, as for a quoted literal).
struct PgBound {
    explicit PgBound(const PgQuery& query);
    int count() const { return int(values.size()); }
    QByteArray text;
    std::vector<QByteArray> texts;
    std::vector<const char*> values;
    std::vector<unsigned int> types;
};
// Its rows once read ahead.
struct PgPrefetched {
    PgQuery query;
    PgRows rows;
};
// Runs the statements in one round trip (a far server costs one for all) and keeps their rows
// for the same statements with the same values asked next, in the same order; any other
// statement drops what is kept. A statement that fails is not kept, nor any after it: asked,
// it says why.
void pgPrefetch(ConnectionPrivate& db, const std::vector<PgQuery>& queries);
// The same, tried once more on a fresh connection when the server was lost since the last statement.
PgRows pgRetried(ConnectionPrivate& db, const QString& statement, const QVariantList& values, const QString& what);

}  // namespace tallyfold
