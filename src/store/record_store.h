#pragma once

#include "platform/connection.h"
#include "platform/sql_failure.h"

#include <QString>
#include <functional>
#include <memory>
#include <vector>

namespace tallyfold {

// One record row for Tcon_ConsumeDtl, and the line it came from.
struct StoreRow {
    qint64 lineNumber = 0;
    QString recordText;
    int address = 0;
    QString card;
    QString dateText;        // datadate, as the line says
    QString storedDateTime;  // datatime, moved by the business day
    int reader = 0;          // in a SharedRecordStore, whose row it is
};

enum class StoreVerdict {
    Stored,     // the row is in the table and durable
    Duplicate,  // the table already held its card and date-time
    Rejected,   // the database refused the row itself; reason says why
};

struct StoreResult {
    StoreRow row;
    StoreVerdict verdict = StoreVerdict::Stored;
    QString reason;
};

// The store gave up: the database could take no row and did not come back in
// time. Rows whose verdict came before stay stored; none after it is.
class StoreFailed : public Error {
public:
    StoreFailed(SqlFailure failure, const QString& description)
        : Error(errc::Database, description), failure_(failure) {}
    SqlFailure failure() const { return failure_; }

private:
    SqlFailure failure_;
};

// Where the operations put the rows of a record file. A verdict comes once the
// row's batch has committed, so usually after later lines were read.
class RecordStore {
public:
    virtual ~RecordStore() = default;
    // Hands a row over; raises StoreFailed once the store has given up.
    virtual void add(const StoreRow& row) = 0;
    // The verdicts reached since the last call; never raises.
    virtual std::vector<StoreResult> takeResults() = 0;
    // Commits every row handed over and waits for that; raises StoreFailed.
    virtual void finish() = 0;
    // After finish(): which of `rows` (their positions) the table does not hold now.
    virtual std::vector<std::size_t> missing(const std::vector<StoreRow>& rows) = 0;
    // Runs `handler` on the waiting thread every few milliseconds while add(), finish() or
    // missing() waits for the database, so that a window keeps answering meanwhile.
    virtual void setWaitHandler(std::function<void()> handler) { Q_UNUSED(handler); }
};

// A store with a connection of its own to the database `connection` reaches; raises when it cannot open.
std::unique_ptr<RecordStore> openRecordStore(const std::shared_ptr<Connection>& connection);

// On PostgreSQL, the table in which each batch leaves a row that tells whether it committed, so
// that batches need not wait for one another on a far server; other databases need none. The
// first run that can makes it too. Raises what the database says.
void createWitnessTable(Connection& connection);
// Its definition, for a statement that makes it.
extern const QString WitnessTableDefinition;

}  // namespace tallyfold
