#pragma once

#include "records/business_day.h"
#include "records/operator_view.h"
#include "records/row_writer.h"

#include <QSet>

#include <memory>

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

struct StoreContext {
    std::shared_ptr<Connection> connection;
    QString dateQuote;
    const BusinessDayTimes* times = nullptr;
    OperatorView* view = nullptr;
    // When set, new rows go to the writer and count as stored once it confirms
    // them (takeWrittenRows); queuedKeys holds card and date-time of the rows
    // still on their way, so a repeat waits for its first before it is decided.
    RowWriter* writer = nullptr;
    QSet<QString>* queuedKeys = nullptr;
    // With a writer, a row can fail after later lines were read: failed lines
    // are kept here and handed to the view in line order (putFailedLines).
    std::vector<FailedLine>* failedLines = nullptr;
};

// Hands the kept failed lines to the view in line order, keyed R1, R2, ...
void putFailedLines(const StoreContext& context);

// Checks one line, lists it, skips it when its card and date-time are already
// stored, else stores it at once; a line that fails becomes a failed line.
void StoreRecordLine(const QString& line, std::unique_ptr<Recordset>& recordset, LineCounters& counters,
                     const StoreContext& context, StepOrder order);

// Counts the rows the writer finished: stored ones, and failed ones as failed lines.
void takeWrittenRows(const std::vector<RowResult>& results, LineCounters& counters, const StoreContext& context);

// The duplicate query for a card and a stored date-time text.
QString duplicateQuery(const QString& card, const QString& storedDateTime, const QString& dateQuote);

// The result sentences' count with its sign place: " 12".
QString signPlace(qint64 n);

}  // namespace tallyfold
