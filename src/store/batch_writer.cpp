#include "store/batch_writer.h"

#include "store/batch_rows.h"
#include "store/pg_script.h"
#include "store/sqlite_statements.h"

#include "platform/connection_private.h"
#include "platform/pg_session.h"

#include <QSet>
#include <QSqlError>
#include <algorithm>
#include <chrono>
#include <thread>

namespace tallyfold {

using namespace batch;

namespace {
using SteadyClock = std::chrono::steady_clock;
using Fate = BatchWriter::Fate;
}  // namespace

// The batch's values go in as arrays of the columns' own types; an index on them decides how a row is looked up.
const QString BatchWriter::TableProbe = QStringLiteral(
    "SELECT a.attname, format_type(a.atttypid, NULL) FROM pg_attribute a "
    "WHERE a.attrelid = to_regclass('tcon_consumedtl') AND NOT a.attisdropped "
    "AND a.attname IN ('machaddr', 'cardid', 'datadate', 'datatime') "
    "UNION ALL SELECT 'indexed', 'yes' FROM pg_index i JOIN pg_attribute a ON a.attrelid = i.indrelid "
    "AND a.attnum = i.indkey[0] WHERE i.indrelid = to_regclass('tcon_consumedtl') "
    "AND a.attname IN ('cardid', 'datatime') "
    "UNION ALL SELECT 'witness', 'yes' WHERE has_table_privilege(to_regclass('tallyfold_batchwitness'), 'INSERT') "
    "AND has_table_privilege(to_regclass('tallyfold_batchwitness'), 'SELECT') "
    "AND has_table_privilege(to_regclass('tallyfold_batchwitness'), 'DELETE')");

BatchWriter::BatchWriter(const QString& connectionString, std::function<bool()> stopping)
    : owned_(std::make_shared<Connection>(connectionString)), connection_(*owned_), stopping_(std::move(stopping)) {
    openConnection();
}

BatchWriter::BatchWriter(std::shared_ptr<Connection> borrowed, std::function<bool()> stopping)
    : owned_(std::move(borrowed)), connection_(*owned_), stopping_(std::move(stopping)) {
    try {
        openConnection();
    } catch (const DatabaseError& e) {
        // The lent session may have died since its owner's last statement: a fresh one is worth a try.
        if (e.failure() != SqlFailure::Lost)
            throw;
        openConnection();
    }
}

BatchWriter::~BatchWriter() {
    // Left mid-pipeline (a failure, a stop): the session goes rather than a wait for answers nobody reads.
    if (provider_ == ProviderKind::PostgreSQL && postgresPipelined(connection_))
        closeConnection();
}

void BatchWriter::closeConnection() {
    // On PostgreSQL only the session the writer works on: a Qt connection that a host opened
    // on the same object belongs to the host's thread.
    ConnectionPrivate& d = ConnectionPrivate::of(connection_);
    if (d.provider() == ProviderKind::PostgreSQL) {
        d.closeSession();
        return;
    }
    if (sqlite_)
        sqlite_->clear();  // else the connection would stay open
    connection_.Close();
}

void BatchWriter::openConnection() {
    prepared_.clear();
    if (!sqlite_)
        sqlite_ = std::make_unique<SqliteStatements>();
    ++generation_;
    unsynced_ = false;
    syncsPending_ = 0;
    try {
        // A connection lent open is taken as it is: no round trip to set it up again.
        if (generation_ > 1 || connection_.State() != adStateOpen) {
            closeConnection();
            connection_.Open();
        }
    } catch (const DatabaseError&) {
        throw;
    } catch (const Error& e) {
        // Could not even connect: what a server that is restarting says.
        throw DatabaseError(SqlFailure::Lost, QString(), e.description(), e.description());
    }
    provider_ = ConnectionPrivate::of(connection_).provider();
    if (provider_ == ProviderKind::PostgreSQL)
        quietPostgresNotices(connection_);
    // SQL Server takes at most 2100 values a statement. On SQLite a commit writes each page
    // the batch changed: into a large table, new rows land on as many index pages as there
    // are rows, so larger batches share more pages a commit (within the page cache).
    if (generation_ == 1)
        maxBatch_ = provider_ == ProviderKind::SqlServer ? 500 : provider_ == ProviderKind::SQLite ? 4000 : 1000;
    if (provider_ != ProviderKind::PostgreSQL)
        return;
    ConnectionPrivate& d = ConnectionPrivate::of(connection_);
    // A far server (a branch reaching a central database) costs a round trip per batch:
    // batches grow with the round trip, so that the trips do not set the pace. A batch holds
    // a lock per record until it commits: 4800 take three quarters of the server's lock table
    // (6400 by default), and a table that runs short halves them.
    const auto far = std::chrono::milliseconds(5);
    constexpr std::size_t FarBatch = 4800;
    if (generation_ == 1 && d.fastestAnswer()) {
        // The owner's statements told how far the server is; the table is looked at with the first batch.
        if (*d.fastestAnswer() > far)
            maxBatch_ = FarBatch;
        return;
    }
    if (probed_)
        return;
    const auto asked = SteadyClock::now();
    probeTable();
    if (generation_ == 1 && SteadyClock::now() - asked > far)
        maxBatch_ = FarBatch;
}

void BatchWriter::probeTable() {
    const PgRows columns = pgExecute(ConnectionPrivate::of(connection_), TableProbe, {},
                                     QStringLiteral("Cannot read the columns of Tcon_ConsumeDtl"));
    std::vector<std::vector<QByteArray>> rows;
    for (const std::vector<QVariant>& row : columns.rows)
        rows.push_back({row.at(0).toString().toUtf8(), row.at(1).toString().toUtf8()});
    takeTable(rows);
}

// What TableProbe finds in a table made by the host's schema, with init-db's witness table.
const std::vector<std::vector<QByteArray>> BatchWriter::GuessedTable = {
    {"machaddr", "integer"},
    {"cardid", "character varying"},
    {"datadate", "character varying"},
    {"datatime", "timestamp without time zone"},
    {"indexed", "yes"},
    {"witness", "yes"}};

QString BatchWriter::guardStatement() {
    // Fails, and with it everything sent after it, unless TableProbe finds GuessedTable.
    QStringList guessed;
    for (const std::vector<QByteArray>& row : GuessedTable)
        guessed << QStringLiteral("('%1', '%2')").arg(QString::fromLatin1(row[0]), QString::fromLatin1(row[1]));
    const QString found = QStringLiteral("SELECT DISTINCT n::text, t::text FROM (%1) AS p(n, t)").arg(TableProbe);
    const QString expected = QStringLiteral("VALUES %1").arg(guessed.join(QStringLiteral(", ")));
    return QStringLiteral("SELECT 1 / (NOT EXISTS ((%1 EXCEPT %2) UNION ALL (%2 EXCEPT %1)))::int")
        .arg(found, expected);
}

void BatchWriter::takeTable(const std::vector<std::vector<QByteArray>>& rows) {
    QHash<QString, QString> types;
    for (const std::vector<QByteArray>& row : rows)
        if (row.size() == 2)
            types.insert(QString::fromUtf8(row[0]), QString::fromUtf8(row[1]));
    // With an index led by the card or the date-time, each row is looked up in it; the planner would
    // rather hash the whole table, a cost that grows with the table.
    probeIndex_ = types.remove(QStringLiteral("indexed")) > 0;
    witness_ = types.remove(QStringLiteral("witness")) > 0;
    if (types.size() != 4) {
        const QString text = QStringLiteral(
            "The table Tcon_ConsumeDtl with columns MachAddr, Cardid, datadate and datatime was not found");
        throw DatabaseError(SqlFailure::Refused, QString(), text, text);
    }
    addressType_ = types.value(QStringLiteral("machaddr"));
    cardType_ = types.value(QStringLiteral("cardid"));
    dateType_ = types.value(QStringLiteral("datadate"));
    dateTimeType_ = types.value(QStringLiteral("datatime"));
    probed_ = true;
    ++tableTaken_;
}

std::vector<qint64> BatchWriter::run(const Statement& statement, const char* what) {
    if (provider_ == ProviderKind::PostgreSQL)
        return script({statement.text}).front();
    auto it = prepared_.find(statement.text);
    const RunningStatement running(connection_);
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
    // A step that failed after the first rows ends the loop as the last row would: a duplicate
    // test cut short must not read as "not stored".
    if (!ok || error.isValid())
        throwSqlError(provider_, QString::fromLatin1(what), ConnectionPrivate::of(connection_).sqlError(error));
    return column;
}

std::vector<std::vector<qint64>> BatchWriter::script(const QStringList& statements) {
    const RunningStatement running(connection_);
    if (std::optional<DatabaseError> error = leavePostgresPipeline(connection_))
        throw *error;
    ScriptOutcome outcome = runPostgresScript(connection_, statements);
    if (outcome.error)
        throw *outcome.error;
    return std::move(outcome.columns);
}

BatchWriter::Transaction::Transaction(BatchWriter& writer, const std::function<void()>& begin)
    : writer_(&writer), generation_(writer.generation_) {
    begin();
}

BatchWriter::Transaction::Transaction(Transaction&& other) noexcept
    : writer_(other.writer_), generation_(other.generation_), over_(std::exchange(other.over_, true)) {}

BatchWriter::Transaction::~Transaction() {
    if (over_ || writer_->generation_ != generation_ || writer_->connection_.State() != adStateOpen)
        return;
    try {
        writer_->run(QStringLiteral("ROLLBACK"), "Cannot roll back");
    } catch (const Error&) {
        // The connection is gone, and the server rolls back by itself.
    }
}

void BatchWriter::Transaction::commit() {
    writer_->run(QStringLiteral("COMMIT"), "Cannot commit");
    over_ = true;
}

template <typename Work>
void BatchWriter::retried(Work work) {
    ConnectionPrivate& d = ConnectionPrivate::of(connection_);
    const int waitSeconds = d.connectTimeoutSeconds();
    QString first;
    bool waited = false;
    for (;;) {
        try {
            if (connection_.State() != adStateOpen)
                openConnection();
            work();
            d.noteAnswered();
            return;
        } catch (const DatabaseError& e) {
            // An error inside a transaction ends it: a batch still open must be stored again.
            if (open_ && !open_->commitSent)
                open_->aborted = true;
            if (!flight_.empty())
                flightBroken_ = true;
            // A server the watchdog had to cut off would hold the redone batch just as long: no second wait.
            const bool cutOff = ConnectionPrivate::of(connection_).cutOff();
            const bool waitable = (e.failure() == SqlFailure::Lost || e.failure() == SqlFailure::Full) && !cutOff;
            // Out of shared memory: a batch's advisory locks did not fit the server's lock table.
            if (e.code() == QLatin1String("53200") && maxBatch_ > 64)
                maxBatch_ /= 2;
            // Every wait from the first failure on, the statements' and the connects' too, ends by
            // the connection's end of trouble: one budget of Connect Timeout, not one per wait.
            if (waitable)
                d.noteTrouble();
            const auto now = SteadyClock::now();
            const auto giveUpAt = d.troubleEnd().value_or(now);
            if (first.isEmpty())
                first = e.description();
            if (!waitable || now >= giveUpAt || stopping_()) {
                if (cutOff && !stopping_())
                    settleCutOff();
                QString text = e.description();
                // A statement cut off at the end of a wait is the wait's end: its cause is the reason.
                if (cutOff && !waited) {
                    text = QStringLiteral(
                               "The database did not answer within Command Timeout (%1 s); the statement "
                               "was stopped")
                               .arg(ConnectionPrivate::of(connection_).commandTimeoutSeconds());
                } else if (waitable || waited) {
                    text = QStringLiteral("The database did not come back within %1 s: %2").arg(waitSeconds).arg(first);
                    if (e.description() != first)
                        text += QStringLiteral(" Then: ") + e.message();
                }
                if (const std::size_t unknown = unknownRows())
                    text += QStringLiteral(" (whether the last %1 rows were committed is not known)").arg(unknown);
                throw StoreFailed(cutOff ? SqlFailure::Busy : e.failure(), text);
            }
            closeConnection();
            waited = true;
            const auto wakeAt = std::min(giveUpAt, now + std::chrono::milliseconds(500));
            while (SteadyClock::now() < wakeAt && !stopping_())
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
}

BatchWriter::Batch BatchWriter::prepare(std::vector<StoreRow> rows) const {
    Batch batch{std::move(rows), {}, tableTaken_};
    // Before the table was looked at, the statements are written when the batch goes.
    if (provider_ == ProviderKind::PostgreSQL && !batch.rows.empty() && probed_) {
        const std::vector<const StoreRow*> firsts = firstsOf(batch.rows);
        batch.statements << QStringLiteral("BEGIN");
        if (!witness_)
            batch.statements << QStringLiteral("SELECT txid_current()");
        batch.statements << lockStatement(firsts) << storeNewStatement(firsts);
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

std::vector<StoreResult> BatchWriter::commit(const std::function<void()>& eachAnswer) {
    if (open_ || !flight_.empty() || !redo_.empty() || unsynced_ || syncsPending_ > 0) {
        retried([&] {
            settleOpen(finished_);
            if (open_)
                commitOpen(finished_);
            drainFlight(finished_, eachAnswer);
            // Idle again, as its owner takes it back.
            if (std::optional<DatabaseError> error = leavePostgresPipeline(connection_))
                throw *error;
        });
    }
    return takeFinished();
}

std::vector<std::size_t> BatchWriter::missing(const std::vector<StoreRow>& rows) {
    std::vector<std::size_t> absent;
    retried([&] {
        absent.clear();
        if (provider_ == ProviderKind::PostgreSQL && !probed_)
            probeTable();  // nothing was stored before: the table was never looked at
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

}  // namespace tallyfold
