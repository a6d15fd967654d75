// The batch writer on PostgreSQL with the witness table: each batch goes whole (BEGIN, its locks,
// a witness row of its key, the test-and-insert, COMMIT) without waiting for the batch before, a
// few in flight at once, so that a far server's round trips overlap. No sync separates them: a
// failed statement makes the server skip everything after it, so nothing sent later commits
// before the failure is dealt with, and the rows keep their order. When the answers are lost, a
// batch's witness row tells whether it committed, and the rows carrying its transaction's id which
// rows it inserted.
#include "store/batch_rows.h"
#include "store/batch_writer.h"
#include "store/pg_script.h"

#include "platform/connection_private.h"

#include <QRandomGenerator>
#include <QSet>

namespace tallyfold {

using namespace batch;

namespace {

// Enough to keep a far server busy while the answers travel: a reader that has not filled a
// batch yet hands over smaller ones, so the rows in flight are counted, in full batches.
constexpr std::size_t DepthBatches = 4;

const QString Now = QStringLiteral("extract(epoch FROM statement_timestamp())::bigint");


}  // namespace

const QString WitnessTableDefinition = QStringLiteral(
    "CREATE TABLE IF NOT EXISTS Tallyfold_BatchWitness (Batch bigint NOT NULL PRIMARY KEY, MadeAt bigint NOT NULL)");

void createWitnessTable(Connection& connection) {
    if (ConnectionPrivate::of(connection).provider() == ProviderKind::PostgreSQL)
        connection.Execute(WitnessTableDefinition);
}

QString BatchWriter::witnessStatement(qint64 key) {
    // The witnesses of batches known committed have nothing more to tell; those that runs cut
    // short left behind go once a day old.
    QStringList gone;
    if (!confirmed_.empty()) {
        QStringList keys;
        for (qint64 k : confirmed_)
            keys << QString::number(k);
        gone << QStringLiteral("Batch = ANY('{%1}'::bigint[])").arg(keys.join(QLatin1Char(',')));
    }
    if (!agedOut_)
        gone << QStringLiteral("MadeAt < %1 - 86400").arg(Now);
    confirmed_.clear();
    agedOut_ = true;
    const QString insert =
        QStringLiteral("INSERT INTO Tallyfold_BatchWitness (Batch, MadeAt) VALUES (%1, %2)").arg(key).arg(Now);
    if (gone.isEmpty())
        return insert;
    return QStringLiteral("WITH gone AS (DELETE FROM Tallyfold_BatchWitness WHERE %1) %2")
        .arg(gone.join(QStringLiteral(" OR ")), insert);
}

void BatchWriter::pushWitnessed(const std::vector<StoreRow>& rows, PgStatements statements) {
    // BEGIN and the locks (none for the first batch, whose were sent with the look at the table),
    // the witness, the test-and-insert, COMMIT.
    const qint64 key = qint64(QRandomGenerator::system()->generate64() >> 1);
    statements.insert(statements.size() - 1, witnessStatement(key));
    statements << QStringLiteral("COMMIT");
    flight_.push_back(InFlight{rows, key, generation_, int(statements.size()) - 2, false, false, std::nullopt});
    if (flightBroken_)
        return;
    unsynced_ = true;
    // Part of it may have left: whether it committed is looked up.
    if (sendPostgresUnsynced(connection_, statements))
        flightBroken_ = true;
}

void BatchWriter::makeRoom(std::vector<StoreResult>& done) {
    if (flightBroken_)
        throw DatabaseError(SqlFailure::Lost, QString(), QStringLiteral("The batches could not be sent"), QString());
    const auto full = [this] {
        std::size_t rows = 0;
        for (const InFlight& f : flight_)
            rows += f.rows.size();
        return rows >= DepthBatches * maxBatch_;
    };
    while (!flight_.empty() && full() && !flightBroken_)
        readFlight(done);
}

void BatchWriter::sendWitnessed(const Batch& batch, std::vector<StoreResult>& done,
                                const std::function<void()>& meanwhile) {
    // Room is made before the batch goes: once in flight, its rows are accounted for whatever fails.
    // Rows given back meanwhile go first, as they came before it.
    makeRoom(done);
    if (!redo_.empty())
        storeAgain(done);
    if (!witness_) {
        // The look at the table found no witness table after all.
        beginBatch(batch, open_.has_value(), done, meanwhile);
        return;
    }
    pushWitnessed(batch.rows, batch.statements.size() == 3 && batch.table == tableTaken_
                                  ? batch.statements
                                  : prepare(batch.rows).statements);
    if (meanwhile)
        meanwhile();
}

void BatchWriter::readFlight(std::vector<StoreResult>& done) {
    InFlight& f = flight_.front();
    std::optional<RunningStatement> running(std::in_place, connection_);
    if (f.guessed) {
        const GroupResult table = readPostgresGroupResult(connection_, true);
        const GroupResult guard = readPostgresGroupResult(connection_);
        f.before -= 2;
        f.guessed = false;
        running.reset();
        if (table.error || table.skipped)
            failInFlight(table.error);
        if (guard.error && guard.error->failure() != SqlFailure::Lost) {
            guessedWrong(table.texts);
            return;
        }
        if (guard.error || guard.skipped)
            failInFlight(guard.error);
        running.emplace(connection_);
    }
    for (; f.before > 0;) {
        const GroupResult answer = readPostgresGroupResult(connection_);
        --f.before;
        if (answer.error || answer.skipped) {
            running.reset();
            failInFlight(answer.error);
        }
    }
    if (!f.storeRead) {
        const GroupResult stored = readPostgresGroupResult(connection_);
        f.storeRead = true;
        if (stored.error && stored.error->failure() == SqlFailure::Row) {
            // A row the database refused: the batch is stored row by row, and the batches sent
            // after it, which the server skipped, again after it.
            running.reset();
            const std::size_t refused = f.rows.size();
            std::vector<StoreRow> rows = abandonFlight();
            redo_.insert(redo_.begin(), std::make_move_iterator(rows.begin() + std::ptrdiff_t(refused)),
                         std::make_move_iterator(rows.end()));
            rows.resize(refused);
            open_.emplace(OpenBatch{std::move(rows), {}, 0, generation_, false, false, Transaction(*this, [] {}), 0});
            storeOpenIsolated(done);
            return;
        }
        if (stored.error || stored.skipped) {
            running.reset();
            failInFlight(stored.error);
        }
        f.results = settledFrom(f.rows, stored.column);
    }
    const GroupResult committed = readPostgresGroupResult(connection_);
    running.reset();
    if (committed.error || committed.skipped)
        failInFlight(committed.error);
    if (committed.tag != "COMMIT")
        throw DatabaseError(SqlFailure::Lost, QString(), QStringLiteral("The batch ended without its commit"),
                            QString());
    std::move(f.results->begin(), f.results->end(), std::back_inserter(done));
    confirmed_.push_back(f.key);
    flight_.pop_front();
}

void BatchWriter::failInFlight(const std::optional<DatabaseError>& error) {
    const DatabaseError failed =
        error ? *error
              : DatabaseError(SqlFailure::Refused, QString(), QStringLiteral("The batch's statements were not run"),
                              QString());
    // A lost connection leaves the batches to be looked up; on a live one nothing from the failed batch on committed.
    if (failed.failure() != SqlFailure::Lost) {
        std::vector<StoreRow> rows = abandonFlight();
        redo_.insert(redo_.begin(), std::make_move_iterator(rows.begin()), std::make_move_iterator(rows.end()));
    }
    throw failed;
}

std::vector<StoreRow> BatchWriter::abandonFlight() {
    // The server skips up to a sync; the answers of what it skipped are read, and the failed transaction rolled back.
    if (unsynced_) {
        if (std::optional<DatabaseError> error = syncPostgresPipeline(connection_))
            throw *error;
        unsynced_ = false;
        ++syncsPending_;
    }
    for (InFlight& f : flight_) {
        for (int left = f.before + (f.storeRead ? 0 : 1) + 1; left > 0; --left)
            if (const GroupResult answer = readPostgresGroupResult(connection_);
                answer.error && answer.error->failure() == SqlFailure::Lost)
                throw *answer.error;
        f.before = 0;
        f.storeRead = true;
    }
    for (; syncsPending_ > 0; --syncsPending_)
        if (std::optional<DatabaseError> error = readPostgresGroupEnd(connection_))
            throw *error;
    std::vector<StoreRow> rows;
    for (InFlight& f : flight_)
        rows.insert(rows.end(), std::make_move_iterator(f.rows.begin()), std::make_move_iterator(f.rows.end()));
    flight_.clear();
    script({QStringLiteral("ROLLBACK")});
    return rows;
}

void BatchWriter::drainFlight(std::vector<StoreResult>& done, const std::function<void()>& eachAnswer) {
    // Every batch's answers, then the syncs', so that the connection can leave the pipeline.
    while (!flight_.empty() || !redo_.empty() || unsynced_ || syncsPending_ > 0) {
        if (flightBroken_)
            throw DatabaseError(SqlFailure::Lost, QString(), QStringLiteral("The batches could not be sent"),
                                QString());
        if (flight_.empty() && !redo_.empty()) {
            storeAgain(done);
            continue;
        }
        if (unsynced_) {
            if (std::optional<DatabaseError> error = syncPostgresPipeline(connection_))
                throw *error;
            unsynced_ = false;
            ++syncsPending_;
        }
        if (!flight_.empty()) {
            readFlight(done);
            if (eachAnswer)
                eachAnswer();
            continue;
        }
        const RunningStatement running(connection_);
        if (std::optional<DatabaseError> error = readPostgresGroupEnd(connection_))
            throw *error;
        --syncsPending_;
    }
}

std::optional<qint64> BatchWriter::witnessed(qint64 key) {
    // A batch that never committed is fenced off by a row of its key, so that it cannot commit
    // later; one whose transaction still runs is waited for, within Command Timeout.
    const std::vector<std::vector<qint64>> answers = script(
        {QStringLiteral("INSERT INTO Tallyfold_BatchWitness (Batch, MadeAt) VALUES (%1, %2) ON CONFLICT (Batch) DO "
                        "NOTHING RETURNING 0")
             .arg(key)
             .arg(Now),
         QStringLiteral("SELECT xmin::text::bigint FROM Tallyfold_BatchWitness WHERE Batch = %1").arg(key)});
    if (!answers.at(0).empty())
        return std::nullopt;
    if (answers.at(1).empty())
        throw DatabaseError(SqlFailure::Refused, QString(),
                            QStringLiteral("The witness of a batch in flight was removed"), QString());
    return answers.at(1).front();
}

void BatchWriter::lookUpFlight(std::vector<StoreResult>& done) {
    if (flight_.empty()) {
        flightBroken_ = false;
        return;
    }
    // On a session of its own: the one they went on may still hold answers.
    if (flight_.front().generation == generation_) {
        closeConnection();
        openConnection();
    }
    // Those that did not commit go again first, in line order.
    std::size_t again = 0;
    while (!flight_.empty()) {
        InFlight& f = flight_.front();
        if (const std::optional<qint64> xid = witnessed(f.key)) {
            std::vector<StoreResult> results =
                f.results ? std::move(*f.results)
                          : settledFrom(f.rows, script({insertedByStatement(firstsOf(f.rows), *xid)}).front());
            std::move(results.begin(), results.end(), std::back_inserter(done));
            confirmed_.push_back(f.key);
        } else {
            redo_.insert(redo_.begin() + std::ptrdiff_t(again), std::make_move_iterator(f.rows.begin()),
                         std::make_move_iterator(f.rows.end()));
            again += f.rows.size();
        }
        flight_.pop_front();
    }
    flightBroken_ = false;
}

std::size_t BatchWriter::unknownRows() const {
    std::size_t n = open_ && open_->commitSent && !open_->aborted ? open_->rows.size() : 0;
    for (const InFlight& f : flight_)
        n += f.rows.size();
    return n;
}

std::size_t BatchWriter::unsettled() const {
    std::size_t n = (open_ ? open_->rows.size() : 0) + redo_.size();
    for (const InFlight& f : flight_)
        n += f.rows.size();
    return n;
}

}  // namespace tallyfold
