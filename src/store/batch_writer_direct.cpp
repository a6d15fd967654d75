// The batch writer on SQLite and SQL Server: the test, then the insert, in
// prepared pieces; each batch committed before the call returns.
#include "store/batch_rows.h"
#include "store/batch_writer.h"

#include <QSqlError>
#include <algorithm>

namespace tallyfold {

using namespace batch;
using Fate = BatchWriter::Fate;

std::vector<StoreResult> BatchWriter::storeDirect(const std::vector<StoreRow>& rows, bool isolate) {
    // SQLite: the write lock first, so the test below sees every other writer's rows.
    Transaction transaction(*this, [this] {
        run(provider_ == ProviderKind::SQLite ? QStringLiteral("BEGIN IMMEDIATE") : QStringLiteral("BEGIN TRANSACTION"),
            "Cannot begin a transaction");  // can throw
    });
    std::vector<StoreResult> results = settle(rows, [&](const std::vector<const StoreRow*>& batch) {
        const std::vector<bool> found = existing(batch);
        std::vector<const StoreRow*> fresh;
        for (std::size_t i = 0; i < batch.size(); ++i)
            if (!found[i])
                fresh.push_back(batch[i]);
        QHash<const StoreRow*, QString> refused;
        if (isolate)
            insertIsolating(fresh, refused);
        else
            insert(fresh);
        std::vector<Fate> fates(batch.size());
        for (std::size_t i = 0; i < batch.size(); ++i) {
            if (found[i])
                continue;
            const auto why = refused.constFind(batch[i]);
            fates[i] = why == refused.cend() ? Fate{Fate::Inserted, QString()} : Fate{Fate::Refused, *why};
        }
        return fates;
    });
    transaction.commit();  // can throw
    return results;
}

std::vector<bool> BatchWriter::existing(const std::vector<const StoreRow*>& rows) {
    std::vector<bool> found(rows.size(), false);
    // Looked up in the index's order, neighbours share the pages a lookup reads.
    std::vector<std::size_t> order(rows.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        const int byCard = QString::compare(rows[a]->card, rows[b]->card);
        return byCard != 0 ? byCard < 0 : QString::compare(rows[a]->storedDateTime, rows[b]->storedDateTime) < 0;
    });
    constexpr std::size_t Most = TestSlots[std::size(TestSlots) - 1];
    for (std::size_t from = 0; from < rows.size(); from += Most) {
        const std::size_t count = std::min(Most, rows.size() - from);
        // Prepared texts come in a few sizes: the last row fills the rest.
        const std::size_t slots =
            *std::find_if(std::begin(TestSlots), std::end(TestSlots), [&](std::size_t s) { return s >= count; });
        Statement s;
        if (provider_ == ProviderKind::SQLite) {
            s.text = QStringLiteral(
                         "SELECT k.column1 FROM (VALUES %1) AS k WHERE EXISTS (SELECT 1 FROM Tcon_ConsumeDtl t "
                         "WHERE t.Cardid = k.column2 AND t.datatime = k.column3)")
                         .arg(repeated(slots, QStringLiteral("(?,?,?)")));
        } else {
            // SQL Server (untested here): the range locks of UPDLOCK, HOLDLOCK make another writer
            // of the same record wait until this transaction ends, and then see its rows.
            s.text = QStringLiteral(
                         "SELECT k.i FROM (VALUES %1) AS k(i,c,d) WHERE EXISTS (SELECT 1 FROM Tcon_ConsumeDtl t "
                         "WITH (UPDLOCK, HOLDLOCK) WHERE t.Cardid = k.c AND t.datatime = k.d)")
                         .arg(repeated(slots, QStringLiteral("(?,?,?)")));
        }
        s.values.reserve(qsizetype(slots * 3));
        for (std::size_t i = 0; i < slots; ++i) {
            const std::size_t at = order[from + std::min(i, count - 1)];
            s.values << qlonglong(at) << rows[at]->card << rows[at]->storedDateTime;
        }
        for (qint64 at : run(s, "The duplicate test failed"))
            if (at >= 0 && std::size_t(at) < rows.size())
                found[std::size_t(at)] = true;
    }
    return found;
}

void BatchWriter::insert(const std::vector<const StoreRow*>& rows) {
    std::size_t from = 0;
    while (from < rows.size()) {
        const std::size_t left = rows.size() - from;
        const std::size_t count =
            *std::find_if(std::begin(InsertPieces), std::end(InsertPieces), [&](std::size_t p) { return p <= left; });
        Statement s{InsertHead + repeated(count, QStringLiteral("(?,?,?,?)")), {}};
        s.values.reserve(qsizetype(count * 4));
        for (std::size_t i = from; i < from + count; ++i)
            s.values << rows[i]->address << rows[i]->card << rows[i]->dateText << rows[i]->storedDateTime;
        run(s, "The database did not store the rows");
        from += count;
    }
}

void BatchWriter::insertIsolating(const std::vector<const StoreRow*>& rows, QHash<const StoreRow*, QString>& refused) {
    if (rows.empty())
        return;
    const bool sqlServer = provider_ == ProviderKind::SqlServer;
    run(sqlServer ? QStringLiteral("SAVE TRANSACTION tf_rows") : QStringLiteral("SAVEPOINT tf_rows"),
        "Cannot set a savepoint");
    try {
        insert(rows);
    } catch (const DatabaseError& e) {
        if (e.failure() != SqlFailure::Row)
            throw;
        run(sqlServer ? QStringLiteral("ROLLBACK TRANSACTION tf_rows")
                      : QStringLiteral("ROLLBACK TO SAVEPOINT tf_rows"),
            "Cannot roll back to a savepoint");
        if (rows.size() == 1) {
            refused.insert(rows.front(), e.message());
            return;
        }
        const auto half = rows.begin() + std::ptrdiff_t(rows.size() / 2);
        insertIsolating(std::vector<const StoreRow*>(rows.begin(), half), refused);
        insertIsolating(std::vector<const StoreRow*>(half, rows.end()), refused);
    }
}

}  // namespace tallyfold
