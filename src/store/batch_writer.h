#pragma once

#include "store/pg_script.h"
#include "store/record_store.h"

#include <QHash>
#include <QSqlQuery>
#include <QVariantList>
#include <deque>
#include <functional>
#include <optional>
#include <utility>

namespace tallyfold {

class SqliteStatements;

// Stores batches of rows on a connection of its own. Per batch one
// transaction, in which a lock makes every other writer of the same records
// wait, one statement tests the whole batch against the table and one inserts
// what is new (on PostgreSQL both are one statement, and the batch's COMMIT
// goes out with the next batch's statements: one round trip per batch). A row
// the database refuses alone is isolated under savepoints. A lost connection
// is opened again and the uncommitted batch redone, for at most Connect
// Timeout seconds. Used from one thread only, the writer's.
class BatchWriter {
public:
    // Opens the connection; raises DatabaseError.
    BatchWriter(const QString& connectionString, std::function<bool()> stopping);
    // Works on a PostgreSQL connection that its owner lends while the writer lives (and
    // does not use meanwhile), so that a run needs one session only.
    BatchWriter(std::shared_ptr<Connection> borrowed, std::function<bool()> stopping);
    ~BatchWriter();
    BatchWriter(const BatchWriter&) = delete;
    BatchWriter& operator=(const BatchWriter&) = delete;

    std::size_t maxBatch() const { return maxBatch_; }

    // Rows made ready to go: on PostgreSQL with their statements written, which
    // the writer does while the batch before travels and runs.
    struct Batch {
        std::vector<StoreRow> rows;
        PgStatements statements;
        int table = 0;  // the look at the table they were written for
    };
    Batch prepare(std::vector<StoreRow> rows) const;
    // Stores a batch and gives the verdicts that became final meanwhile: its
    // rows', or on PostgreSQL the batch before, which this call committed.
    // `meanwhile` runs once while the statements are on their way. Raises
    // StoreFailed when the database does not take the rows.
    std::vector<StoreResult> store(const Batch& batch, const std::function<void()>& meanwhile = {});
    // Commits a batch left open and gives its verdicts; raises StoreFailed.
    // `eachAnswer` runs as each batch in flight has answered, its verdicts in takeFinished().
    std::vector<StoreResult> commit(const std::function<void()>& eachAnswer = {});
    // The verdicts final but not given yet: after StoreFailed, those of batches committed before it.
    std::vector<StoreResult> takeFinished() { return std::exchange(finished_, {}); }
    // How many rows it was given and has not given verdicts for: none once commit() returned.
    std::size_t unsettled() const;
    // Batches are in flight that commit by themselves: no transaction is held open meanwhile.
    bool sentWhole() const { return !flight_.empty() && !open_; }
    // The positions of the rows whose card and date-time the table does not hold; raises StoreFailed.
    std::vector<std::size_t> missing(const std::vector<StoreRow>& rows);

    // What storing a group of new rows did to each.
    struct Fate {
        enum Kind { Inserted, Existing, Refused } kind = Existing;
        QString reason;
    };
    using StoreNew = std::function<std::vector<Fate>(const std::vector<const StoreRow*>&)>;

private:
    // A transaction on the writer's connection that rolls back unless committed;
    // never on a connection opened again since it began, where it is gone.
    class Transaction {
    public:
        // `begin` starts it (can throw: then nothing is open).
        Transaction(BatchWriter& writer, const std::function<void()>& begin);
        Transaction(Transaction&& other) noexcept;
        Transaction& operator=(Transaction&&) = delete;
        ~Transaction();
        // Can throw; then the transaction is rolled back.
        void commit();
        // Its COMMIT went out with other statements: it is over, whatever came back.
        void ended() { over_ = true; }

    private:
        BatchWriter* writer_;
        int generation_;
        bool over_ = false;
    };

    struct Statement {
        QString text;  // '?' for each value
        QVariantList values;
    };
    // A PostgreSQL batch whose statements ran and whose COMMIT is still to go.
    struct OpenBatch {
        std::vector<StoreRow> rows;
        std::vector<StoreResult> results;
        qint64 txid = 0;
        int generation = 0;
        bool commitSent = false;  // sent, answer lost: txid_status tells
        bool aborted = false;     // the transaction is gone without a commit
        Transaction transaction;
        int unread = 0;  // answers still to come: its locks' and its test-and-insert's (its rows' fates)
    };
    // A PostgreSQL batch sent whole, COMMIT included, whose answers are still to be read. Its
    // transaction wrote a witness row of its key, which tells whether it committed when the
    // answers are lost: batches then follow each other without waiting for one another.
    struct InFlight {
        std::vector<StoreRow> rows;
        qint64 key = 0;
        int generation = 0;
        int before = 0;  // answers before its test-and-insert's still to read: BEGIN's, the locks', the witness's
        bool storeRead = false;
        bool guessed = false;  // went with the look at the table and the guard of the guess
        std::optional<std::vector<StoreResult>> results;  // its rows' fates, once read
    };

    template <typename Work>
    void retried(Work work);
    void openConnection();
    // What the table probe found: the columns' types and whether an index serves the test; raises
    // when the table is not there.
    static const QString TableProbe;
    void takeTable(const std::vector<std::vector<QByteArray>>& rows);
    static const std::vector<std::vector<QByteArray>> GuessedTable;
    static QString guardStatement();
    void guessedWrong(const std::vector<std::vector<QByteArray>>& table);
    int tableTaken_ = 0;
    void probeTable();
    std::vector<qint64> run(const Statement& statement, const char* what);
    std::vector<qint64> run(const QString& text, const char* what) { return run(Statement{text, {}}, what); }
    std::vector<std::vector<qint64>> script(const QStringList& statements);

    // SQLite and SQL Server: test, then insert, each batch committed before the call returns.
    std::vector<StoreResult> storeDirect(const std::vector<StoreRow>& rows, bool isolate);
    std::vector<bool> existing(const std::vector<const StoreRow*>& rows);
    void insert(const std::vector<const StoreRow*>& rows);
    void insertIsolating(const std::vector<const StoreRow*>& rows, QHash<const StoreRow*, QString>& refused);

    // PostgreSQL: one statement tests and inserts; the COMMIT waits for the next round trip.
    QString lockStatement(const std::vector<const StoreRow*>& rows) const;
    // Its arrays bound (`bind`), or written into its text for a script, which cannot bind them.
    PgQuery storeNewStatement(const std::vector<const StoreRow*>& rows, bool bind = true) const;
    QString existingStatement(const std::vector<const StoreRow*>& rows) const;
    void beginBatch(const Batch& batch, bool commitFirst, std::vector<StoreResult>& done,
                    const std::function<void()>& meanwhile);
    void beginFirstBatch(const Batch& batch, const std::function<void()>& meanwhile);
    QString insertedByStatement(const std::vector<const StoreRow*>& rows, qint64 txid) const;
    bool readOpenStore();
    void storeOpenIsolated(std::vector<StoreResult>& done);
    std::vector<Fate> storeNewIsolating(const std::vector<const StoreRow*>& rows);
    void commitOpen(std::vector<StoreResult>& done);
    enum class CommitState { NotCommitted, Committed, InProgress };
    // How the open batch's COMMIT, sent and unanswered, ended; a committed batch's verdicts go to `done`.
    CommitState commitState(std::vector<StoreResult>& done);
    void settleCutOff();
    // Witnessed batches: sent without waiting, read in order, looked up when their answers are lost.
    QString witnessStatement(qint64 key);
    void sendWitnessed(const Batch& batch, std::vector<StoreResult>& done, const std::function<void()>& meanwhile);
    // Never throws once the rows are in flight: a failure to send leaves them to be looked up.
    void pushWitnessed(const std::vector<StoreRow>& rows, PgStatements statements);
    void makeRoom(std::vector<StoreResult>& done);
    void readFlight(std::vector<StoreResult>& done);
    [[noreturn]] void failInFlight(const std::optional<DatabaseError>& error);
    std::vector<StoreRow> abandonFlight();
    void drainFlight(std::vector<StoreResult>& done, const std::function<void()>& eachAnswer);
    std::optional<qint64> witnessed(qint64 key);
    void lookUpFlight(std::vector<StoreResult>& done);
    std::size_t unknownRows() const;
    void settleOpen(std::vector<StoreResult>& done);
    void storeAgain(std::vector<StoreResult>& done);

    void closeConnection();

    std::shared_ptr<Connection> owned_;
    Connection& connection_;
    std::function<bool()> stopping_;
    ProviderKind provider_ = ProviderKind::Unknown;
    std::size_t maxBatch_ = 1000;
    int generation_ = 0;
    // PostgreSQL: the columns' types, for the values compared with them and inserted.
    QString addressType_, cardType_, dateType_, dateTimeType_;
    bool probeIndex_ = false;
    bool probed_ = false;
    QHash<QString, std::shared_ptr<QSqlQuery>> prepared_;
    std::unique_ptr<SqliteStatements> sqlite_;  // SQLite: the test and the insert
    std::optional<OpenBatch> open_;
    // PostgreSQL with the witness table: the batches sent and not yet read, oldest first.
    bool witness_ = false;
    std::deque<InFlight> flight_;
    bool flightBroken_ = false;  // a failure came while batches were in flight: they are looked up
    bool unsynced_ = false;      // statements went out since the last sync
    int syncsPending_ = 0;       // syncs sent whose end was not read yet
    std::vector<qint64> confirmed_;  // witnesses of batches known committed, to be removed
    bool agedOut_ = false;           // witnesses left by runs that ended early were removed
    // PostgreSQL: rows whose transaction ended without a commit, in line order, to be stored
    // again before anything else; a batch's rows are always in open_, here or given back.
    std::vector<StoreRow> redo_;
    std::vector<StoreResult> finished_;
};

}  // namespace tallyfold
