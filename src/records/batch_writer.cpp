#include "records/batch_writer.h"

#include "platform/pg_script.h"

#include <QSet>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlField>
#include <algorithm>
#include <chrono>
#include <thread>

namespace tallyfold {

namespace {

using SteadyClock = std::chrono::steady_clock;
using Fate = BatchWriter::Fate;

QString keyOf(const StoreRow& row) {
    return row.card + QLatin1Char('\n') + row.storedDateTime;
}

// FNV-1a over the record's key: the same number in every process, so writers
// of the same record take the same advisory lock.
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

// Where statements are prepared (SQLite, ODBC), a batch goes in pieces of a
// few sizes, so that a handful of statement texts serves every batch.
constexpr std::size_t InsertPieces[] = {128, 32, 8, 1};
constexpr std::size_t TestSlots[] = {8, 32, 128, 512};

const QString InsertHead = QStringLiteral("INSERT INTO Tcon_ConsumeDtl (MachAddr,Cardid,datadate,datatime) VALUES ");

// Every row of a batch gets a verdict: per card and date-time the first row
// new to the table is stored and later ones are repeats; a refused row leaves
// the next one of its card and date-time to try.
std::vector<StoreResult> settle(const std::vector<StoreRow>& rows, const BatchWriter::StoreNew& storeNew) {
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
    std::vector<StoreResult> results;
    results.reserve(rows.size());
    for (const StoreRow& row : rows)
        results.push_back(StoreResult{row, StoreVerdict::Duplicate, QString()});
    std::vector<std::size_t> tried(occurrences.size(), 0);
    std::vector<std::size_t> round(occurrences.size());
    for (std::size_t k = 0; k < round.size(); ++k)
        round[k] = k;
    while (!round.empty()) {
        std::vector<const StoreRow*> batch;
        batch.reserve(round.size());
        for (std::size_t k : round)
            batch.push_back(&rows[occurrences[k][tried[k]]]);
        const std::vector<Fate> fates = storeNew(batch);
        std::vector<std::size_t> next;
        for (std::size_t j = 0; j < round.size(); ++j) {
            const std::size_t k = round[j];
            const std::size_t at = occurrences[k][tried[k]];
            if (fates[j].kind == Fate::Inserted) {
                results[at].verdict = StoreVerdict::Stored;
            } else if (fates[j].kind == Fate::Refused) {
                results[at].verdict = StoreVerdict::Rejected;
                results[at].reason = fates[j].reason;
                if (++tried[k] < occurrences[k].size())
                    next.push_back(k);
            }
        }
        round = std::move(next);
    }
    return results;
}

// The first row of each card and date-time, in line order.
std::vector<const StoreRow*> firstsOf(const std::vector<StoreRow>& rows) {
    std::vector<const StoreRow*> firsts;
    QSet<QString> seen;
    for (const StoreRow& row : rows) {
        const QString key = keyOf(row);
        if (!seen.contains(key)) {
            seen.insert(key);
            firsts.push_back(&row);
        }
    }
    return firsts;
}

std::vector<const StoreRow*> pointers(const std::vector<StoreRow>& rows) {
    std::vector<const StoreRow*> all;
    all.reserve(rows.size());
    for (const StoreRow& row : rows)
        all.push_back(&row);
    return all;
}

}  // namespace

BatchWriter::BatchWriter(const QString& connectionString, std::function<bool()> stopping)
    : connection_(connectionString), stopping_(std::move(stopping)) {
    openConnection();
}

void BatchWriter::openConnection() {
    prepared_.clear();
    ++generation_;
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
    if (provider_ == ProviderKind::PostgreSQL)
        quietPostgresNotices(connection_);
    // SQL Server takes at most 2100 values a statement.
    if (generation_ == 1)
        maxBatch_ = provider_ == ProviderKind::SqlServer ? 500 : 1000;
    if (provider_ != ProviderKind::PostgreSQL)
        return;
    // The batch's values go in as arrays of the columns' own types.
    QSqlQuery q(connection_.database());
    q.setForwardOnly(true);
    const auto asked = SteadyClock::now();
    if (!q.exec(QStringLiteral(
            "SELECT a.attname, format_type(a.atttypid, NULL) FROM pg_attribute a "
            "WHERE a.attrelid = to_regclass('tcon_consumedtl') AND NOT a.attisdropped "
            "AND a.attname IN ('machaddr', 'cardid', 'datadate', 'datatime') "
            "UNION ALL SELECT 'indexed', 'yes' FROM pg_index i JOIN pg_attribute a ON a.attrelid = i.indrelid "
            "AND a.attnum = i.indkey[0] WHERE i.indrelid = to_regclass('tcon_consumedtl') AND a.attname = 'cardid'")))
        throwSqlError(provider_, QStringLiteral("Cannot read the columns of Tcon_ConsumeDtl"), q.lastError());
    QHash<QString, QString> types;
    while (q.next())
        types.insert(q.value(0).toString(), q.value(1).toString());
    // A far server (a branch reaching a central database) costs a round trip per batch:
    // batches grow with the round trip, so that the trips do not set the pace.
    if (generation_ == 1 && SteadyClock::now() - asked > std::chrono::milliseconds(5))
        maxBatch_ = 2000;
    // With an index on the card, each row is looked up in it; the planner would
    // rather hash the whole table, a cost that grows with the table.
    probeIndex_ = types.remove(QStringLiteral("indexed")) > 0;
    if (types.size() != 4) {
        const QString text = QStringLiteral(
            "The table Tcon_ConsumeDtl with columns MachAddr, Cardid, datadate and datatime was not found");
        throw DatabaseError(SqlFailure::Refused, QString(), text, text);
    }
    addressType_ = types.value(QStringLiteral("machaddr"));
    cardType_ = types.value(QStringLiteral("cardid"));
    dateType_ = types.value(QStringLiteral("datadate"));
    dateTimeType_ = types.value(QStringLiteral("datatime"));
}

QString BatchWriter::literal(const QVariant& value) const {
    QSqlField field(QString(), value.metaType());
    field.setValue(value);
    return connection_.database().driver()->formatValue(field);
}

std::vector<qint64> BatchWriter::run(const Statement& statement, const char* what) {
    if (provider_ == ProviderKind::PostgreSQL)
        return script({statement.text}).front();
    auto it = prepared_.find(statement.text);
    const Connection::Running running(connection_);
    if (it == prepared_.end()) {
        auto prepared = std::make_shared<QSqlQuery>(connection_.database());
        prepared->setForwardOnly(true);
        if (!prepared->prepare(statement.text))
            throwSqlError(provider_, QString::fromLatin1(what), prepared->lastError());
        it = prepared_.insert(statement.text, prepared);
    }
    QSqlQuery& query = **it;
    for (qsizetype i = 0; i < statement.values.size(); ++i)
        query.bindValue(int(i), statement.values.at(i));
    const bool ok = query.exec();
    std::vector<qint64> column;
    while (ok && query.next())
        column.push_back(query.value(0).toLongLong());
    const QSqlError error = query.lastError();
    query.finish();
    if (!ok)
        throwSqlError(provider_, QString::fromLatin1(what), error);
    return column;
}

std::vector<std::vector<qint64>> BatchWriter::script(const QStringList& statements) {
    const Connection::Running running(connection_);
    ScriptOutcome outcome = runPostgresScript(connection_, statements);
    if (outcome.error)
        throw *outcome.error;
    return std::move(outcome.columns);
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

template <typename Work>
void BatchWriter::retried(Work work) {
    std::optional<SteadyClock::time_point> giveUpAt;
    QString first;
    for (;;) {
        try {
            if (connection_.State() != adStateOpen)
                openConnection();
            work();
            return;
        } catch (const DatabaseError& e) {
            // An error inside a transaction ends it: a batch still open must be stored again.
            if (open_ && !open_->commitSent)
                open_->aborted = true;
            rollbackQuietly();
            const bool waitable = e.failure() == SqlFailure::Lost || e.failure() == SqlFailure::Full;
            // Out of shared memory: a batch's advisory locks did not fit the server's lock table.
            if (e.code() == QLatin1String("53200") && maxBatch_ > 64)
                maxBatch_ /= 2;
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
                if (open_ && open_->commitSent && !open_->aborted)
                    text += QStringLiteral(" (whether the last %1 rows were committed is not known)")
                                .arg(open_->rows.size());
                throw StoreFailed(e.failure(), text);
            }
            connection_.Close();
            const auto wakeAt = std::min(*giveUpAt, now + std::chrono::milliseconds(500));
            while (SteadyClock::now() < wakeAt && !stopping_())
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
}

BatchWriter::Batch BatchWriter::prepare(std::vector<StoreRow> rows) const {
    Batch batch{std::move(rows), {}};
    if (provider_ == ProviderKind::PostgreSQL && !batch.rows.empty()) {
        const std::vector<const StoreRow*> firsts = firstsOf(batch.rows);
        batch.statements << QStringLiteral("BEGIN") << lockStatement(firsts) << storeNewStatement(firsts);
    }
    return batch;
}

std::vector<StoreResult> BatchWriter::store(const Batch& batch, const std::function<void()>& meanwhile) {
    std::vector<StoreResult>& done = finished_;
    const std::vector<StoreRow>& rows = batch.rows;
    if (rows.empty())
        return takeFinished();
    if (provider_ != ProviderKind::PostgreSQL) {
        retried([&] {
            try {
                done = storeDirect(rows, false);
                return;
            } catch (const DatabaseError& e) {
                if (e.failure() != SqlFailure::Row)
                    throw;
            }
            // Some row is refused: find it, and store the rest.
            rollbackQuietly();
            done = storeDirect(rows, true);
        });
        if (meanwhile)
            meanwhile();
        return takeFinished();
    }
    bool waited = false;
    const std::function<void()> once = [&] {
        if (!waited && meanwhile) {
            waited = true;
            meanwhile();
        }
    };
    for (std::size_t from = 0; from < rows.size();) {
        retried([&] {
            settleOpen(done);
            if (from == 0 && rows.size() <= maxBatch_) {
                beginBatch(batch, open_.has_value(), done, once);
                from = rows.size();
                return;
            }
            // Smaller batches once the server's lock table ran short.
            const std::size_t count = std::min(maxBatch_, rows.size() - from);
            beginBatch(prepare(std::vector<StoreRow>(rows.begin() + std::ptrdiff_t(from),
                                                     rows.begin() + std::ptrdiff_t(from + count))),
                       open_.has_value(), done, once);
            from += count;
        });
    }
    once();
    return takeFinished();
}

std::vector<StoreResult> BatchWriter::commit() {
    if (open_) {
        retried([&] {
            settleOpen(finished_);
            if (open_)
                commitOpen(finished_);
        });
    }
    return takeFinished();
}

std::vector<std::size_t> BatchWriter::missing(const std::vector<StoreRow>& rows) {
    std::vector<std::size_t> absent;
    retried([&] {
        absent.clear();
        const std::vector<const StoreRow*> all = pointers(rows);
        std::vector<bool> found(rows.size(), false);
        if (provider_ == ProviderKind::PostgreSQL) {
            for (std::size_t from = 0; from < all.size(); from += maxBatch_) {
                const std::vector<const StoreRow*> part(
                    all.begin() + std::ptrdiff_t(from),
                    all.begin() + std::ptrdiff_t(std::min(all.size(), from + maxBatch_)));
                const std::vector<std::vector<qint64>> result = script({existingStatement(part)});
                for (qint64 at : result.front())
                    found[from + std::size_t(at)] = true;
            }
        } else {
            found = existing(all);
        }
        for (std::size_t i = 0; i < found.size(); ++i)
            if (!found[i])
                absent.push_back(i);
    });
    return absent;
}

// ---- SQLite and SQL Server

std::vector<StoreResult> BatchWriter::storeDirect(const std::vector<StoreRow>& rows, bool isolate) {
    // SQLite: the write lock first, so the test below sees every other writer's rows.
    run(provider_ == ProviderKind::SQLite ? QStringLiteral("BEGIN IMMEDIATE") : QStringLiteral("BEGIN TRANSACTION"),
        "Cannot begin a transaction");
    std::vector<StoreResult> results = settle(rows, [&](const std::vector<const StoreRow*>& batch) {
        const std::vector<bool> found = existing(batch);
        std::vector<const StoreRow*> fresh;
        for (std::size_t i = 0; i < batch.size(); ++i)
            if (!found[i])
                fresh.push_back(batch[i]);
        QHash<const StoreRow*, QString> refused;
        if (isolate)
            insertIsolating(fresh, refused);
        else
            insert(fresh);
        std::vector<Fate> fates(batch.size());
        for (std::size_t i = 0; i < batch.size(); ++i) {
            if (found[i])
                continue;
            const auto why = refused.constFind(batch[i]);
            fates[i] = why == refused.cend() ? Fate{Fate::Inserted, QString()} : Fate{Fate::Refused, *why};
        }
        return fates;
    });
    run(QStringLiteral("COMMIT"), "Cannot commit");
    return results;
}

std::vector<bool> BatchWriter::existing(const std::vector<const StoreRow*>& rows) {
    std::vector<bool> found(rows.size(), false);
    constexpr std::size_t Most = TestSlots[std::size(TestSlots) - 1];
    for (std::size_t from = 0; from < rows.size(); from += Most) {
        const std::size_t count = std::min(Most, rows.size() - from);
        // Prepared texts come in a few sizes: the last row fills the rest.
        const std::size_t slots =
            *std::find_if(std::begin(TestSlots), std::end(TestSlots), [&](std::size_t s) { return s >= count; });
        Statement s;
        if (provider_ == ProviderKind::SQLite) {
            s.text = QStringLiteral(
                         "SELECT k.column1 FROM (VALUES %1) AS k WHERE EXISTS (SELECT 1 FROM Tcon_ConsumeDtl t "
                         "WHERE t.Cardid = k.column2 AND t.datatime = k.column3)")
                         .arg(repeated(slots, QStringLiteral("(?,?,?)")));
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
        const std::size_t left = rows.size() - from;
        const std::size_t count =
            *std::find_if(std::begin(InsertPieces), std::end(InsertPieces), [&](std::size_t p) { return p <= left; });
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

// ---- PostgreSQL

QString BatchWriter::lockStatement(const std::vector<const StoreRow*>& rows) const {
    // In one order for every writer, so two writers never wait for each other in a circle.
    std::vector<qint64> keys;
    keys.reserve(rows.size());
    for (const StoreRow* row : rows)
        keys.push_back(lockKey(keyOf(*row)));
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    QStringList numbers;
    numbers.reserve(qsizetype(keys.size()));
    for (qint64 k : keys)
        numbers << QString::number(k);
    return QStringLiteral(
               "SELECT txid_current() FROM (SELECT count(pg_advisory_xact_lock(x)) "
               "FROM unnest('{%1}'::bigint[]) AS x) AS s")
        .arg(numbers.join(QLatin1Char(',')));
}

QString BatchWriter::storeNewStatement(const std::vector<const StoreRow*>& rows) const {
    QStringList addresses, cards, dates, dateTimes;
    for (const StoreRow* row : rows) {
        addresses << QString::number(row->address);
        cards << row->card;
        dates << row->dateText;
        dateTimes << row->storedDateTime;
    }
    auto array = [this](const QStringList& items, const QString& type) -> QString {
        return literal(postgresArray(items)) + QStringLiteral("::") + type + QStringLiteral("[]");
    };
    // The test and the insert in one statement; it gives the positions (from 0) of the rows it inserted.
    return QStringLiteral(
               "WITH k(a, c, dd, d, i) AS (SELECT * FROM unnest(%1, %2, %3, %4) WITH ORDINALITY), "
               "ins AS (INSERT INTO Tcon_ConsumeDtl (MachAddr, Cardid, datadate, datatime) "
               "SELECT k.a, k.c, k.dd, k.d FROM k %5 RETURNING Cardid, datatime) "
               "SELECT k.i - 1 FROM k JOIN ins ON ins.Cardid = k.c AND ins.datatime = k.d")
        .arg(array(addresses, addressType_), array(cards, cardType_), array(dates, dateType_),
             array(dateTimes, dateTimeType_),
             probeIndex_ ? QStringLiteral("LEFT JOIN LATERAL (SELECT 1 AS found FROM Tcon_ConsumeDtl t WHERE "
                                          "t.Cardid = k.c AND t.datatime = k.d LIMIT 1) AS hit ON true "
                                          "WHERE hit.found IS NULL")
                         : QStringLiteral("WHERE NOT EXISTS (SELECT 1 FROM Tcon_ConsumeDtl t WHERE "
                                          "t.Cardid = k.c AND t.datatime = k.d)"));
}

QString BatchWriter::existingStatement(const std::vector<const StoreRow*>& rows) const {
    QStringList cards, dateTimes;
    for (const StoreRow* row : rows) {
        cards << row->card;
        dateTimes << row->storedDateTime;
    }
    return QStringLiteral("SELECT k.i - 1 FROM unnest(%1::%2[], %3::%4[]) WITH ORDINALITY AS k(c, d, i) %5")
        .arg(literal(postgresArray(cards)), cardType_, literal(postgresArray(dateTimes)), dateTimeType_,
             probeIndex_ ? QStringLiteral("CROSS JOIN LATERAL (SELECT 1 FROM Tcon_ConsumeDtl t WHERE t.Cardid = k.c "
                                          "AND t.datatime = k.d LIMIT 1) AS hit")
                         : QStringLiteral("WHERE EXISTS (SELECT 1 FROM Tcon_ConsumeDtl t WHERE t.Cardid = k.c "
                                          "AND t.datatime = k.d)"));
}

void BatchWriter::beginBatch(const Batch& batch, bool commitFirst, std::vector<StoreResult>& done,
                             const std::function<void()>& meanwhile) {
    const std::vector<StoreRow>& rows = batch.rows;
    QStringList statements;
    if (commitFirst) {
        open_->commitSent = true;
        statements << QStringLiteral("COMMIT");
    }
    statements << batch.statements;
    std::optional<Connection::Running> running(std::in_place, connection_);
    ScriptOutcome outcome;
    if (std::optional<DatabaseError> error = sendPostgresScript(connection_, statements)) {
        // Nothing went out: an open batch's transaction died with the session, uncommitted.
        if (commitFirst) {
            open_->commitSent = false;
            open_->aborted = true;
        }
        throw *error;
    } else {
        if (meanwhile)
            meanwhile();
        outcome = readPostgresScript(connection_, std::size_t(statements.size()));
    }
    running.reset();
    std::size_t at = 0;
    if (commitFirst) {
        if (outcome.columns.empty()) {
            // Only a connection lost before the answer leaves the commit's outcome open.
            open_->aborted = outcome.error->failure() != SqlFailure::Lost;
            throw *outcome.error;
        }
        std::move(open_->results.begin(), open_->results.end(), std::back_inserter(done));
        open_.reset();
        at = 1;
    }
    if (outcome.error) {
        if (outcome.error->failure() != SqlFailure::Row)
            throw *outcome.error;
        // Some row is refused: find it in a transaction of its own, and store the rest.
        rollbackQuietly();
        const qint64 txid = script({QStringLiteral("BEGIN"), lockStatement(firstsOf(rows))}).back().front();
        std::vector<StoreResult> results =
            settle(rows, [this](const std::vector<const StoreRow*>& part) { return storeNewIsolating(part); });
        open_ = OpenBatch{rows, std::move(results), txid, generation_, false, false};
        commitOpen(done);
        return;
    }
    QSet<qint64> inserted;
    for (qint64 i : outcome.columns[at + 2])
        inserted.insert(i);
    const qint64 txid = outcome.columns[at + 1].empty() ? 0 : outcome.columns[at + 1].front();
    std::vector<StoreResult> results = settle(rows, [&](const std::vector<const StoreRow*>& part) {
        std::vector<Fate> fates(part.size());
        for (std::size_t i = 0; i < part.size(); ++i)
            if (inserted.contains(qint64(i)))
                fates[i].kind = Fate::Inserted;
        return fates;
    });
    open_ = OpenBatch{rows, std::move(results), txid, generation_, false, false};
}

std::vector<Fate> BatchWriter::storeNewIsolating(const std::vector<const StoreRow*>& rows) {
    std::vector<Fate> fates(rows.size());
    if (rows.empty())
        return fates;
    ScriptOutcome outcome;
    {
        const Connection::Running running(connection_);
        outcome = runPostgresScript(connection_, {QStringLiteral("SAVEPOINT tf_rows"), storeNewStatement(rows)});
    }
    if (!outcome.error) {
        for (qint64 i : outcome.columns[1])
            fates[std::size_t(i)].kind = Fate::Inserted;
        return fates;
    }
    if (outcome.error->failure() != SqlFailure::Row)
        throw *outcome.error;
    script({QStringLiteral("ROLLBACK TO SAVEPOINT tf_rows")});
    if (rows.size() == 1) {
        fates[0] = Fate{Fate::Refused, outcome.error->message()};
        return fates;
    }
    const std::size_t half = rows.size() / 2;
    const std::vector<Fate> left = storeNewIsolating(std::vector<const StoreRow*>(rows.begin(), rows.begin() + half));
    const std::vector<Fate> right = storeNewIsolating(std::vector<const StoreRow*>(rows.begin() + half, rows.end()));
    std::copy(left.begin(), left.end(), fates.begin());
    std::copy(right.begin(), right.end(), fates.begin() + std::ptrdiff_t(half));
    return fates;
}

void BatchWriter::commitOpen(std::vector<StoreResult>& done) {
    const QStringList commit{QStringLiteral("COMMIT")};
    if (std::optional<DatabaseError> error = sendPostgresScript(connection_, commit)) {
        open_->aborted = true;  // never sent: the session, and the transaction with it, is gone
        throw *error;
    }
    open_->commitSent = true;
    ScriptOutcome outcome;
    {
        const Connection::Running running(connection_);
        outcome = readPostgresScript(connection_, 1);
    }
    if (outcome.error) {
        open_->aborted = outcome.error->failure() != SqlFailure::Lost;
        throw *outcome.error;
    }
    std::move(open_->results.begin(), open_->results.end(), std::back_inserter(done));
    open_.reset();
}

void BatchWriter::settleOpen(std::vector<StoreResult>& done) {
    if (!open_ || (open_->generation == generation_ && !open_->commitSent && !open_->aborted))
        return;
    if (open_->commitSent && !open_->aborted) {
        // The COMMIT went out and its answer was lost: the server knows how it ended. After a crash
        // a transaction id the server never logged lies "in the future": that one never committed.
        const std::vector<qint64> status =
            script({QStringLiteral("SELECT CASE WHEN %1 >= txid_snapshot_xmax(txid_current_snapshot()) THEN 0 "
                                   "ELSE CASE txid_status(%1) WHEN 'committed' THEN 1 WHEN 'in progress' THEN 2 "
                                   "ELSE 0 END END")
                        .arg(open_->txid)})
                .front();
        const qint64 state = status.empty() ? 0 : status.front();
        if (state == 2)
            throw DatabaseError(SqlFailure::Lost, QString(), QStringLiteral("The last commit is still in progress"),
                                QString());
        if (state == 1) {
            std::move(open_->results.begin(), open_->results.end(), std::back_inserter(done));
            open_.reset();
            return;
        }
    }
    // Its transaction is gone without a commit: store its rows again.
    const Batch again = prepare(open_->rows);
    beginBatch(again, false, done, {});
    if (open_)
        commitOpen(done);
}

}  // namespace tallyfold
