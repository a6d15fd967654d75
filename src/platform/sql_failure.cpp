#include "platform/sql_failure.h"

#include <QSet>

namespace tallyfold {

namespace {

SqlFailure postgresFailure(const QString& state) {
    // No SQLSTATE at all: libpq lost the connection before the server could say why.
    if (state.size() != 5)
        return SqlFailure::Lost;
    const QStringView cls = QStringView(state).left(2);
    if (cls == u"22" || cls == u"23" || state == QLatin1String("P0001"))
        return SqlFailure::Row;
    if (state == QLatin1String("53100"))
        return SqlFailure::Full;
    if (state == QLatin1String("57014") || state == QLatin1String("55P03"))
        return SqlFailure::Busy;
    if (cls == u"08" || cls == u"40" || cls == u"53" || cls == u"58" || cls == u"XX" ||
        state.startsWith(QLatin1String("57P")))
        return SqlFailure::Lost;
    return SqlFailure::Refused;
}

SqlFailure sqliteFailure(const QString& code) {
    bool ok = false;
    const int primary = code.toInt(&ok) & 0xff;  // the extended code's low byte is the primary code
    if (!ok)
        return SqlFailure::Refused;
    switch (primary) {
    case 18:  // SQLITE_TOOBIG
    case 19:  // SQLITE_CONSTRAINT, triggers' RAISE included
    case 20:  // SQLITE_MISMATCH
    case 25:  // SQLITE_RANGE
        return SqlFailure::Row;
    case 13:  // SQLITE_FULL
        return SqlFailure::Full;
    case 5:  // SQLITE_BUSY, after the busy timeout
    case 6:  // SQLITE_LOCKED
    case 9:  // SQLITE_INTERRUPT: the store's watchdog stopped a statement that ran too long
        return SqlFailure::Busy;
    case 10:  // SQLITE_IOERR
    case 15:  // SQLITE_PROTOCOL
        return SqlFailure::Lost;
    default:  // SQLITE_READONLY, SQLITE_CANTOPEN, SQLITE_CORRUPT, SQLITE_ERROR, ...
        return SqlFailure::Refused;
    }
}

// SQL Server's native error numbers, through ODBC. Untested here: no SQL Server runs in the tests.
SqlFailure sqlServerFailure(const QString& code) {
    static const QSet<QString> row = {QStringLiteral("8152"), QStringLiteral("2628"), QStringLiteral("547"),
                                      QStringLiteral("2627"), QStringLiteral("2601"), QStringLiteral("515"),
                                      QStringLiteral("241"),  QStringLiteral("242"),  QStringLiteral("245"),
                                      QStringLiteral("50000")};
    if (code.isEmpty() || code == QLatin1String("1205"))  // no number: the link; 1205: chosen as deadlock victim
        return SqlFailure::Lost;
    if (code == QLatin1String("9002") || code == QLatin1String("1105"))
        return SqlFailure::Full;
    if (code == QLatin1String("1222"))
        return SqlFailure::Busy;
    return row.contains(code) ? SqlFailure::Row : SqlFailure::Refused;
}

}  // namespace

SqlFailure classifySqlError(ProviderKind provider, const QSqlError& error) {
    switch (provider) {
    case ProviderKind::PostgreSQL:
        return postgresFailure(error.nativeErrorCode());
    case ProviderKind::SQLite:
        return sqliteFailure(error.nativeErrorCode());
    case ProviderKind::SqlServer:
        return sqlServerFailure(error.nativeErrorCode());
    default:
        return SqlFailure::Refused;
    }
}

void throwSqlError(ProviderKind provider, const QString& what, const QSqlError& error, const QString& statement) {
    QString text = what;
    const QString message = error.text().simplified();
    if (!message.isEmpty())
        text += QStringLiteral(": ") + message;
    if (!statement.isEmpty())
        text += QStringLiteral(" [statement: ") + statement + QLatin1Char(']');
    const QString own = error.databaseText().simplified();
    throw DatabaseError(classifySqlError(provider, error), error.nativeErrorCode(), text,
                        own.isEmpty() ? message : own);
}

}  // namespace tallyfold
