#pragma once

#include "records/business_day.h"
#include "records/operator_view.h"
#include "records/record_store.h"

#include <vector>

namespace tallyfold {

struct FailedLine {
    qint64 lineNumber;
    QString recordText;
};

// Counted in 64 bits: a file of any length is counted, never overflows.
struct LineCounters {
    qint64 read = 0;
    qint64 stored = 0;
    qint64 errors = 0;
};

// The import and the gather run store a line with the same steps in a different order.
enum class StepOrder { Import, GatherRun };

// What storing the lines of one file works with. A row can fail after later
// lines were read, so failed lines are kept and handed to the view in line
// order at the end (putFailedLines).
struct StoreContext {
    RecordStore* store = nullptr;
    const BusinessDayTimes* times = nullptr;
    OperatorView* view = nullptr;
    std::vector<FailedLine> failedLines;
};

// Checks one line, lists it and hands it to the store; a line that fails
// becomes a failed line. Counts the verdicts the store reached meanwhile.
void StoreRecordLine(const QString& line, LineCounters& counters, StoreContext& context, StepOrder order);

// Waits for the store's last verdicts and counts them.
void finishStoring(LineCounters& counters, StoreContext& context);

// Hands the kept failed lines to the view in line order, keyed R1, R2, ...
void putFailedLines(StoreContext& context);

// The duplicate query for a card and a stored date-time text.
QString duplicateQuery(const QString& card, const QString& storedDateTime, const QString& dateQuote);

// The result sentences' count with its sign place: " 12".
QString signPlace(qint64 n);

}  // namespace tallyfold
