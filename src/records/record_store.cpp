#include "records/record_store.h"

#include "platform/recordset.h"
#include "records/mdl_gather_data.h"
#include "records/row_writer.h"

#include <QSet>

namespace tallyfold {

QString duplicateQuery(const QString& card, const QString& storedDateTime, const QString& dateQuote) {
    return QStringLiteral("select * from Tcon_ConsumeDtl where Cardid='") + sqlText(card) +
           QStringLiteral("' and dataTime=") + dateQuote + storedDateTime + dateQuote;
}

namespace {

QString rowKey(const StoreRow& row) {
    return row.card + QLatin1Char('\t') + row.storedDateTime;
}

// Tests each row with a query on the operation's connection and hands new rows
// to a writer thread that commits them one by one on a connection of its own.
class QueuedRecordStore : public RecordStore {
public:
    QueuedRecordStore(std::shared_ptr<Connection> connection, QString dateQuote)
        : connection_(std::move(connection)),
          dateQuote_(std::move(dateQuote)),
          writer_(connection_->ConnectionString()) {}

    void add(const StoreRow& row) override {
        if (isStored(row)) {
            results_.push_back(StoreResult{row, StoreVerdict::Duplicate, QString()});
            return;
        }
        const QString key = rowKey(row);
        if (queued_.contains(key)) {
            // The same card and minute is still on its way to the database: let it land, then ask again.
            collect(writer_.finish());
            if (isStored(row)) {
                results_.push_back(StoreResult{row, StoreVerdict::Duplicate, QString()});
                return;
            }
        }
        queued_.insert(key);
        writer_.enqueue(
            RowJob{row.lineNumber, row.recordText, row.address, row.card, row.dateText, row.storedDateTime});
    }

    std::vector<StoreResult> takeResults() override {
        collect(writer_.takeFinished());
        return take();
    }

    std::vector<StoreResult> finish() override {
        collect(writer_.finish());
        return take();
    }

private:
    bool isStored(const StoreRow& row) {
        Recordset recordset;
        recordset.Open(duplicateQuery(row.card, row.storedDateTime, dateQuote_), connection_, adOpenDynamic,
                       adLockOptimistic, adCmdUnspecified);
        return recordset.RecordCount() > 0;
    }

    void collect(const std::vector<RowResult>& written) {
        for (const RowResult& r : written) {
            const StoreRow row{r.job.lineNumber, r.job.recordText, r.job.address,
                               r.job.card,       r.job.dateText,   r.job.storedDateTime};
            queued_.remove(rowKey(row));
            results_.push_back(StoreResult{row, r.stored ? StoreVerdict::Stored : StoreVerdict::Rejected, r.error});
        }
    }

    std::vector<StoreResult> take() {
        std::vector<StoreResult> out;
        out.swap(results_);
        return out;
    }

    std::shared_ptr<Connection> connection_;
    QString dateQuote_;
    RowWriter writer_;
    QSet<QString> queued_;
    std::vector<StoreResult> results_;
};

}  // namespace

std::unique_ptr<RecordStore> openRecordStore(const std::shared_ptr<Connection>& connection, const QString& dateQuote) {
    return std::make_unique<QueuedRecordStore>(connection, dateQuote);
}

}  // namespace tallyfold
