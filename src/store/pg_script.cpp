#include "store/pg_script.h"

#include <dlfcn.h>
#include <QSqlError>

namespace tallyfold {

namespace {

// The few libpq functions used here, with the library's own C signatures
// (PGconn and PGresult are opaque). Taken from the libpq the QPSQL plugin loaded.
struct LibPq {
    int (*sendQuery)(void*, const char*) = nullptr;
    void* (*getResult)(void*) = nullptr;
    int (*resultStatus)(const void*) = nullptr;
    int (*ntuples)(const void*) = nullptr;
    char* (*getvalue)(const void*, int, int) = nullptr;
    int (*getisnull)(const void*, int, int) = nullptr;
    char* (*resultErrorField)(const void*, int) = nullptr;
    char* (*resultErrorMessage)(const void*) = nullptr;
    char* (*errorMessage)(const void*) = nullptr;
    void (*clear)(void*) = nullptr;
    int (*consumeInput)(void*) = nullptr;
    int (*status)(const void*) = nullptr;
    void* (*setNoticeProcessor)(void*, void (*)(void*, const char*), void*) = nullptr;

    bool complete() const {
        return sendQuery && getResult && resultStatus && ntuples && getvalue && getisnull && resultErrorField &&
               resultErrorMessage && errorMessage && clear && consumeInput && status && setNoticeProcessor;
    }
};

const LibPq& libpq() {
    static const LibPq pq = [] {
        LibPq p;
        void* lib = dlopen("libpq.so.5", RTLD_LAZY | RTLD_NOLOAD);
        if (!lib)
            return p;
        auto take = [lib](auto& fn, const char* name) {
            fn = reinterpret_cast<std::decay_t<decltype(fn)>>(dlsym(lib, name));
        };
        take(p.sendQuery, "PQsendQuery");
        take(p.getResult, "PQgetResult");
        take(p.resultStatus, "PQresultStatus");
        take(p.ntuples, "PQntuples");
        take(p.getvalue, "PQgetvalue");
        take(p.getisnull, "PQgetisnull");
        take(p.resultErrorField, "PQresultErrorField");
        take(p.resultErrorMessage, "PQresultErrorMessage");
        take(p.errorMessage, "PQerrorMessage");
        take(p.clear, "PQclear");
        take(p.consumeInput, "PQconsumeInput");
        take(p.status, "PQstatus");
        take(p.setNoticeProcessor, "PQsetNoticeProcessor");
        return p;
    }();
    return pq;
}

constexpr int ConnectionOk = 0;  // CONNECTION_OK
constexpr int CommandOk = 1;     // PGRES_COMMAND_OK
constexpr int TuplesOk = 2;      // PGRES_TUPLES_OK
constexpr int SqlStateField = 'C';

DatabaseError failure(const QString& state, const QString& message) {
    const QSqlError error(QString(), message, QSqlError::StatementError, state);
    const QString text = message.simplified();
    return DatabaseError(classifySqlError(ProviderKind::PostgreSQL, error), state,
                         QStringLiteral("The database failed: ") + text, text);
}

}  // namespace

std::optional<DatabaseError> sendPostgresScript(Connection& connection, const QStringList& statements) {
    const LibPq& pq = libpq();
    void* conn = connection.nativeHandle();
    if (!pq.complete() || !conn)
        return failure(QStringLiteral("08003"), QStringLiteral("no PostgreSQL connection to send to"));
    // The server may have ended the session while it waited for us (its FATAL came in the meantime):
    // then nothing is sent, which the caller must be able to tell from a script sent and lost.
    if (!pq.consumeInput(conn) || pq.status(conn) != ConnectionOk)
        return failure(QString(), QString::fromUtf8(pq.errorMessage(conn)));
    const QByteArray text = statements.join(QStringLiteral(";\n")).toUtf8();
    if (!pq.sendQuery(conn, text.constData()))
        return failure(QString(), QString::fromUtf8(pq.errorMessage(conn)));
    return std::nullopt;
}

ScriptOutcome readPostgresScript(Connection& connection, std::size_t statements) {
    ScriptOutcome outcome;
    const LibPq& pq = libpq();
    void* conn = connection.nativeHandle();
    // Every result is read, also after an error, so the connection is idle again for the driver.
    while (void* result = conn ? pq.getResult(conn) : nullptr) {
        const int status = pq.resultStatus(result);
        if (outcome.error) {
            // The server skips the statements after a failed one; nothing more to take.
        } else if (status == CommandOk || status == TuplesOk) {
            std::vector<qint64> column;
            const int rows = status == TuplesOk ? pq.ntuples(result) : 0;
            column.reserve(std::size_t(rows));
            for (int r = 0; r < rows; ++r)
                column.push_back(pq.getisnull(result, r, 0) ? 0 : QByteArray(pq.getvalue(result, r, 0)).toLongLong());
            outcome.columns.push_back(std::move(column));
        } else {
            const char* state = pq.resultErrorField(result, SqlStateField);
            outcome.error = failure(state ? QString::fromLatin1(state) : QString(),
                                    QString::fromUtf8(pq.resultErrorMessage(result)));
        }
        pq.clear(result);
    }
    if (!outcome.error && outcome.columns.size() < statements)
        outcome.error = failure(QString(), conn ? QString::fromUtf8(pq.errorMessage(conn)) : QString());
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
    const LibPq& pq = libpq();
    if (pq.complete() && connection.nativeHandle())
        pq.setNoticeProcessor(
            connection.nativeHandle(), [](void*, const char*) {}, nullptr);
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

}  // namespace tallyfold
