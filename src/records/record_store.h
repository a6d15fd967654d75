#pragma once

#include "platform/connection.h"

#include <QString>
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

// Where the operations put the rows of a record file. A verdict may come later
// than add(): a store may still be writing the row when the next line is read.
class RecordStore {
public:
    virtual ~RecordStore() = default;
    // Hands a row over; raises when the row cannot even be tested (the line then fails).
    virtual void add(const StoreRow& row) = 0;
    // The verdicts reached since the last call.
    virtual std::vector<StoreResult> takeResults() = 0;
    // Waits for the verdict of every row added and returns those not yet taken.
    virtual std::vector<StoreResult> finish() = 0;
};

// The store for a connection; dateQuote delimits date-time literals in its SQL text.
std::unique_ptr<RecordStore> openRecordStore(const std::shared_ptr<Connection>& connection, const QString& dateQuote);

}  // namespace tallyfold
