#pragma once

#include "records/record_store.h"

#include <QHash>
#include <QSqlQuery>
#include <QVariantList>
#include <atomic>
#include <functional>
#include <optional>

namespace tallyfold {

// Stores batches of rows on a connection of its own: per batch one
// transaction in which a lock makes every other writer of the same records
// wait, one statement tests the whole batch against the table and one inserts
// what is new; a row the database refuses alone is isolated under savepoints.
// A lost connection is opened again and the batch redone for at most Connect
// Timeout seconds. Used from one thread only, the writer's.
class BatchWriter {
public:
    // Opens the connection; raises DatabaseError.
    BatchWriter(const QString& connectionString, std::atomic<qint64>& busySince, std::function<bool()> stopping);

    // The verdicts of `rows`, in their order, once their transaction has
    // committed; raises StoreFailed when the database does not take them.
    std::vector<StoreResult> store(const std::vector<StoreRow>& rows);
    // The positions of the rows whose card and date-time the table does not hold; raises StoreFailed.
    std::vector<std::size_t> missing(const std::vector<StoreRow>& rows);
    // For the watchdog on the other thread: stops the statement that runs now.
    Connection& connection() { return connection_; }

    static constexpr std::size_t MaxBatch = 512;

private:
    struct Statement {
        QString text;  // '?' for each value
        QVariantList values;
    };
    template <typename Work>
    auto retried(Work work) -> decltype(work());
    void openConnection();
    // Runs a statement; the first column of its rows as numbers. Raises DatabaseError.
    std::vector<qint64> run(const Statement& statement, const char* what);
    std::vector<qint64> run(const QString& text, const char* what) { return run(Statement{text, {}}, what); }
    QString literal(const QVariant& value) const;
    void rollbackQuietly();

    qint64 lockKeys(const std::vector<const StoreRow*>& rows);
    std::vector<bool> existing(const std::vector<const StoreRow*>& rows);
    void insert(const std::vector<const StoreRow*>& rows);
    // Inserts under savepoints, halving a refused group until each refused row stands alone.
    void insertIsolating(const std::vector<const StoreRow*>& rows, QHash<const StoreRow*, QString>& refused);
    std::vector<StoreResult> attempt(const std::vector<StoreRow>& rows, bool isolate);
    bool committedEarlier();

    Connection connection_;
    std::atomic<qint64>& busySince_;
    std::function<bool()> stopping_;
    ProviderKind provider_ = ProviderKind::Unknown;
    QString cardType_, dateTimeType_;  // PostgreSQL: the columns' types, for the literals compared with them
    QHash<QString, std::shared_ptr<QSqlQuery>> prepared_;
    std::optional<qint64> uncertainCommit_;  // a transaction whose COMMIT got no answer
    std::vector<StoreResult> uncertainResults_;
};

}  // namespace tallyfold
