#pragma once

#include "records/business_day.h"
#include "records/operator_view.h"
#include "store/record_store.h"

#include <vector>

namespace tallyfold {

struct FailedLine {
    qint64 lineNumber;
    QString recordText;
    QString reason;  // the database's or the parser's words; empty for a bad date-time
};

// Counted in 64 bits: a file of any length is counted, never overflows.
struct LineCounters {
    qint64 read = 0;
    qint64 stored = 0;
    qint64 duplicates = 0;  // found in the table already
    qint64 errors = 0;
};

// The import and the gather run store a line with the same steps in a different order.
enum class StepOrder { Import, GatherRun };

// What storing the lines of one file works with. A row can fail after later
// lines were read, so failed lines are kept and handed to the view in line
// order at the end (putFailedLines). With handedOver set, every row given to
// the store is kept there too, to be checked against the table afterwards.
struct StoreContext {
    RecordStore* store = nullptr;
    const BusinessDayTimes* times = nullptr;
    OperatorView* view = nullptr;
    std::vector<FailedLine> failedLines;
    std::vector<StoreRow>* handedOver = nullptr;
};

// Checks one line and hands it to the store; a line that fails becomes a failed
// line. Counts and lists the rows whose verdicts the store reached meanwhile.
// A store that gave up is no line's failure: StoreFailed ends the run.
void StoreRecordLine(const QString& line, LineCounters& counters, StoreContext& context, StepOrder order);

// Waits until every row handed over has its verdict, and counts them; raises StoreFailed.
void finishStoring(LineCounters& counters, StoreContext& context);
// Counts the verdicts reached so far, without waiting.
void countVerdicts(LineCounters& counters, StoreContext& context);

// Hands the kept failed lines to the view in line order, keyed R1, R2, ...
void putFailedLines(StoreContext& context);

// The result sentences' count with its sign place: " 12".
QString signPlace(qint64 n);

}  // namespace tallyfold
