#include "records/batch_writer.h"

#include <QSqlDriver>
#include <QSqlError>
#include <QSqlField>
#include <algorithm>
#include <chrono>
#include <thread>

namespace tallyfold {

namespace {

using SteadyClock = std::chrono::steady_clock;

qint64 nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(SteadyClock::now().time_since_epoch()).count();
}

QString keyOf(const StoreRow& row) {
    return row.card + QLatin1Char('\n') + row.storedDateTime;
}

// FNV-1a over the record's key: the same number in every process, so writers
// of the same record lock the same advisory lock.
qint64 lockKey(const QString& key) {
    quint64 h = 14695981039346656037ULL;
    const QByteArray bytes = key.toUtf8();
    for (char c : bytes) {
        h ^= quint8(c);
        h *= 1099511628211ULL;
    }
    return qint64(h);
}

QString repeated(std::size_t count, const QString& item) {
    QString s;
    s.reserve(qsizetype(count) * (item.size() + 1));
    for (std::size_t i = 0; i < count; ++i) {
        if (i)
            s += QLatin1Char(',');
        s += item;
    }
    return s;
}

// Where statements are prepared (SQLite, ODBC), a batch goes in pieces of
// these sizes, so that a handful of statement texts serves every batch.
constexpr std::size_t Pieces[] = {128, 32, 8, 1};

const QString InsertHead = QStringLiteral("INSERT INTO Tcon_ConsumeDtl (MachAddr,Cardid,datadate,datatime) VALUES ");

}  // namespace

BatchWriter::BatchWriter(const QString& connectionString, std::atomic<qint64>& busySince,
                         std::function<bool()> stopping)
    : connection_(connectionString), busySince_(busySince), stopping_(std::move(stopping)) {
    openConnection();
}

void BatchWriter::openConnection() {
    prepared_.clear();
    try {
        connection_.Close();
        connection_.Open();
    } catch (const DatabaseError&) {
        throw;
    } catch (const Error& e) {
        // Could not even connect: what a server that is restarting says.
        throw DatabaseError(SqlFailure::Lost, QString(), e.description(), e.description());
    }
    provider_ = connection_.provider();
    if (provider_ != ProviderKind::PostgreSQL)
        return;
    // The batch's values are compared with the columns as the columns' own types.
    QSqlQuery q(connection_.database());
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral("SELECT a.attname, format_type(a.atttypid, NULL) FROM pg_attribute a "
                               "WHERE a.attrelid = to_regclass('tcon_consumedtl') "
                               "AND a.attname IN ('cardid', 'datatime') AND NOT a.attisdropped")))
        throwSqlError(provider_, QStringLiteral("Cannot read the columns of Tcon_ConsumeDtl"), q.lastError());
    cardType_.clear();
    dateTimeType_.clear();
    while (q.next())
        (q.value(0).toString() == QLatin1String("cardid") ? cardType_ : dateTimeType_) = q.value(1).toString();
    if (cardType_.isEmpty() || dateTimeType_.isEmpty()) {
        const QString text = QStringLiteral("The table Tcon_ConsumeDtl with columns Cardid and datatime was not found");
        throw DatabaseError(SqlFailure::Refused, QString(), text, text);
    }
}

QString BatchWriter::literal(const QVariant& value) const {
    QSqlField field(QString(), value.metaType());
    field.setValue(value);
    return connection_.database().driver()->formatValue(field);
}

std::vector<qint64> BatchWriter::run(const Statement& statement, const char* what) {
    QSqlQuery* query = nullptr;
    std::optional<QSqlQuery> inlined;
    bool ok = false;
    busySince_.store(nowNs());
    if (provider_ == ProviderKind::PostgreSQL) {
        // One round trip per statement: values written into the text by the
        // driver's own quoting, instead of a PREPARE for every batch size.
        QString text;
        text.reserve(statement.text.size() + statement.values.size() * 24);
        qsizetype next = 0;
        for (QChar c : statement.text) {
            if (c == QLatin1Char('?'))
                text += literal(statement.values.at(next++));
            else
                text += c;
        }
        inlined.emplace(connection_.database());
        inlined->setForwardOnly(true);
        query = &*inlined;
        ok = inlined->exec(text);
    } else {
        auto it = prepared_.find(statement.text);
        if (it == prepared_.end()) {
            auto prepared = std::make_shared<QSqlQuery>(connection_.database());
            prepared->setForwardOnly(true);
            if (!prepared->prepare(statement.text)) {
                busySince_.store(0);
                throwSqlError(provider_, QString::fromLatin1(what), prepared->lastError());
            }
            it = prepared_.insert(statement.text, prepared);
        }
        query = it->get();
        for (qsizetype i = 0; i < statement.values.size(); ++i)
            query->bindValue(int(i), statement.values.at(i));
        ok = query->exec();
    }
    std::vector<qint64> column;
    if (ok) {
        while (query->next())
            column.push_back(query->value(0).toLongLong());
    }
    const QSqlError error = query->lastError();
    query->finish();
    busySince_.store(0);
    if (!ok)
        throwSqlError(provider_, QString::fromLatin1(what), error);
    return column;
}

void BatchWriter::rollbackQuietly() {
    if (connection_.State() != adStateOpen)
        return;
    try {
        run(QStringLiteral("ROLLBACK"), "Cannot roll back");
    } catch (const Error&) {
        // Nothing was open, or the connection is gone and the server rolls back by itself.
    }
}

qint64 BatchWriter::lockKeys(const std::vector<const StoreRow*>& rows) {
    // In one order for every writer, so two writers never wait for each other in a circle.
    std::vector<qint64> keys;
    keys.reserve(rows.size());
    for (const StoreRow* row : rows)
        keys.push_back(lockKey(keyOf(*row)));
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    QStringList numbers;
    for (qint64 k : keys)
        numbers << QString::number(k);
    const std::vector<qint64> txid =
        run(QStringLiteral(
                "SELECT txid_current() FROM (SELECT count(pg_advisory_xact_lock(x)) FROM unnest('{%1}'::bigint[]) "
                "AS x) AS s")
                .arg(numbers.join(QLatin1Char(','))),
            "Cannot lock the records");
    return txid.empty() ? 0 : txid.front();
}

std::vector<bool> BatchWriter::existing(const std::vector<const StoreRow*>& rows) {
    std::vector<bool> found(rows.size(), false);
    const bool postgres = provider_ == ProviderKind::PostgreSQL;
    for (std::size_t from = 0; from < rows.size(); from += MaxBatch) {
        const std::size_t count = std::min(MaxBatch, rows.size() - from);
        // Prepared texts come in a few sizes: the last row fills the rest.
        std::size_t slots = count;
        if (!postgres) {
            slots = MaxBatch;
            for (std::size_t size : {8, 32, 128})
                if (count <= size) {
                    slots = size;
                    break;
                }
        }
        Statement s;
        if (provider_ == ProviderKind::SQLite) {
            s.text = QStringLiteral(
                         "SELECT k.column1 FROM (VALUES %1) AS k WHERE EXISTS (SELECT 1 FROM Tcon_ConsumeDtl t "
                         "WHERE t.Cardid = k.column2 AND t.datatime = k.column3)")
                         .arg(repeated(slots, QStringLiteral("(?,?,?)")));
        } else if (postgres) {
            s.text = QStringLiteral(
                         "SELECT k.i FROM (VALUES %1) AS k(i,c,d) WHERE EXISTS (SELECT 1 FROM Tcon_ConsumeDtl t "
                         "WHERE t.Cardid = k.c AND t.datatime = k.d)")
                         .arg(repeated(slots, QStringLiteral("(?,?::%1,?::%2)").arg(cardType_, dateTimeType_)));
        } else {
            // SQL Server (untested here): the range locks of UPDLOCK, HOLDLOCK make another writer
            // of the same record wait until this transaction ends, and then see its rows.
            s.text = QStringLiteral(
                         "SELECT k.i FROM (VALUES %1) AS k(i,c,d) WHERE EXISTS (SELECT 1 FROM Tcon_ConsumeDtl t "
                         "WITH (UPDLOCK, HOLDLOCK) WHERE t.Cardid = k.c AND t.datatime = k.d)")
                         .arg(repeated(slots, QStringLiteral("(?,?,?)")));
        }
        s.values.reserve(qsizetype(slots * 3));
        for (std::size_t i = 0; i < slots; ++i) {
            const std::size_t at = from + std::min(i, count - 1);
            s.values << qlonglong(at) << rows[at]->card << rows[at]->storedDateTime;
        }
        for (qint64 at : run(s, "The duplicate test failed"))
            if (at >= 0 && std::size_t(at) < rows.size())
                found[std::size_t(at)] = true;
    }
    return found;
}

void BatchWriter::insert(const std::vector<const StoreRow*>& rows) {
    std::size_t from = 0;
    while (from < rows.size()) {
        std::size_t count = rows.size() - from;
        if (provider_ != ProviderKind::PostgreSQL)
            count = *std::find_if(std::begin(Pieces), std::end(Pieces), [&](std::size_t p) { return p <= count; });
        Statement s{InsertHead + repeated(count, QStringLiteral("(?,?,?,?)")), {}};
        s.values.reserve(qsizetype(count * 4));
        for (std::size_t i = from; i < from + count; ++i)
            s.values << rows[i]->address << rows[i]->card << rows[i]->dateText << rows[i]->storedDateTime;
        run(s, "The database did not store the rows");
        from += count;
    }
}

void BatchWriter::insertIsolating(const std::vector<const StoreRow*>& rows, QHash<const StoreRow*, QString>& refused) {
    if (rows.empty())
        return;
    const bool sqlServer = provider_ == ProviderKind::SqlServer;
    run(sqlServer ? QStringLiteral("SAVE TRANSACTION tf_rows") : QStringLiteral("SAVEPOINT tf_rows"),
        "Cannot set a savepoint");
    try {
        insert(rows);
    } catch (const DatabaseError& e) {
        if (e.failure() != SqlFailure::Row)
            throw;
        run(sqlServer ? QStringLiteral("ROLLBACK TRANSACTION tf_rows")
                      : QStringLiteral("ROLLBACK TO SAVEPOINT tf_rows"),
            "Cannot roll back to a savepoint");
        if (rows.size() == 1) {
            refused.insert(rows.front(), e.message());
            return;
        }
        const auto half = rows.begin() + std::ptrdiff_t(rows.size() / 2);
        insertIsolating(std::vector<const StoreRow*>(rows.begin(), half), refused);
        insertIsolating(std::vector<const StoreRow*>(half, rows.end()), refused);
    }
}

std::vector<StoreResult> BatchWriter::attempt(const std::vector<StoreRow>& rows, bool isolate) {
    // The rows of each card and date-time, in line order: the first one new to
    // the table is stored, later ones are repeats; a refused one leaves the next to try.
    QHash<QString, std::size_t> keyIndex;
    std::vector<std::vector<std::size_t>> occurrences;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const QString key = keyOf(rows[i]);
        auto it = keyIndex.find(key);
        if (it == keyIndex.end()) {
            it = keyIndex.insert(key, occurrences.size());
            occurrences.emplace_back();
        }
        occurrences[*it].push_back(i);
    }
    std::vector<const StoreRow*> firsts;
    for (const auto& o : occurrences)
        firsts.push_back(&rows[o.front()]);

    const bool postgres = provider_ == ProviderKind::PostgreSQL;
    run(provider_ == ProviderKind::SQLite ? QStringLiteral("BEGIN IMMEDIATE")
        : postgres                        ? QStringLiteral("BEGIN")
                                          : QStringLiteral("BEGIN TRANSACTION"),
        "Cannot begin a transaction");
    const qint64 txid = postgres ? lockKeys(firsts) : 0;
    const std::vector<bool> found = existing(firsts);

    std::vector<StoreResult> results;
    results.reserve(rows.size());
    for (const StoreRow& row : rows)
        results.push_back(StoreResult{row, StoreVerdict::Duplicate, QString()});
    std::vector<std::size_t> tried(occurrences.size(), 0);
    QHash<const StoreRow*, QString> refused;
    std::vector<std::size_t> round;
    for (std::size_t k = 0; k < occurrences.size(); ++k)
        if (!found[k])
            round.push_back(k);
    while (!round.empty()) {
        std::vector<const StoreRow*> batch;
        for (std::size_t k : round)
            batch.push_back(&rows[occurrences[k][tried[k]]]);
        if (isolate)
            insertIsolating(batch, refused);
        else
            insert(batch);
        std::vector<std::size_t> next;
        for (std::size_t k : round) {
            const std::size_t at = occurrences[k][tried[k]];
            const auto why = refused.constFind(&rows[at]);
            if (why == refused.cend()) {
                results[at].verdict = StoreVerdict::Stored;
                continue;
            }
            results[at].verdict = StoreVerdict::Rejected;
            results[at].reason = *why;
            if (++tried[k] < occurrences[k].size())
                next.push_back(k);
        }
        round = std::move(next);
    }

    if (postgres) {
        uncertainCommit_ = txid;
        uncertainResults_ = results;
    }
    try {
        run(QStringLiteral("COMMIT"), "Cannot commit");
    } catch (const DatabaseError& e) {
        // Only a connection lost before the answer leaves the outcome open.
        if (e.failure() != SqlFailure::Lost)
            uncertainCommit_.reset();
        throw;
    }
    uncertainCommit_.reset();
    uncertainResults_.clear();
    return results;
}

bool BatchWriter::committedEarlier() {
    if (!uncertainCommit_)
        return false;
    const std::vector<qint64> status =
        run(QStringLiteral("SELECT CASE txid_status(%1) WHEN 'committed' THEN 1 WHEN 'in progress' THEN 2 ELSE 0 END")
                .arg(*uncertainCommit_),
            "Cannot ask how the last commit ended");
    if (!status.empty() && status.front() == 2)
        throw DatabaseError(SqlFailure::Lost, QString(), QStringLiteral("The last commit is still in progress"),
                            QString());
    const bool committed = !status.empty() && status.front() == 1;
    uncertainCommit_.reset();
    return committed;
}

template <typename Work>
auto BatchWriter::retried(Work work) -> decltype(work()) {
    std::optional<SteadyClock::time_point> giveUpAt;
    QString first;
    for (;;) {
        try {
            if (connection_.State() != adStateOpen)
                openConnection();
            return work();
        } catch (const DatabaseError& e) {
            rollbackQuietly();
            const bool waitable = e.failure() == SqlFailure::Lost || e.failure() == SqlFailure::Full;
            const auto now = SteadyClock::now();
            if (!giveUpAt)
                giveUpAt = now + std::chrono::seconds(connection_.connectTimeoutSeconds());
            if (first.isEmpty())
                first = e.description();
            if (!waitable || now >= *giveUpAt || stopping_()) {
                QString text = e.description();
                if (waitable) {
                    text = QStringLiteral("The database did not come back within %1 s: %2")
                               .arg(connection_.connectTimeoutSeconds())
                               .arg(first);
                    if (e.description() != first)
                        text += QStringLiteral(" Then: ") + e.message();
                }
                if (uncertainCommit_)
                    text += QStringLiteral(" (whether the last %1 rows were committed is not known)")
                                .arg(uncertainResults_.size());
                throw StoreFailed(e.failure(), text);
            }
            connection_.Close();
            const auto wakeAt = std::min(*giveUpAt, now + std::chrono::milliseconds(500));
            while (SteadyClock::now() < wakeAt && !stopping_())
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
}

std::vector<StoreResult> BatchWriter::store(const std::vector<StoreRow>& rows) {
    if (rows.empty())
        return {};
    return retried([&]() -> std::vector<StoreResult> {
        if (committedEarlier()) {
            std::vector<StoreResult> done;
            done.swap(uncertainResults_);
            return done;
        }
        try {
            return attempt(rows, false);
        } catch (const DatabaseError& e) {
            if (e.failure() != SqlFailure::Row)
                throw;
        }
        // Some row is refused: find it, and store the rest.
        rollbackQuietly();
        return attempt(rows, true);
    });
}

std::vector<std::size_t> BatchWriter::missing(const std::vector<StoreRow>& rows) {
    return retried([&] {
        std::vector<const StoreRow*> all;
        all.reserve(rows.size());
        for (const StoreRow& row : rows)
            all.push_back(&row);
        const std::vector<bool> found = existing(all);
        std::vector<std::size_t> absent;
        for (std::size_t i = 0; i < found.size(); ++i)
            if (!found[i])
                absent.push_back(i);
        return absent;
    });
}

}  // namespace tallyfold
