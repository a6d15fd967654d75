#include "platform/pg_session.h"

#include "platform/connection_private.h"
#include "platform/error.h"
#include "platform/sql_failure.h"

#include <libpq-fe.h>
#include <QDateTime>
#include <QScopeGuard>
#include <QTimeZone>
#include <algorithm>
#include <chrono>

namespace tallyfold {

namespace {

// Type oids of pg_type that the values are converted by.
enum : Oid {
    BoolOid = 16,
    ByteaOid = 17,
    Int8Oid = 20,
    Int2Oid = 21,
    Int4Oid = 23,
    OidOid = 26,
    Float4Oid = 700,
    Float8Oid = 701,
    DateOid = 1082,
    TimeOid = 1083,
    TimestampOid = 1114,
    TimestampTzOid = 1184,
    TimeTzOid = 1266,
    NumericOid = 1700,
};

QDateTime timestampOf(const QByteArray& text, bool withZone) {
    // The server writes ISO with a blank between date and time, and "+08" or "+05:30" after a zone.
    QString s = QString::fromLatin1(text);
    s.replace(10, 1, QLatin1Char('T'));
    if (withZone) {
        const qsizetype sign = std::max(s.lastIndexOf(QLatin1Char('+')), s.lastIndexOf(QLatin1Char('-')));
        if (sign > 10 && s.size() - sign == 3)
            s += QStringLiteral(":00");
        return QDateTime::fromString(s, Qt::ISODateWithMs).toLocalTime();
    }
    return QDateTime::fromString(s, Qt::ISODateWithMs);
}

QVariant valueOf(const PGresult* result, int row, int column) {
    const Oid type = PQftype(result, column);
    if (PQgetisnull(result, row, column))
        return QVariant();
    const QByteArray text(PQgetvalue(result, row, column), PQgetlength(result, row, column));
    switch (type) {
    case BoolOid:
        return QVariant(text == "t");
    case Int8Oid:
        return QVariant(text.toLongLong());
    case Int2Oid:
    case Int4Oid:
        return QVariant(text.toInt());
    case OidOid:
        return QVariant(text.toUInt());
    case Float4Oid:
    case Float8Oid:
    case NumericOid:
        return QVariant(text.toDouble());
    case DateOid:
        return QVariant(QDate::fromString(QString::fromLatin1(text), Qt::ISODate));
    case TimeOid:
    case TimeTzOid:
        return QVariant(QTime::fromString(QString::fromLatin1(text.left(12)), Qt::ISODateWithMs));
    case TimestampOid:
    case TimestampTzOid:
        return QVariant(timestampOf(text, type == TimestampTzOid));
    case ByteaOid: {
        size_t length = 0;
        unsigned char* bytes = PQunescapeBytea(reinterpret_cast<const unsigned char*>(text.constData()), &length);
        QByteArray out(reinterpret_cast<const char*>(bytes), qsizetype(length));
        PQfreemem(bytes);
        return QVariant(out);
    }
    default:
        return QVariant(QString::fromUtf8(text));
    }
}

// A value as the text of a parameter, and the type it goes as (0: the server infers it
// from where it stands, as it does for a quoted literal).
struct Parameter {
    QByteArray text;
    Oid type = 0;
    bool null = false;
};

Parameter parameterOf(const QVariant& value) {
    if (value.isNull() || !value.isValid())
        return Parameter{{}, 0, true};
    switch (value.metaType().id()) {
    case QMetaType::Bool:
        return Parameter{value.toBool() ? "true" : "false", BoolOid};
    case QMetaType::Double:
    case QMetaType::Float:
        return Parameter{QByteArray::number(value.toDouble(), 'g', 17)};
    case QMetaType::QDate:
        return Parameter{value.toDate().toString(Qt::ISODate).toLatin1()};
    case QMetaType::QTime:
        return Parameter{value.toTime().toString(QStringLiteral("HH:mm:ss.zzz")).toLatin1()};
    case QMetaType::QDateTime:
        // An instant, as the driver sends it: a column without a zone takes the session's wall time.
        return Parameter{
            value.toDateTime().toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")).toLatin1() + "Z",
            TimestampTzOid};
    case QMetaType::QByteArray:
        return Parameter{"\\x" + value.toByteArray().toHex(), ByteaOid};
    default:
        return Parameter{value.toString().toUtf8()};
    }
}

[[noreturn]] void throwResultError(const PGconn* conn, const PGresult* result, const QString& what,
                                   const QString& statement) {
    const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    const char* message = result ? PQresultErrorMessage(result) : nullptr;
    if (!message || !*message)
        message = PQerrorMessage(conn);
    const QSqlError error(QString(), QString::fromUtf8(message), QSqlError::StatementError,
                          state ? QString::fromLatin1(state) : QString());
    throwSqlError(ProviderKind::PostgreSQL, what, error, statement);
}

}  // namespace

PgBound::PgBound(const PgQuery& query)
    : text((query.values.isEmpty() ? query.statement : pgNumberedParameters(query.statement)).toUtf8()) {
    texts.reserve(std::size_t(query.values.size()));
    for (const QVariant& v : query.values) {
        Parameter p = parameterOf(v);
        texts.push_back(std::move(p.text));
        values.push_back(p.null ? nullptr : texts.back().constData());
        types.push_back(p.type);
    }
}

PgParameters pgParameters(const ConnectionString& cs, int connectTimeoutSeconds, int commandTimeoutSeconds) {
    PgParameters p;
    auto add = [&](const char* keyword, const QString& value) {
        if (value.isEmpty())
            return;
        p.keywords.emplace_back(keyword);
        p.values.push_back(value.toUtf8());
    };
    // Several hosts (and as many ports, or one for all) are tried in turn: the one that takes
    // writes is kept, so a promoted standby is found again after its primary has gone.
    add("host", cs.value(QStringLiteral("Host")));
    add("port", cs.value(QStringLiteral("Port")));
    add("dbname", cs.value(QStringLiteral("Database")));
    add("user", cs.value(QStringLiteral("User ID")));
    add("password", cs.value(QStringLiteral("Password")));
    add("target_session_attrs", QStringLiteral("read-write"));
    // libpq waits this long for each host in turn. With several, a host that vanished (its
    // packets dropped, not refused) must leave time within Connect Timeout for the next one
    // and for a second pass while a standby is being promoted.
    const auto hosts = std::max<qsizetype>(1, cs.value(QStringLiteral("Host")).split(QLatin1Char(',')).size());
    add("connect_timeout",
        QString::number(std::max(2, hosts > 1 ? connectTimeoutSeconds / int(2 * hosts) : connectTimeoutSeconds)));
    // Keepalives and the user timeout find a peer that vanished without closing.
    add("keepalives", QStringLiteral("1"));
    add("keepalives_idle", QStringLiteral("10"));
    add("keepalives_interval", QStringLiteral("5"));
    add("keepalives_count", QStringLiteral("3"));
    add("tcp_user_timeout", QString::number(commandTimeoutSeconds * 1000));
    add("application_name", QStringLiteral("tallyfold"));
    add("client_encoding", QStringLiteral("UTF8"));
    // Set at the start, not by statements: the server ends a statement after Command Timeout,
    // and the session of a client that vanished inside a transaction (its locks with it);
    // commits wait for the disk and a synchronous standby; dates read back as ISO. No JIT: a
    // batch's plan is estimated dearer as the table grows, and compiling it then costs seconds
    // for a statement that runs in milliseconds.
    add("options", QStringLiteral("-c statement_timeout=%1 -c idle_in_transaction_session_timeout=%1 "
                                  "-c synchronous_commit=on -c DateStyle=ISO -c jit=off")
                       .arg(commandTimeoutSeconds * 1000));
    return p;
}

pg_conn* pgConnect(const PgParameters& parameters, QString& error) {
    std::vector<const char*> keywords, values;
    for (std::size_t i = 0; i < parameters.keywords.size(); ++i) {
        keywords.push_back(parameters.keywords[i].constData());
        values.push_back(parameters.values[i].constData());
    }
    keywords.push_back(nullptr);
    values.push_back(nullptr);
    PGconn* conn = PQconnectdbParams(keywords.data(), values.data(), 0);
    if (!conn) {
        error = QStringLiteral("out of memory");
        return nullptr;
    }
    if (PQstatus(conn) != CONNECTION_OK) {
        error = QString::fromUtf8(PQerrorMessage(conn)).simplified();
        PQfinish(conn);
        return nullptr;
    }
    // Notices are no errors of ours, and stderr is the operator's.
    PQsetNoticeProcessor(
        conn, [](void*, const char*) {}, nullptr);
    return conn;
}

QString pgNumberedParameters(const QString& statement) {
    QString out;
    out.reserve(statement.size() + 8);
    QChar quote;
    int number = 0;
    for (qsizetype i = 0; i < statement.size(); ++i) {
        const QChar c = statement[i];
        if (!quote.isNull()) {
            if (c == quote)
                quote = QChar();  // a doubled quote closes and opens again
        } else if (c == QLatin1Char('\'') || c == QLatin1Char('"')) {
            quote = c;
        } else if (c == QLatin1Char('?')) {
            out += QLatin1Char('$') + QString::number(++number);
            continue;
        }
        out += c;
    }
    return out;
}

static PgRows rowsOf(PGresult* result) {
    PgRows rows;
    const int columns = PQnfields(result);
    for (int c = 0; c < columns; ++c)
        rows.columns << QString::fromUtf8(PQfname(result, c));
    const int count = PQntuples(result);
    rows.rows.reserve(std::size_t(count));
    for (int r = 0; r < count; ++r) {
        std::vector<QVariant> row;
        row.reserve(std::size_t(columns));
        for (int c = 0; c < columns; ++c)
            row.push_back(valueOf(result, r, c));
        rows.rows.push_back(std::move(row));
    }
    return rows;
}

PgRows pgExecute(ConnectionPrivate& db, const QString& statement, const QVariantList& values, const QString& what) {
    if (db.lentAway())
        throw Error(errc::ConnectionUnusable,
                    QStringLiteral("The connection is storing records for the running operation: %1 was not run")
                        .arg(statement));
    if (std::deque<PgPrefetched>& kept = db.prefetched(); !kept.empty()) {
        if (kept.front().query.statement == statement && kept.front().query.values == values) {
            PgRows rows = std::move(kept.front().rows);
            kept.pop_front();
            return rows;
        }
        kept.clear();
    }
    auto* conn = static_cast<PGconn*>(db.nativeHandle());
    if (!conn) {
        const QSqlError error(QString(), QStringLiteral("the connection is closed"), QSqlError::ConnectionError,
                              QStringLiteral("08003"));
        throwSqlError(ProviderKind::PostgreSQL, what, error, statement);
    }
    const PgBound bound(PgQuery{statement, values});
    PGresult* result = nullptr;
    {
        const RunningStatement running(db);
        const auto asked = std::chrono::steady_clock::now();
        const auto answered = qScopeGuard([&] {
            db.noteAnswer(
                std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - asked));
        });
        // Without values a statement may hold several commands (a schema script); with them, one.
        result = values.isEmpty() ? PQexec(conn, bound.text.constData())
                                  : PQexecParams(conn, bound.text.constData(), bound.count(), bound.types.data(),
                                                 bound.values.data(), nullptr, nullptr, 0);
    }
    const ExecStatusType status = result ? PQresultStatus(result) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        if (db.cutOff()) {
            PQclear(result);
            db.throwCutOff(statement);
        }
        struct Clear {
            PGresult* r;
            ~Clear() { PQclear(r); }
        } clear{result};
        throwResultError(conn, result, what, statement);
    }
    db.noteAnswered();
    PgRows rows = rowsOf(result);
    PQclear(result);
    return rows;
}

void pgPrefetch(ConnectionPrivate& db, const std::vector<PgQuery>& queries) {
    auto* conn = static_cast<PGconn*>(db.nativeHandle());
    db.prefetched().clear();
    if (!conn || db.lentAway() || queries.empty() || PQpipelineStatus(conn) != PQ_PIPELINE_OFF)
        return;
    {
        const RunningStatement running(db);
        if (!PQenterPipelineMode(conn))
            return;
        // One sync for all, sent even after a failure to queue, so that the server's answers end with it.
        // A statement that fails makes the server skip the rest, which are then asked again.
        bool sent = true;
        for (const PgQuery& query : queries) {
            const PgBound bound(query);
            sent = sent && PQsendQueryParams(conn, bound.text.constData(), bound.count(), bound.types.data(),
                                             bound.values.data(), nullptr, nullptr, 0);
        }
        bool failed = !sent;
        // The answer's time tells a far server from a near one, as a single statement's does.
        const auto asked = std::chrono::steady_clock::now();
        if (PQpipelineSync(conn)) {
            // Each statement's results end with a null; the sync's own result ends them all.
            for (std::size_t i = 0; i <= queries.size();) {
                PGresult* result = PQgetResult(conn);
                if (!result) {
                    if (PQstatus(conn) != CONNECTION_OK)
                        break;
                    ++i;
                    continue;
                }
                const ExecStatusType status = PQresultStatus(result);
                if (status == PGRES_PIPELINE_SYNC) {
                    PQclear(result);
                    if (!failed)
                        db.noteAnswer(std::chrono::duration_cast<std::chrono::microseconds>(
                            std::chrono::steady_clock::now() - asked));
                    break;
                }
                failed = failed || status != PGRES_TUPLES_OK || i >= queries.size();
                if (!failed)
                    db.prefetched().push_back(PgPrefetched{queries[i], rowsOf(result)});
                PQclear(result);
            }
        }
        PQexitPipelineMode(conn);
    }
    if (db.cutOff() || PQpipelineStatus(conn) != PQ_PIPELINE_OFF)
        db.prefetched().clear();
}

}  // namespace tallyfold
