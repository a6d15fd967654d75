#include "records/store_record_line.h"

#include "component/mdl_gather_data.h"
#include "platform/error.h"
#include "platform/regional_datetime.h"
#include "records/record_line.h"

#include <algorithm>

namespace tallyfold {

QString duplicateQuery(const QString& card, const QString& storedDateTime, const QString& dateQuote) {
    return QStringLiteral("select * from Tcon_ConsumeDtl where Cardid='") + sqlText(card) +
           QStringLiteral("' and dataTime=") + dateQuote + storedDateTime + dateQuote;
}

QString signPlace(qint64 n) {
    return (n < 0 ? QString() : QStringLiteral(" ")) + QString::number(n);
}

namespace {

void addFailed(LineCounters& counters, const StoreContext& context, qint64 lineNumber, const QString& text) {
    ++counters.errors;
    if (context.failedLines) {
        context.failedLines->push_back(FailedLine{lineNumber, text});
        return;
    }
    context.view->addFailedLine(int(counters.errors), QStringLiteral("R") + QString::number(counters.errors),
                                QString::number(lineNumber), text);
}

QString queuedKey(const QString& card, const QString& storedDateTime) {
    return card + QLatin1Char('\t') + storedDateTime;
}

void closeIfOpen(std::unique_ptr<Recordset>& recordset) {
    if (recordset && recordset->State() == adStateOpen)
        recordset->Close();
}

class LineStorer {
public:
    LineStorer(const QString& line, std::unique_ptr<Recordset>& recordset, LineCounters& counters,
               const StoreContext& context)
        : record_(parseRecordLine(line)), recordset_(recordset), counters_(counters), context_(context) {}

    bool dateTimeIsValid() const { return record_.hasValidDateTime(); }

    void moveByBusinessDay() {
        const qint16 offset = getGatherDay(*context_.times, record_.recordDateTimeText, context_.view->prompts());
        storedDateTime_ = regionalDateTimeText(record_.recordDateTime.addDays(offset));
    }

    void queryDuplicate() {
        recordset_ = std::make_unique<Recordset>();
        recordset_->Open(duplicateQuery(record_.card, storedDateTime_, context_.dateQuote), context_.connection,
                         adOpenDynamic, adLockOptimistic, adCmdUnspecified);
    }

    void listRow() {
        address_ = recordAddress(record_.text);
        context_.view->addRecordRow(QString::number(address_), record_.card, record_.dateText, record_.displayTime);
    }

    void storeUnlessDuplicate() {
        if (recordset_->RecordCount() > 0)
            return;
        if (context_.writer) {
            const QString key = queuedKey(record_.card, storedDateTime_);
            if (context_.queuedKeys->contains(key)) {
                // The same card and minute is still on its way to the database: let it land, then ask again.
                takeWrittenRows(context_.writer->finish(), counters_, context_);
                queryDuplicate();
                if (recordset_->RecordCount() > 0)
                    return;
            }
            context_.queuedKeys->insert(key);
            context_.writer->enqueue(
                RowJob{counters_.read + 1, record_.text, address_, record_.card, record_.dateText, storedDateTime_});
            context_.view->processPendingEvents();
            return;
        }
        recordset_->AddNew();
        recordset_->SetField(QStringLiteral("MachAddr"), Variant(address_));
        recordset_->SetField(QStringLiteral("Cardid"), Variant(record_.card));
        recordset_->SetField(QStringLiteral("datadate"), Variant(record_.dateText));
        recordset_->SetField(QStringLiteral("datatime"), Variant(storedDateTime_));
        recordset_->UpdateBatch();
        context_.view->processPendingEvents();
        ++counters_.stored;
    }

    void failedLine() {
        addFailed(counters_, context_, counters_.read + 1, record_.text);
        ++counters_.read;
    }

    const QString& text() const { return record_.text; }

private:
    RecordLine record_;
    std::unique_ptr<Recordset>& recordset_;
    LineCounters& counters_;
    const StoreContext& context_;
    QString storedDateTime_;
    int address_ = 0;
};

}  // namespace

void takeWrittenRows(const std::vector<RowResult>& results, LineCounters& counters, const StoreContext& context) {
    for (const RowResult& r : results) {
        if (context.queuedKeys)
            context.queuedKeys->remove(queuedKey(r.job.card, r.job.storedDateTime));
        if (r.stored) {
            ++counters.stored;
            continue;
        }
        // The line was read and listed already; now it is a failed line too.
        addFailed(counters, context, r.job.lineNumber, r.job.recordText);
    }
}

void putFailedLines(const StoreContext& context) {
    if (!context.failedLines)
        return;
    std::vector<FailedLine>& lines = *context.failedLines;
    std::stable_sort(lines.begin(), lines.end(),
                     [](const FailedLine& a, const FailedLine& b) { return a.lineNumber < b.lineNumber; });
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const int n = int(i + 1);
        context.view->addFailedLine(n, QStringLiteral("R") + QString::number(n), QString::number(lines[i].lineNumber),
                                    lines[i].recordText);
    }
    lines.clear();
}

void StoreRecordLine(const QString& line, std::unique_ptr<Recordset>& recordset, LineCounters& counters,
                     const StoreContext& context, StepOrder order) {
    LineStorer storer(line, recordset, counters, context);
    try {
        if (order == StepOrder::Import) {
            closeIfOpen(recordset);
            if (!storer.dateTimeIsValid())
                return storer.failedLine();
            storer.moveByBusinessDay();
            storer.queryDuplicate();
            storer.listRow();
            storer.storeUnlessDuplicate();
        } else {
            if (!storer.dateTimeIsValid())
                return storer.failedLine();
            storer.listRow();
            storer.moveByBusinessDay();
            storer.queryDuplicate();
            storer.storeUnlessDuplicate();
            closeIfOpen(recordset);
        }
        ++counters.read;
    } catch (const std::exception&) {
        storer.failedLine();
    }
}

}  // namespace tallyfold
