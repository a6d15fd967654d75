#include "records/store_record_line.h"

#include "platform/error.h"
#include "platform/regional_datetime.h"
#include "records/record_line.h"

#include <algorithm>

namespace tallyfold {

QString signPlace(qint64 n) {
    return (n < 0 ? QString() : QStringLiteral(" ")) + QString::number(n);
}

namespace {

void addFailed(LineCounters& counters, StoreContext& context, qint64 lineNumber, const QString& text,
               const QString& reason) {
    ++counters.errors;
    context.failedLines.push_back(FailedLine{lineNumber, text, reason});
}

void listRow(const StoreRow& row, StoreContext& context) {
    const QStringView text(row.recordText);  // ..hhmm at its end
    context.view->addRecordRow(QString::number(row.address), row.card, row.dateText,
                               text.mid(14, 2) % QLatin1Char(':') % text.mid(16, 2) % QLatin1String(":00"));
}

// A row is listed once its batch has its verdict, so no row of a batch the database never took
// shows as handled; a row the database refused is listed and fails too.
void count(const std::vector<StoreResult>& results, LineCounters& counters, StoreContext& context) {
    for (const StoreResult& r : results) {
        listRow(r.row, context);
        if (r.verdict == StoreVerdict::Stored)
            ++counters.stored;
        else if (r.verdict == StoreVerdict::Duplicate)
            ++counters.duplicates;
        else if (r.verdict == StoreVerdict::Rejected)
            addFailed(counters, context, r.row.lineNumber, r.row.recordText, r.reason);
    }
}

class LineStorer {
public:
    LineStorer(const QString& line, LineCounters& counters, StoreContext& context)
        : record_(parseRecordLine(line)), counters_(counters), context_(context) {}

    bool dateTimeIsValid() const { return record_.hasValidDateTime(); }

    void moveByBusinessDay() {
        const qint16 offset = getGatherDay(*context_.times, record_.recordDateTimeText, context_.view->prompts());
        storedDateTime_ = regionalDateTimeText(record_.recordDateTime.addDays(offset));
    }

    // The store tests the row against the table and stores it unless it is there.
    void store() {
        const StoreRow row{counters_.read + 1, record_.text,     recordAddress(record_.text),
                           record_.card,       record_.dateText, storedDateTime_};
        context_.store->add(row);
        if (context_.handedOver)
            context_.handedOver->push_back(row);
        context_.view->keepAlive();
    }

    void failedLine(const QString& reason = QString()) {
        addFailed(counters_, context_, counters_.read + 1, record_.text, reason);
        ++counters_.read;
    }

private:
    RecordLine record_;
    LineCounters& counters_;
    StoreContext& context_;
    QString storedDateTime_;
};

}  // namespace

void StoreRecordLine(const QString& line, LineCounters& counters, StoreContext& context, StepOrder order) {
    // The gather listed each record before storing it and the import after; with the rows listed
    // at their verdicts both orders come to the same steps.
    Q_UNUSED(order);
    LineStorer storer(line, counters, context);
    try {
        if (!storer.dateTimeIsValid()) {
            storer.failedLine();
        } else {
            storer.moveByBusinessDay();
            storer.store();
            ++counters.read;
        }
    } catch (const StoreFailed&) {
        throw;
    } catch (const Error& e) {
        storer.failedLine(e.description());
    } catch (const std::exception& e) {
        storer.failedLine(QString::fromLocal8Bit(e.what()));
    }
    count(context.store->takeResults(), counters, context);
}

void finishStoring(LineCounters& counters, StoreContext& context) {
    context.store->finish();
    countVerdicts(counters, context);
}

void countVerdicts(LineCounters& counters, StoreContext& context) {
    count(context.store->takeResults(), counters, context);
}

void putFailedLines(StoreContext& context) {
    std::vector<FailedLine>& lines = context.failedLines;
    std::stable_sort(lines.begin(), lines.end(),
                     [](const FailedLine& a, const FailedLine& b) { return a.lineNumber < b.lineNumber; });
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const int n = int(i + 1);
        const QString key = QStringLiteral("R") + QString::number(n);
        context.view->addFailedLine(n, key, QString::number(lines[i].lineNumber), lines[i].recordText);
        if (!lines[i].reason.isEmpty())
            context.view->failedLineReason(key, lines[i].reason);
    }
    lines.clear();
}

}  // namespace tallyfold
