#include "platform/recordset.h"

#include "platform/connection_private.h"
#include "platform/error.h"
#include "platform/pg_session.h"
#include "platform/sql_failure.h"

#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

namespace tallyfold {

class RecordsetPrivate {
public:
    void requireOpen(const char* member) const;
    qsizetype columnIndex(const QString& name) const;
    // Reads every row of a query that ran, and is open on them.
    void take(QSqlQuery& query, const std::shared_ptr<Connection>& connection, const QString& statement);
    void take(PgRows&& rows, const std::shared_ptr<Connection>& connection, const QString& statement);
    void opened(const std::shared_ptr<Connection>& connection, const QString& statement);

    std::shared_ptr<Connection> connection_;
    QString statement_;
    QString table_;
    QStringList columns_;
    std::vector<std::vector<QVariant>> rows_;
    std::size_t position_ = 0;
    bool open_ = false;
    bool adding_ = false;
    std::vector<std::pair<QString, Variant>> newRow_;
};

namespace {
// The table a "select ... from TABLE ..." statement reads, or "" when none.
QString tableOfSelect(const QString& statement) {
    static const QRegularExpression from(QStringLiteral("\\bfrom\\s+([A-Za-z_][A-Za-z0-9_.]*)"),
                                         QRegularExpression::CaseInsensitiveOption);
    const auto m = from.match(statement);
    return m.hasMatch() ? m.captured(1) : QString();
}

void requireUsable(const std::shared_ptr<Connection>& connection) {
    if (!connection || connection->State() != adStateOpen)
        throw Error(errc::ConnectionUnusable, QStringLiteral("The connection cannot be used: it is closed or missing"));
}

// Binds the values to a prepared query and runs it under the watchdog.
bool runPrepared(ConnectionPrivate& db, QSqlQuery& query, const QVariantList& values) {
    for (qsizetype i = 0; i < values.size(); ++i)
        query.bindValue(int(i), values.at(i));
    const RunningStatement running(db);
    return query.exec();
}

// After a failed statement: the cut-off error, or nothing when a server lost since the last
// statement is back on a fresh connection and the statement is worth one more try.
bool retryable(ConnectionPrivate& db, int attempt, const QSqlError& error, const QString& statement) {
    if (db.cutOff())
        db.throwCutOff(statement);
    return attempt == 0 && classifySqlError(db.provider(), error) == SqlFailure::Lost && db.reopen();
}
}  // namespace

void RecordsetPrivate::requireOpen(const char* member) const {
    if (!open_)
        throw Error(
            errc::ObjectClosed,
            QStringLiteral("Operation is not allowed when the object is closed (%1)").arg(QLatin1String(member)));
}

Recordset::Recordset() : d_(std::make_unique<RecordsetPrivate>()) {}

Recordset::~Recordset() = default;

int Recordset::State() const {
    return d_->open_ ? adStateOpen : adStateClosed;
}

void Recordset::Open(const QString& statement, const std::shared_ptr<Connection>& connection, int, int, int) {
    if (d_->open_)
        throw Error(errc::ObjectOpen, QStringLiteral("Operation is not allowed when the object is open"));
    if (!connection || connection->State() != adStateOpen)
        throw Error(errc::ConnectionUnusable, QStringLiteral("The connection cannot be used: it is closed or missing"));
    ConnectionPrivate& db = ConnectionPrivate::of(*connection);
    if (db.provider() == ProviderKind::PostgreSQL) {
        d_->take(pgRetried(db, statement, {}, QStringLiteral("The database rejected the query")), connection,
                 statement);
        return;
    }
    auto exec = [&] {
        const RunningStatement running(db);
        return db.selectQuery().exec(statement);
    };
    bool ran = exec();
    if (!ran) {
        const QSqlError error = db.selectQuery().lastError();
        // A server restarted since the last query: one fresh connection is worth a try.
        ran = classifySqlError(db.provider(), error) == SqlFailure::Lost && db.reopen() && exec();
        if (!ran) {
            const QSqlError last = connection->State() == adStateOpen ? db.selectQuery().lastError() : error;
            if (connection->State() == adStateOpen)
                db.selectQuery().finish();
            throwSqlError(db.provider(), QStringLiteral("The database rejected the query"), last, statement);
        }
    }
    d_->take(db.selectQuery(), connection, statement);
}

void Recordset::Open(const QString& statement, const QVariantList& values,
                     const std::shared_ptr<Connection>& connection, int, int, int) {
    if (d_->open_)
        throw Error(errc::ObjectOpen, QStringLiteral("Operation is not allowed when the object is open"));
    requireUsable(connection);
    ConnectionPrivate& db = ConnectionPrivate::of(*connection);
    if (db.provider() == ProviderKind::PostgreSQL) {
        d_->take(pgRetried(db, statement, values, QStringLiteral("The database rejected the query")), connection,
                 statement);
        return;
    }
    for (int attempt = 0;; ++attempt) {
        QSqlError error;
        {
            // A query of its own, prepared afresh: a plan kept from before would fail on a table
            // whose columns have changed since.
            QSqlQuery query(db.database());
            query.setForwardOnly(true);
            bool ok = false;
            {
                const RunningStatement running(db);
                ok = query.prepare(statement);
            }
            if (ok && runPrepared(db, query, values)) {
                d_->take(query, connection, statement);
                return;
            }
            error = query.lastError();
        }
        if (!retryable(db, attempt, error, statement))
            throwSqlError(db.provider(), QStringLiteral("The database rejected the query"), error, statement);
    }
}

void RecordsetPrivate::take(QSqlQuery& query, const std::shared_ptr<Connection>& connection, const QString& statement) {
    columns_.clear();
    rows_.clear();
    while (query.next()) {
        // Column names only when there is a row to read them for: most duplicate queries find none.
        if (columns_.isEmpty()) {
            const QSqlRecord record = query.record();
            for (int i = 0; i < record.count(); ++i)
                columns_ << record.fieldName(i);
        }
        std::vector<QVariant> row;
        row.reserve(columns_.size());
        for (int i = 0; i < columns_.size(); ++i)
            row.push_back(query.value(i));
        rows_.push_back(std::move(row));
    }
    // A row that failed to come is an error, never the end: a duplicate query cut short would
    // otherwise answer "not there".
    const QSqlError error = query.lastError();
    query.finish();
    if (error.isValid()) {
        rows_.clear();
        const ConnectionPrivate& db = ConnectionPrivate::of(*connection);
        throwSqlError(db.provider(), QStringLiteral("The database failed while reading the rows"), db.sqlError(error),
                      statement);
    }
    opened(connection, statement);
}

void RecordsetPrivate::take(PgRows&& rows, const std::shared_ptr<Connection>& connection, const QString& statement) {
    // Column names only with rows, as from the other drivers.
    columns_ = rows.rows.empty() ? QStringList() : std::move(rows.columns);
    rows_ = std::move(rows.rows);
    opened(connection, statement);
}

void RecordsetPrivate::opened(const std::shared_ptr<Connection>& connection, const QString& statement) {
    connection_ = connection;
    statement_ = statement;
    table_.clear();
    position_ = 0;
    adding_ = false;
    newRow_.clear();
    open_ = true;
}

void Recordset::Close() {
    d_->requireOpen("Close");
    d_->open_ = false;
    d_->rows_.clear();
    d_->newRow_.clear();
    d_->adding_ = false;
    d_->connection_.reset();
}

long Recordset::RecordCount() const {
    d_->requireOpen("RecordCount");
    return long(d_->rows_.size());
}

bool Recordset::Eof() const {
    d_->requireOpen("EOF");
    return d_->position_ >= d_->rows_.size();
}

void Recordset::MoveNext() {
    d_->requireOpen("MoveNext");
    if (d_->position_ >= d_->rows_.size())
        throw Error(errc::NoCurrentRecord,
                    QStringLiteral("Either BOF or EOF is True, or the current record has been deleted"));
    ++d_->position_;
}

qsizetype RecordsetPrivate::columnIndex(const QString& name) const {
    for (qsizetype i = 0; i < columns_.size(); ++i)
        if (columns_[i].compare(name, Qt::CaseInsensitive) == 0)
            return i;
    throw Error(errc::ItemNotFound, QStringLiteral("Item \"%1\" cannot be found in the collection").arg(name));
}

Variant Recordset::Fields(const QString& name) const {
    d_->requireOpen("Fields");
    // Without rows the column names were never read: only the missing row can be reported.
    const qsizetype index = d_->columns_.isEmpty() ? -1 : d_->columnIndex(name);
    if (d_->position_ >= d_->rows_.size())
        throw Error(errc::NoCurrentRecord,
                    QStringLiteral("Either BOF or EOF is True, or the current record has been deleted"));
    return Variant::fromQVariant(d_->rows_[d_->position_][std::size_t(index)]);
}

void Recordset::AddNew() {
    d_->requireOpen("AddNew");
    d_->table_ = tableOfSelect(d_->statement_);
    if (d_->table_.isEmpty())
        throw Error(errc::NotSupported, QStringLiteral("The recordset does not name a table to add rows to"));
    d_->adding_ = true;
    d_->newRow_.clear();
}

void Recordset::SetField(const QString& name, const Variant& value) {
    d_->requireOpen("Fields");
    if (!d_->adding_)
        throw Error(errc::NoCurrentRecord, QStringLiteral("No new row: call AddNew first"));
    for (auto& [column, v] : d_->newRow_)
        if (column.compare(name, Qt::CaseInsensitive) == 0) {
            v = value;
            return;
        }
    d_->newRow_.emplace_back(name, value);
}

void Recordset::UpdateBatch() {
    d_->requireOpen("UpdateBatch");
    if (!d_->adding_)
        return;
    QStringList names;
    QStringList marks;
    for (const auto& [column, v] : d_->newRow_) {
        names << column;
        marks << QStringLiteral("?");
    }
    const QString insert = QStringLiteral("insert into %1 (%2) values (%3)")
                               .arg(d_->table_, names.join(QLatin1Char(',')), marks.join(QLatin1Char(',')));
    ConnectionPrivate& db = ConnectionPrivate::of(*d_->connection_);
    QVariantList values;
    for (const auto& [column, v] : d_->newRow_)
        values << v.toQVariant();
    d_->adding_ = false;
    d_->newRow_.clear();
    if (db.provider() == ProviderKind::PostgreSQL) {
        pgExecute(db, insert, values, QStringLiteral("The database rejected the new row"));
        return;
    }
    QSqlQuery& query = db.prepared(insert);
    const bool ok = runPrepared(db, query, values);
    const QString message = ok ? QString() : query.lastError().text();
    query.finish();
    if (!ok)
        throwDatabaseError(QStringLiteral("The database rejected the new row"), message, insert);
}

void executeBound(Connection& connection, const QString& statement, const QVariantList& values) {
    if (connection.State() != adStateOpen)
        throw Error(errc::ConnectionUnusable, QStringLiteral("The connection cannot be used: it is closed or missing"));
    ConnectionPrivate& db = ConnectionPrivate::of(connection);
    if (db.provider() == ProviderKind::PostgreSQL) {
        pgRetried(db, statement, values, QStringLiteral("The database rejected the statement"));
        return;
    }
    for (int attempt = 0;; ++attempt) {
        QSqlQuery* query = nullptr;
        try {
            const RunningStatement running(db);
            query = &db.prepared(statement);  // parsed once per connection
        } catch (const Error&) {
            // Preparing is the statement's first word with the server: one lost since fails here.
            if (db.cutOff())
                db.throwCutOff(statement);
            if (attempt > 0 || db.database().isOpen() || !db.reopen())
                throw;
            continue;
        }
        const bool ok = runPrepared(db, *query, values);
        const QSqlError error = query->lastError();
        query->finish();
        if (ok)
            return;
        if (!retryable(db, attempt, error, statement))
            throwSqlError(db.provider(), QStringLiteral("The database rejected the statement"), error, statement);
    }
}

}  // namespace tallyfold
