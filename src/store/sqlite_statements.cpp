#include "store/sqlite_statements.h"

#include "platform/connection_private.h"
#include "platform/sql_failure.h"

#include <QCoreApplication>
#include <QSqlError>
#include <sqlite3.h>

namespace tallyfold {

namespace {

// The error as Qt's driver words it; taken before the statement is reset.
QSqlError sqliteError(sqlite3* handle, const char* driverText) {
    return QSqlError(QCoreApplication::translate("QSQLiteResult", driverText),
                     QString::fromUtf8(sqlite3_errmsg(handle)), QSqlError::StatementError,
                     QString::number(sqlite3_extended_errcode(handle)));
}

}  // namespace

void SqliteStatements::clear() {
    for (sqlite3_stmt* statement : std::as_const(prepared_))
        sqlite3_finalize(statement);
    prepared_.clear();
    db_ = nullptr;
}

void SqliteStatements::bindText(sqlite3_stmt* statement, int at, std::string_view text) {
    sqlite3_bind_text(statement, at, text.data(), int(text.size()), SQLITE_STATIC);
}

void SqliteStatements::bindNumber(sqlite3_stmt* statement, int at, qint64 n) {
    sqlite3_bind_int64(statement, at, n);
}

std::vector<qint64> SqliteStatements::run(ConnectionPrivate& db, const QString& text, const char* what,
                                          const std::function<void(sqlite3_stmt*)>& bind) {
    auto* handle = static_cast<sqlite3*>(db.nativeHandle());
    if (!handle) {
        const QString why = QStringLiteral("%1: the connection is closed").arg(QString::fromLatin1(what));
        throw DatabaseError(SqlFailure::Lost, QString(), why, why);
    }
    if (handle != db_)
        clear();  // opened again since: those statements went with the old connection
    db_ = handle;
    const RunningStatement running(db);
    auto it = prepared_.find(text);
    if (it == prepared_.end()) {
        sqlite3_stmt* statement = nullptr;
        const QByteArray utf8 = text.toUtf8();
        const int code = sqlite3_prepare_v3(handle, utf8.constData(), int(utf8.size()), SQLITE_PREPARE_PERSISTENT,
                                            &statement, nullptr);
        if (code != SQLITE_OK) {
            const QSqlError error = sqliteError(handle, "Unable to execute statement");
            sqlite3_finalize(statement);
            throwSqlError(ProviderKind::SQLite, QString::fromLatin1(what), db.sqlError(error));
        }
        it = prepared_.insert(text, statement);
    }
    sqlite3_stmt* statement = *it;
    bind(statement);
    std::vector<qint64> column;
    int code;
    while ((code = sqlite3_step(statement)) == SQLITE_ROW)
        column.push_back(sqlite3_column_int64(statement, 0));
    // A step that failed after the first rows is a failure: a duplicate test cut short must not
    // read as "not stored".
    const QSqlError error = code == SQLITE_DONE ? QSqlError() : sqliteError(handle, "Unable to fetch row");
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);  // the texts bound are the caller's, about to go
    if (error.isValid())
        throwSqlError(ProviderKind::SQLite, QString::fromLatin1(what), db.sqlError(error));
    return column;
}

}  // namespace tallyfold
