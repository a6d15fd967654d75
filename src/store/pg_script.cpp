#include "store/pg_script.h"

#include "platform/connection_private.h"

#include <libpq-fe.h>
#include <QSqlError>

namespace tallyfold {

namespace {

// The driver's own connection; null when closed or not PostgreSQL.
PGconn* postgresOf(Connection& connection) {
    const ConnectionPrivate& d = ConnectionPrivate::of(connection);
    return d.provider() == ProviderKind::PostgreSQL ? static_cast<PGconn*>(d.nativeHandle()) : nullptr;
}

DatabaseError failure(const QString& state, const QString& message) {
    const QSqlError error(QString(), message, QSqlError::StatementError, state);
    const QString text = message.simplified();
    return DatabaseError(classifySqlError(ProviderKind::PostgreSQL, error), state,
                         QStringLiteral("The database failed: ") + text, text);
}

// A result's first column as numbers.
std::vector<qint64> firstColumn(PGresult* result) {
    std::vector<qint64> column;
    const int rows = PQresultStatus(result) == PGRES_TUPLES_OK ? PQntuples(result) : 0;
    column.reserve(std::size_t(rows));
    for (int r = 0; r < rows; ++r)
        column.push_back(PQgetisnull(result, r, 0) ? 0 : QByteArray(PQgetvalue(result, r, 0)).toLongLong());
    return column;
}

DatabaseError failureOf(PGresult* result) {
    const char* state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
    return failure(state ? QString::fromLatin1(state) : QString(), QString::fromUtf8(PQresultErrorMessage(result)));
}

}  // namespace

namespace {

// Enters pipeline mode when needed and queues each statement as a query of its own, with a
// flush request after the first `flushAfter`. Nothing leaves before a sync or a flush: a
// failure to queue means nothing was sent.
std::optional<DatabaseError> queued(PGconn* conn, const PgStatements& statements, int flushAfter) {
    if (!conn)
        return failure(QStringLiteral("08003"), QStringLiteral("no PostgreSQL connection to send to"));
    if (PQpipelineStatus(conn) == PQ_PIPELINE_OFF &&
        (!PQconsumeInput(conn) || PQstatus(conn) != CONNECTION_OK || !PQenterPipelineMode(conn)))
        return failure(QString(), QString::fromUtf8(PQerrorMessage(conn)));
    for (qsizetype i = 0; i < statements.size(); ++i) {
        const PgBound bound(statements[i]);
        if (!PQsendQueryParams(conn, bound.text.constData(), bound.count(), bound.types.data(), bound.values.data(),
                               nullptr, nullptr, 0))
            return failure(QString(), QString::fromUtf8(PQerrorMessage(conn)));
        if (i + 1 == flushAfter && !PQsendFlushRequest(conn))
            return failure(QString(), QString::fromUtf8(PQerrorMessage(conn)));
    }
    return std::nullopt;
}

}  // namespace

std::optional<DatabaseError> sendPostgresGroup(Connection& connection, const PgStatements& statements, int flushAfter) {
    PGconn* conn = postgresOf(connection);
    if (std::optional<DatabaseError> error = queued(conn, statements, flushAfter))
        return error;
    if (!PQpipelineSync(conn))
        return failure(QString(), QString::fromUtf8(PQerrorMessage(conn)));
    return std::nullopt;
}

std::optional<DatabaseError> sendPostgresUnsynced(Connection& connection, const PgStatements& statements) {
    PGconn* conn = postgresOf(connection);
    // The flush request makes the server send what it has; PQflush sends what libpq holds.
    if (std::optional<DatabaseError> error = queued(conn, statements, int(statements.size())))
        return error;
    if (PQflush(conn) != 0)
        return failure(QString(), QString::fromUtf8(PQerrorMessage(conn)));
    return std::nullopt;
}

std::optional<DatabaseError> syncPostgresPipeline(Connection& connection) {
    PGconn* conn = postgresOf(connection);
    if (!conn || !PQpipelineSync(conn))
        return failure(QString(), conn ? QString::fromUtf8(PQerrorMessage(conn)) : QString());
    return std::nullopt;
}

GroupResult readPostgresGroupResult(Connection& connection, bool asText) {
    GroupResult out;
    PGconn* conn = postgresOf(connection);
    PGresult* result = conn ? PQgetResult(conn) : nullptr;
    if (!result) {
        out.error = failure(QString(), conn ? QString::fromUtf8(PQerrorMessage(conn)) : QString());
        return out;
    }
    const ExecStatusType status = PQresultStatus(result);
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) {
        const int rows = status == PGRES_TUPLES_OK ? PQntuples(result) : 0;
        if (!asText)
            out.column = firstColumn(result);
        for (int r = 0; r < rows && asText; ++r) {
            std::vector<QByteArray>& row = out.texts.emplace_back();
            for (int c = 0; c < PQnfields(result); ++c)
                row.emplace_back(PQgetvalue(result, r, c));
        }
        out.tag = PQcmdStatus(result);
    } else if (status == PGRES_PIPELINE_ABORTED) {
        out.skipped = true;
    } else {
        out.error = failureOf(result);
    }
    PQclear(result);
    // A statement's results end with a null; a lost connection leaves it bad.
    while (PGresult* more = PQgetResult(conn))
        PQclear(more);
    if (!out.error && PQstatus(conn) == CONNECTION_BAD)
        out.error = failure(QString(), QString::fromUtf8(PQerrorMessage(conn)));
    return out;
}

std::optional<DatabaseError> readPostgresGroupEnd(Connection& connection) {
    PGconn* conn = postgresOf(connection);
    // A null ends each statement's results; two in a row mean that nothing more was sent.
    for (bool lastWasNull = false;;) {
        PGresult* result = conn && PQstatus(conn) == CONNECTION_OK ? PQgetResult(conn) : nullptr;
        if (!result) {
            if (lastWasNull || !conn || PQstatus(conn) != CONNECTION_OK)
                return failure(QString(), conn ? QString::fromUtf8(PQerrorMessage(conn)) : QString());
            lastWasNull = true;
            continue;
        }
        lastWasNull = false;
        const ExecStatusType status = PQresultStatus(result);
        PQclear(result);
        if (status == PGRES_PIPELINE_SYNC)
            return std::nullopt;
    }
}

bool postgresPipelined(Connection& connection) {
    PGconn* conn = postgresOf(connection);
    return conn && PQpipelineStatus(conn) != PQ_PIPELINE_OFF;
}

std::optional<DatabaseError> leavePostgresPipeline(Connection& connection) {
    PGconn* conn = postgresOf(connection);
    if (!conn || PQpipelineStatus(conn) == PQ_PIPELINE_OFF)
        return std::nullopt;
    // Every group sent ends with a sync; the queue is empty once the last sync was read.
    while (!PQexitPipelineMode(conn)) {
        if (PQstatus(conn) != CONNECTION_OK)
            return failure(QString(), QString::fromUtf8(PQerrorMessage(conn)));
        if (std::optional<DatabaseError> error = readPostgresGroupEnd(connection))
            return error;
    }
    return std::nullopt;
}

ScriptOutcome runPostgresScript(Connection& connection, const QStringList& statements) {
    ScriptOutcome outcome;
    PGconn* conn = postgresOf(connection);
    if (!conn) {
        outcome.error = failure(QStringLiteral("08003"), QStringLiteral("no PostgreSQL connection to send to"));
        return outcome;
    }
    // The server may have ended the session while it waited for us (its FATAL came in the meantime).
    if (!PQconsumeInput(conn) || PQstatus(conn) != CONNECTION_OK ||
        !PQsendQuery(conn, statements.join(QStringLiteral(";\n")).toUtf8().constData())) {
        outcome.error = failure(QString(), QString::fromUtf8(PQerrorMessage(conn)));
        return outcome;
    }
    // Every result is read, also after an error, so the connection is idle again for the driver.
    while (PGresult* result = PQgetResult(conn)) {
        const ExecStatusType status = PQresultStatus(result);
        if (outcome.error) {
            // The server skips the statements after a failed one; nothing more to take.
        } else if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) {
            outcome.columns.push_back(firstColumn(result));
        } else {
            outcome.error = failureOf(result);
        }
        PQclear(result);
    }
    if (!outcome.error && outcome.columns.size() < std::size_t(statements.size()))
        outcome.error = failure(QString(), QString::fromUtf8(PQerrorMessage(conn)));
    return outcome;
}

void quietPostgresNotices(Connection& connection) {
    if (PGconn* conn = postgresOf(connection))
        PQsetNoticeProcessor(
            conn, [](void*, const char*) {}, nullptr);
}

QString postgresArray(const QStringList& items) {
    QString s;
    s.reserve(items.size() * 24 + 2);
    s += QLatin1Char('{');
    for (qsizetype i = 0; i < items.size(); ++i) {
        if (i)
            s += QLatin1Char(',');
        s += QLatin1Char('"');
        for (QChar c : items[i]) {
            if (c == QLatin1Char('"') || c == QLatin1Char('\\'))
                s += QLatin1Char('\\');
            s += c;
        }
        s += QLatin1Char('"');
    }
    s += QLatin1Char('}');
    return s;
}

QString postgresArrayOf(const QStringList& items, const QString& type) {
    // The encoding's name is of type name, whose collation "C" convert_from's text would take
    // on: compared with a column of the default collation, the column's index could not serve.
    return QStringLiteral("convert_from(decode('%1', 'base64'), 'UTF8' COLLATE \"default\")::%2[]")
        .arg(QString::fromLatin1(postgresArray(items).toUtf8().toBase64()), type);
}

}  // namespace tallyfold
