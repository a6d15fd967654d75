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

}  // namespace

std::optional<DatabaseError> sendPostgresScript(Connection& connection, const QStringList& statements) {
    PGconn* conn = postgresOf(connection);
    if (!conn)
        return failure(QStringLiteral("08003"), QStringLiteral("no PostgreSQL connection to send to"));
    // The server may have ended the session while it waited for us (its FATAL came in the meantime):
    // then nothing is sent, which the caller must be able to tell from a script sent and lost.
    if (!PQconsumeInput(conn) || PQstatus(conn) != CONNECTION_OK)
        return failure(QString(), QString::fromUtf8(PQerrorMessage(conn)));
    const QByteArray text = statements.join(QStringLiteral(";\n")).toUtf8();
    if (!PQsendQuery(conn, text.constData()))
        return failure(QString(), QString::fromUtf8(PQerrorMessage(conn)));
    return std::nullopt;
}

ScriptOutcome readPostgresScript(Connection& connection, std::size_t statements) {
    ScriptOutcome outcome;
    PGconn* conn = postgresOf(connection);
    // Every result is read, also after an error, so the connection is idle again for the driver.
    while (PGresult* result = conn ? PQgetResult(conn) : nullptr) {
        const ExecStatusType status = PQresultStatus(result);
        if (outcome.error) {
            // The server skips the statements after a failed one; nothing more to take.
        } else if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) {
            std::vector<qint64> column;
            const int rows = status == PGRES_TUPLES_OK ? PQntuples(result) : 0;
            column.reserve(std::size_t(rows));
            for (int r = 0; r < rows; ++r)
                column.push_back(PQgetisnull(result, r, 0) ? 0 : QByteArray(PQgetvalue(result, r, 0)).toLongLong());
            outcome.columns.push_back(std::move(column));
        } else {
            const char* state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
            outcome.error = failure(state ? QString::fromLatin1(state) : QString(),
                                    QString::fromUtf8(PQresultErrorMessage(result)));
        }
        PQclear(result);
    }
    if (!outcome.error && outcome.columns.size() < statements)
        outcome.error = failure(QString(), conn ? QString::fromUtf8(PQerrorMessage(conn)) : QString());
    return outcome;
}

ScriptOutcome runPostgresScript(Connection& connection, const QStringList& statements) {
    if (std::optional<DatabaseError> error = sendPostgresScript(connection, statements)) {
        ScriptOutcome outcome;
        outcome.error = std::move(error);
        return outcome;
    }
    return readPostgresScript(connection, std::size_t(statements.size()));
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
