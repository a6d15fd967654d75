#pragma once

// What the batch writer's provider parts share: a row's key, its lock number,
// the verdicts of a batch and the pieces statements are cut into.

#include "store/batch_writer.h"

namespace tallyfold::batch {

QString keyOf(const StoreRow& row);
// The same number in every process for the same record, so writers of it take the same advisory lock.
qint64 lockKey(const QString& key);
// count copies of item, separated by commas.
QString repeated(std::size_t count, const QString& item);

// Where statements are prepared (SQLite, ODBC), a batch goes in pieces of a
// few sizes, so that a handful of statement texts serves every batch.
constexpr std::size_t InsertPieces[] = {128, 32, 8, 1};
constexpr std::size_t TestSlots[] = {8, 32, 128, 512};
inline const QString InsertHead =
    QStringLiteral("INSERT INTO Tcon_ConsumeDtl (MachAddr,Cardid,datadate,datatime) VALUES ");

// Every row of a batch gets a verdict: per card and date-time the first row
// new to the table is stored and later ones are repeats; a refused row leaves
// the next one of its card and date-time to try.
std::vector<StoreResult> settle(const std::vector<StoreRow>& rows, const BatchWriter::StoreNew& storeNew);
// The verdicts of a batch whose test-and-insert gave the positions (from 0, among firstsOf)
// of the rows it inserted.
std::vector<StoreResult> settledFrom(const std::vector<StoreRow>& rows, const std::vector<qint64>& positions);
// The first row of each card and date-time, in line order.
std::vector<const StoreRow*> firstsOf(const std::vector<StoreRow>& rows);
std::vector<const StoreRow*> pointers(const std::vector<StoreRow>& rows);

}  // namespace tallyfold::batch
