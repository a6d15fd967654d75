#include "platform/recordset.h"

#include "platform/error.h"
#include "platform/sql_failure.h"

#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

namespace tallyfold {

QString tableOfSelect(const QString& statement) {
    static const QRegularExpression from(QStringLiteral("\\bfrom\\s+([A-Za-z_][A-Za-z0-9_.]*)"),
                                         QRegularExpression::CaseInsensitiveOption);
    const auto m = from.match(statement);
    return m.hasMatch() ? m.captured(1) : QString();
}

void Recordset::requireOpen(const char* member) const {
    if (!open_)
        throw Error(
            errc::ObjectClosed, QStringLiteral("Operation is not allowed when the object is closed (%1)").arg(QLatin1String(member)));
}

void Recordset::Open(const QString& statement, const std::shared_ptr<Connection>& connection, int, int, int) {
    if (open_)
        throw Error(errc::ObjectOpen, QStringLiteral("Operation is not allowed when the object is open"));
    if (!connection || connection->State() != adStateOpen)
        throw Error(errc::ConnectionUnusable, QStringLiteral("The connection cannot be used: it is closed or missing"));
    auto exec = [&] {
        const Connection::Running running(*connection);
        return connection->selectQuery().exec(statement);
    };
    bool ran = exec();
    if (!ran) {
        const QSqlError error = connection->selectQuery().lastError();
        // A server restarted since the last query: one fresh connection is worth a try.
        ran = classifySqlError(connection->provider(), error) == SqlFailure::Lost && connection->reopen() && exec();
        if (!ran) {
            const QSqlError last = connection->State() == adStateOpen ? connection->selectQuery().lastError() : error;
            if (connection->State() == adStateOpen)
                connection->selectQuery().finish();
            throwSqlError(connection->provider(), QStringLiteral("The database rejected the query"), last, statement);
        }
    }
    QSqlQuery& query = connection->selectQuery();
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
    query.finish();
    connection_ = connection;
    statement_ = statement;
    table_.clear();
    position_ = 0;
    adding_ = false;
    newRow_.clear();
    open_ = true;
}

void Recordset::Close() {
    requireOpen("Close");
    open_ = false;
    rows_.clear();
    newRow_.clear();
    adding_ = false;
    connection_.reset();
}

long Recordset::RecordCount() const {
    requireOpen("RecordCount");
    return long(rows_.size());
}

bool Recordset::Eof() const {
    requireOpen("EOF");
    return position_ >= rows_.size();
}

void Recordset::MoveNext() {
    requireOpen("MoveNext");
    if (position_ >= rows_.size())
        throw Error(errc::NoCurrentRecord,
                    QStringLiteral("Either BOF or EOF is True, or the current record has been deleted"));
    ++position_;
}

qsizetype Recordset::columnIndex(const QString& name) const {
    for (qsizetype i = 0; i < columns_.size(); ++i)
        if (columns_[i].compare(name, Qt::CaseInsensitive) == 0)
            return i;
    throw Error(errc::ItemNotFound, QStringLiteral("Item \"%1\" cannot be found in the collection").arg(name));
}

Variant Recordset::Fields(const QString& name) const {
    requireOpen("Fields");
    // Without rows the column names were never read: only the missing row can be reported.
    const qsizetype index = columns_.isEmpty() ? -1 : columnIndex(name);
    if (position_ >= rows_.size())
        throw Error(errc::NoCurrentRecord,
                    QStringLiteral("Either BOF or EOF is True, or the current record has been deleted"));
    return Variant::fromQVariant(rows_[position_][std::size_t(index)]);
}

void Recordset::AddNew() {
    requireOpen("AddNew");
    table_ = tableOfSelect(statement_);
    if (table_.isEmpty())
        throw Error(errc::NotSupported, QStringLiteral("The recordset does not name a table to add rows to"));
    adding_ = true;
    newRow_.clear();
}

void Recordset::SetField(const QString& name, const Variant& value) {
    requireOpen("Fields");
    if (!adding_)
        throw Error(errc::NoCurrentRecord, QStringLiteral("No new row: call AddNew first"));
    for (auto& [column, v] : newRow_)
        if (column.compare(name, Qt::CaseInsensitive) == 0) {
            v = value;
            return;
        }
    newRow_.emplace_back(name, value);
}

void Recordset::UpdateBatch() {
    requireOpen("UpdateBatch");
    if (!adding_)
        return;
    QStringList names;
    QStringList marks;
    for (const auto& [column, v] : newRow_) {
        names << column;
        marks << QStringLiteral("?");
    }
    const QString insert = QStringLiteral("insert into %1 (%2) values (%3)")
                               .arg(table_, names.join(QLatin1Char(',')), marks.join(QLatin1Char(',')));
    QSqlQuery& query = connection_->prepared(insert);
    for (int i = 0; i < int(newRow_.size()); ++i)
        query.bindValue(i, newRow_[std::size_t(i)].second.toQVariant());
    bool ok = false;
    {
        const Connection::Running running(*connection_);
        ok = query.exec();
    }
    const QString message = ok ? QString() : query.lastError().text();
    query.finish();
    adding_ = false;
    newRow_.clear();
    if (!ok)
        throwDatabaseError(QStringLiteral("The database rejected the new row"), message, insert);
}

}  // namespace tallyfold
