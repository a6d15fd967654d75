// The batch writer on PostgreSQL: one statement tests and inserts under
// advisory locks, and a batch's COMMIT travels with the next batch.
#include "store/batch_rows.h"
#include "store/batch_writer.h"
#include "store/pg_script.h"

#include "platform/connection_private.h"

#include <QSet>
#include <QSqlError>
#include <algorithm>

namespace tallyfold {

using namespace batch;
using Fate = BatchWriter::Fate;

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

PgQuery BatchWriter::storeNewStatement(const std::vector<const StoreRow*>& rows, bool bind) const {
    QStringList addresses, cards, dates, dateTimes;
    for (const StoreRow* row : rows) {
        addresses << QString::number(row->address);
        cards << row->card;
        dates << row->dateText;
        dateTimes << row->storedDateTime;
    }
    // Bound, an array costs the server no parsing of a long text, no decoding and no planning around a
    // constant. Written in, the record's texts are in it only as base64. A text holding a NUL cannot be
    // bound; written in, the server refuses it, as it refuses it in any column.
    QVariantList bound;
    const auto array = [&](const QStringList& items, const QString& type) {
        if (bind) {
            QString literal = postgresArray(items);
            if (!literal.contains(QChar(0))) {
                bound << std::move(literal);
                return QStringLiteral("?::%1[]").arg(type);
            }
        }
        return postgresArrayOf(items, type);
    };
    // One after another: the marks are bound in this order.
    const QString a = array(addresses, addressType_);
    const QString c = array(cards, cardType_);
    const QString dd = array(dates, dateType_);
    const QString d = array(dateTimes, dateTimeType_);
    // The test and the insert in one statement; it gives the positions (from 0) of the rows it inserted.
    return {QStringLiteral(
               "WITH k(a, c, dd, d, i) AS (SELECT * FROM unnest(%1, %2, %3, %4) WITH ORDINALITY), "
               "ins AS (INSERT INTO Tcon_ConsumeDtl (MachAddr, Cardid, datadate, datatime) "
               "SELECT k.a, k.c, k.dd, k.d FROM k %5 RETURNING Cardid, datatime) "
               "SELECT k.i - 1 FROM k JOIN ins ON ins.Cardid = k.c AND ins.datatime = k.d")
                .arg(a, c, dd, d,
                     probeIndex_ ? QStringLiteral("LEFT JOIN LATERAL (SELECT 1 AS found FROM Tcon_ConsumeDtl t WHERE "
                                                  "t.Cardid = k.c AND t.datatime = k.d LIMIT 1) AS hit ON true "
                                                  "WHERE hit.found IS NULL")
                                 : QStringLiteral("WHERE NOT EXISTS (SELECT 1 FROM Tcon_ConsumeDtl t WHERE "
                                                  "t.Cardid = k.c AND t.datatime = k.d)")),
            bound};
}

QString BatchWriter::existingStatement(const std::vector<const StoreRow*>& rows) const {
    QStringList cards, dateTimes;
    for (const StoreRow* row : rows) {
        cards << row->card;
        dateTimes << row->storedDateTime;
    }
    return QStringLiteral("SELECT k.i - 1 FROM unnest(%1, %2) WITH ORDINALITY AS k(c, d, i) %3")
        .arg(postgresArrayOf(cards, cardType_), postgresArrayOf(dateTimes, dateTimeType_),
             probeIndex_ ? QStringLiteral("CROSS JOIN LATERAL (SELECT 1 FROM Tcon_ConsumeDtl t WHERE t.Cardid = k.c "
                                          "AND t.datatime = k.d LIMIT 1) AS hit")
                         : QStringLiteral("WHERE EXISTS (SELECT 1 FROM Tcon_ConsumeDtl t WHERE t.Cardid = k.c "
                                          "AND t.datatime = k.d)"));
}

QString BatchWriter::insertedByStatement(const std::vector<const StoreRow*>& rows, qint64 txid) const {
    QStringList cards, dateTimes;
    for (const StoreRow* row : rows) {
        cards << row->card;
        dateTimes << row->storedDateTime;
    }
    // A row keeps the id of the transaction that inserted it; a transaction id's low 32 bits are that id.
    return QStringLiteral(
               "SELECT k.i - 1 FROM unnest(%1, %2) WITH ORDINALITY AS k(c, d, i) WHERE EXISTS (SELECT 1 FROM "
               "Tcon_ConsumeDtl t WHERE t.Cardid = k.c AND t.datatime = k.d AND t.xmin = '%3'::xid)")
        .arg(postgresArrayOf(cards, cardType_), postgresArrayOf(dateTimes, dateTimeType_))
        .arg(txid & 0xFFFFFFFFLL);
}


bool BatchWriter::readOpenStore() {
    // Unread until the answer is in: after a lost connection the server tells whether it committed.
    GroupResult stored;
    for (int i = 0; i < open_->unread && !stored.error && !stored.skipped; ++i)
        stored = readPostgresGroupResult(connection_);
    if (stored.error && stored.error->failure() != SqlFailure::Row)
        throw *stored.error;
    if (!stored.error)
        open_->results = settledFrom(open_->rows, stored.column);
    open_->unread = 0;
    // A refused row ended the transaction without a commit.
    if (std::optional<DatabaseError> error = readPostgresGroupEnd(connection_))
        throw *error;
    return !stored.error;
}

void BatchWriter::beginBatch(const Batch& batch, bool commitFirst, std::vector<StoreResult>& done,
                             const std::function<void()>& meanwhile) {
    // One group: the open batch's COMMIT, then BEGIN, the transaction's id, the locks and the
    // statement that tests and inserts. The id comes back at once: the call returns with it while the
    // server still works, and the next batch's group, with this one's COMMIT, goes out at once.
    if (!probed_) {
        beginFirstBatch(batch, meanwhile);
        return;
    }
    if (witness_) {
        if (open_)
            commitOpen(done);
        sendWitnessed(batch, done, meanwhile);
        return;
    }
    PgStatements statements;
    if (commitFirst)
        statements << QStringLiteral("COMMIT");
    statements << (batch.statements.isEmpty() || batch.table != tableTaken_ ? prepare(batch.rows).statements
                                                                             : batch.statements);
    std::optional<Transaction> transaction(std::in_place, *this, [] {});
    if (commitFirst)
        open_->transaction.ended();
    if (std::optional<DatabaseError> error = sendPostgresGroup(connection_, statements, int(statements.size()) - 2)) {
        // Nothing went out: an open batch's transaction died with the session, uncommitted.
        if (commitFirst)
            open_->aborted = true;
        throw *error;
    }
    if (commitFirst)
        open_->commitSent = true;
    if (meanwhile)
        meanwhile();
    std::optional<RunningStatement> running(std::in_place, connection_);
    if (commitFirst) {
        const bool stored = open_->unread == 0 || readOpenStore();
        const GroupResult committed = readPostgresGroupResult(connection_);
        if (!stored) {
            // The open batch held a row the database refused: its COMMIT only ended it. This batch
            // began in a transaction of its own, which is rolled back, so that the refused batch is
            // stored row by row first and this one after it, in line order.
            std::optional<DatabaseError> error = readPostgresGroupEnd(connection_);
            running.reset();
            if (error)
                throw *error;
            transaction.reset();  // rolled back
            storeOpenIsolated(done);
            beginBatch(batch, false, done, {});
            return;
        }
        if (committed.error || committed.skipped) {
            // Only a connection lost before the answer leaves the commit's outcome open.
            const DatabaseError error = committed.error
                                            ? *committed.error
                                            : DatabaseError(SqlFailure::Refused, QString(),
                                                            QStringLiteral("The commit was not run"), QString());
            open_->aborted = error.failure() != SqlFailure::Lost;
            throw error;
        }
        std::move(open_->results.begin(), open_->results.end(), std::back_inserter(done));
        open_.reset();
    }
    if (const GroupResult begun = readPostgresGroupResult(connection_); begun.error)
        throw *begun.error;
    const GroupResult id = readPostgresGroupResult(connection_);
    if (id.error)
        throw *id.error;
    const qint64 txid = id.column.empty() ? 0 : id.column.front();
    open_.emplace(OpenBatch{batch.rows, {}, txid, generation_, false, false, std::move(*transaction), 2});
}

void BatchWriter::beginFirstBatch(const Batch& batch, const std::function<void()>& meanwhile) {
    // The table is taken to be as the host's schema and init-db make it, and the first batch goes
    // at once behind the look at the table and a guard that fails the batch unless the look finds
    // just that: right, the look costs no round trip of its own; wrong, the batch goes again,
    // written for what the look found.
    takeTable(GuessedTable);
    const std::vector<const StoreRow*> firsts = firstsOf(batch.rows);
    pushWitnessed(batch.rows, {TableProbe, guardStatement(), QStringLiteral("BEGIN"), lockStatement(firsts),
                               storeNewStatement(firsts)});
    flight_.back().guessed = true;
    if (meanwhile)
        meanwhile();
}

void BatchWriter::guessedWrong(const std::vector<std::vector<QByteArray>>& table) {
    // Nothing from the guard on ran: the rows go again, first, written for the table as it is.
    std::vector<StoreRow> rows = abandonFlight();
    redo_.insert(redo_.begin(), std::make_move_iterator(rows.begin()), std::make_move_iterator(rows.end()));
    takeTable(table);
    if (witness_)
        return;
    // Made on a database without it, so that the next runs need not wait for each batch's
    // transaction id. A role that cannot make it keeps waiting.
    script({QStringLiteral("DO $$ BEGIN %1; EXCEPTION WHEN OTHERS THEN NULL; END $$").arg(WitnessTableDefinition)});
}

void BatchWriter::storeOpenIsolated(std::vector<StoreResult>& done) {
    const std::vector<StoreRow> rows = std::move(open_->rows);
    open_.reset();
    try {
        qint64 txid = 0;
        Transaction isolated(*this, [&] {
            txid = script({QStringLiteral("BEGIN"), lockStatement(firstsOf(rows))}).back().front();  // can throw
        });
        std::vector<StoreResult> results =
            settle(rows, [this](const std::vector<const StoreRow*>& part) { return storeNewIsolating(part); });
        open_.emplace(OpenBatch{rows, std::move(results), txid, generation_, false, false, std::move(isolated), 0});
    } catch (const DatabaseError&) {
        // Rolled back before its COMMIT: the rows go again, first.
        redo_.insert(redo_.begin(), rows.begin(), rows.end());
        throw;
    }
    commitOpen(done);
}

std::vector<Fate> BatchWriter::storeNewIsolating(const std::vector<const StoreRow*>& rows) {
    std::vector<Fate> fates(rows.size());
    if (rows.empty())
        return fates;
    ScriptOutcome outcome;
    {
        const RunningStatement running(connection_);
        outcome = runPostgresScript(connection_,
                                    {QStringLiteral("SAVEPOINT tf_rows"), storeNewStatement(rows, false).statement});
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
    // Sent, the COMMIT ends the transaction; unsent, the session has ended it.
    open_->transaction.ended();
    if (std::optional<DatabaseError> error = sendPostgresGroup(connection_, {QStringLiteral("COMMIT")})) {
        open_->aborted = true;  // never sent: the session, and the transaction with it, is gone
        throw *error;
    }
    open_->commitSent = true;
    GroupResult committed;
    bool refused = false;
    {
        const RunningStatement running(connection_);
        refused = open_->unread > 0 && !readOpenStore();
        committed = readPostgresGroupResult(connection_);  // after a refused row, the COMMIT only ended it
        if (!committed.error || refused)
            if (std::optional<DatabaseError> error = readPostgresGroupEnd(connection_); error && refused)
                throw *error;  // committed, a lost end would show next time
    }
    if (refused) {
        storeOpenIsolated(done);
        return;
    }
    if (committed.error) {
        open_->aborted = committed.error->failure() != SqlFailure::Lost;
        throw *committed.error;
    }
    std::move(open_->results.begin(), open_->results.end(), std::back_inserter(done));
    open_.reset();
}

BatchWriter::CommitState BatchWriter::commitState(std::vector<StoreResult>& done) {
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
        return CommitState::InProgress;
    if (state == 0)
        return CommitState::NotCommitted;
    // Committed before its rows' fates came back: the rows carrying its id are the ones it inserted.
    if (open_->unread > 0)
        open_->results =
            settledFrom(open_->rows, script({insertedByStatement(firstsOf(open_->rows), open_->txid)}).front());
    std::move(open_->results.begin(), open_->results.end(), std::back_inserter(done));
    open_.reset();
    return CommitState::Committed;
}

void BatchWriter::settleCutOff() {
    if (provider_ != ProviderKind::PostgreSQL || (flight_.empty() && (!open_ || !open_->commitSent || open_->aborted)))
        return;
    // Cut off with a COMMIT on its way: asked once on a fresh session, within what is left of
    // Connect Timeout, so that the summary counts what the table holds. Nothing is stored again.
    try {
        closeConnection();
        openConnection();
        if (open_ && open_->commitSent && !open_->aborted && commitState(finished_) == CommitState::NotCommitted)
            open_->aborted = true;
        lookUpFlight(finished_);
    } catch (const Error&) {
        // Not known, and the failure says so.
    }
}

void BatchWriter::settleOpen(std::vector<StoreResult>& done) {
    if (flightBroken_) {
        // The connection was opened again: the batches in flight are looked up, in order.
        lookUpFlight(done);
        flightBroken_ = false;
    }
    if (!open_ || (open_->generation == generation_ && !open_->commitSent && !open_->aborted)) {
        storeAgain(done);
        return;
    }
    if (open_->commitSent && !open_->aborted) {
        const CommitState state = commitState(done);
        if (state == CommitState::InProgress)
            throw DatabaseError(SqlFailure::Lost, QString(), QStringLiteral("The last commit is still in progress"),
                                QString());
        if (state == CommitState::Committed)
            return;
    }
    // Its transaction is gone without a commit: its rows are stored again, ahead of any still waiting to be.
    if (open_) {
        redo_.insert(redo_.begin(), std::make_move_iterator(open_->rows.begin()),
                     std::make_move_iterator(open_->rows.end()));
        open_.reset();
    }
    storeAgain(done);
}

void BatchWriter::storeAgain(std::vector<StoreResult>& done) {
    if (redo_.empty())
        return;
    // In batches as large as the server's lock table now allows. A part leaves redo_ only once
    // it is the open batch, or in flight, so that a failure on the way loses none of its rows.
    while (!redo_.empty()) {
        const std::size_t count = std::min(redo_.size(), maxBatch_);
        if (witness_ && probed_) {
            makeRoom(done);
            if (redo_.empty())
                break;  // a refused batch read meanwhile stored them
            const std::vector<StoreRow> part(redo_.begin(), redo_.begin() + std::ptrdiff_t(std::min(redo_.size(), maxBatch_)));
            redo_.erase(redo_.begin(), redo_.begin() + std::ptrdiff_t(part.size()));
            pushWitnessed(part, prepare(part).statements);
            continue;
        }
        beginBatch(prepare(std::vector<StoreRow>(redo_.begin(), redo_.begin() + std::ptrdiff_t(count))),
                   open_.has_value(), done, {});
        redo_.erase(redo_.begin(), redo_.begin() + std::ptrdiff_t(count));
    }
    if (open_)
        commitOpen(done);
}

}  // namespace tallyfold
