// The batch writer on SQLite and SQL Server: the test, then the insert, in
// prepared pieces; each batch committed before the call returns. On SQLite through
// SQLite's own calls (sqlite_statements.h).
#include "store/batch_rows.h"
#include "store/batch_writer.h"
#include "store/sqlite_statements.h"

#include "platform/connection_private.h"

#include <QSqlError>
#include <algorithm>
#include <string>
#include <string_view>

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

namespace {

// Where prepared statements take a batch in pieces of a few sizes: the size of each piece in turn.
std::vector<std::size_t> insertPieces(std::size_t rows) {
    std::vector<std::size_t> pieces;
    for (std::size_t left = rows; left > 0;) {
        const std::size_t count =
            *std::find_if(std::begin(InsertPieces), std::end(InsertPieces), [&](std::size_t p) { return p <= left; });
        pieces.push_back(count);
        left -= count;
    }
    return pieces;
}

std::size_t testSlots(std::size_t count) {
    return *std::find_if(std::begin(TestSlots), std::end(TestSlots), [&](std::size_t s) { return s >= count; });
}

// The few texts, made once: a batch runs one per piece.
const QString& sqliteTest(std::size_t slots) {
    static const std::vector<QString> texts = [] {
        std::vector<QString> made;
        for (std::size_t n : TestSlots)
            made.push_back(QStringLiteral("SELECT k.column1 FROM (VALUES %1) AS k WHERE EXISTS (SELECT 1 FROM "
                                          "Tcon_ConsumeDtl t WHERE t.Cardid = k.column2 AND t.datatime = k.column3)")
                               .arg(repeated(n, QStringLiteral("(?,?,?)"))));
        return made;
    }();
    return texts[std::size_t(std::find(std::begin(TestSlots), std::end(TestSlots), slots) - std::begin(TestSlots))];
}

const QString& insertText(std::size_t count) {
    static const std::vector<QString> texts = [] {
        std::vector<QString> made;
        for (std::size_t n : InsertPieces)
            made.push_back(InsertHead + repeated(n, QStringLiteral("(?,?,?,?)")));
        return made;
    }();
    return texts[std::size_t(std::find(std::begin(InsertPieces), std::end(InsertPieces), count) -
                             std::begin(InsertPieces))];
}

// A statement's texts in UTF-8, as SQLite holds them, in one buffer that SQLite reads in place.
class Utf8Texts {
public:
    explicit Utf8Texts(std::size_t count) {
        ends_.reserve(count);
        buffer_.reserve(count * 16);
    }
    void add(const QString& text) {
        const std::size_t start = buffer_.size();
        const std::size_t size = std::size_t(text.size());
        const auto* from = reinterpret_cast<const char16_t*>(text.constData());
        buffer_.resize(start + size);
        char* to = buffer_.data() + start;
        char16_t all = 0;
        for (std::size_t i = 0; i < size; ++i) {
            all = char16_t(all | from[i]);
            to[i] = char(from[i]);
        }
        if (all >= 0x80) {  // not ASCII, and rare: the whole text through Qt's encoder
            buffer_.resize(start);
            const QByteArray utf8 = text.toUtf8();
            buffer_.append(utf8.constData(), std::size_t(utf8.size()));
        }
        ends_.push_back(buffer_.size());
    }
    // Once every text was added.
    std::string_view at(std::size_t i) const {
        const std::size_t start = i == 0 ? 0 : ends_[i - 1];
        return std::string_view(buffer_).substr(start, ends_[i] - start);
    }

private:
    std::string buffer_;
    std::vector<std::size_t> ends_;
};

}  // namespace

std::vector<bool> BatchWriter::existing(const std::vector<const StoreRow*>& rows) {
    std::vector<bool> found(rows.size(), false);
    const bool sqlite = provider_ == ProviderKind::SQLite;
    Utf8Texts utf8(sqlite ? 2 * rows.size() : 0);  // card, date-time
    if (sqlite)
        for (const StoreRow* row : rows) {
            utf8.add(row->card);
            utf8.add(row->storedDateTime);
        }
    // Looked up in the index's order (date-time first), neighbours share the pages a lookup reads.
    std::vector<std::size_t> order(rows.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        if (sqlite)
            return std::pair(utf8.at(2 * a + 1), utf8.at(2 * a)) < std::pair(utf8.at(2 * b + 1), utf8.at(2 * b));
        const int byTime = QString::compare(rows[a]->storedDateTime, rows[b]->storedDateTime);
        return byTime != 0 ? byTime < 0 : QString::compare(rows[a]->card, rows[b]->card) < 0;
    });
    constexpr std::size_t Most = TestSlots[std::size(TestSlots) - 1];
    for (std::size_t from = 0; from < rows.size(); from += Most) {
        const std::size_t count = std::min(Most, rows.size() - from);
        // Prepared texts come in a few sizes: the last row fills the rest.
        const std::size_t slots = testSlots(count);
        const auto at = [&](std::size_t i) { return order[from + std::min(i, count - 1)]; };
        std::vector<qint64> hits;
        if (sqlite) {
            hits = sqlite_->run(ConnectionPrivate::of(connection_), sqliteTest(slots), "The duplicate test failed",
                                [&](sqlite3_stmt* s) {
                                    for (std::size_t i = 0; i < slots; ++i) {
                                        const std::size_t row = at(i);
                                        const int first = int(3 * i + 1);
                                        SqliteStatements::bindNumber(s, first, qint64(row));
                                        SqliteStatements::bindText(s, first + 1, utf8.at(2 * row));
                                        SqliteStatements::bindText(s, first + 2, utf8.at(2 * row + 1));
                                    }
                                });
        } else {
            // SQL Server (untested here): the range locks of UPDLOCK, HOLDLOCK make another writer
            // of the same record wait until this transaction ends, and then see its rows.
            Statement s{QStringLiteral("SELECT k.i FROM (VALUES %1) AS k(i,c,d) WHERE EXISTS (SELECT 1 FROM "
                                       "Tcon_ConsumeDtl t WITH (UPDLOCK, HOLDLOCK) WHERE t.Cardid = k.c AND "
                                       "t.datatime = k.d)")
                            .arg(repeated(slots, QStringLiteral("(?,?,?)"))),
                        {}};
            s.values.reserve(qsizetype(slots * 3));
            for (std::size_t i = 0; i < slots; ++i)
                s.values << qlonglong(at(i)) << rows[at(i)]->card << rows[at(i)]->storedDateTime;
            hits = run(s, "The duplicate test failed");
        }
        for (qint64 hit : hits)
            if (hit >= 0 && std::size_t(hit) < rows.size())
                found[std::size_t(hit)] = true;
    }
    return found;
}

void BatchWriter::insert(const std::vector<const StoreRow*>& rows) {
    std::size_t from = 0;
    for (const std::size_t count : insertPieces(rows.size())) {
        const QString& text = insertText(count);
        if (provider_ == ProviderKind::SQLite) {
            Utf8Texts utf8(3 * count);
            for (std::size_t i = from; i < from + count; ++i) {
                utf8.add(rows[i]->card);
                utf8.add(rows[i]->dateText);
                utf8.add(rows[i]->storedDateTime);
            }
            sqlite_->run(ConnectionPrivate::of(connection_), text, "The database did not store the rows",
                         [&](sqlite3_stmt* s) {
                             for (std::size_t i = 0; i < count; ++i) {
                                 const int first = int(4 * i + 1);
                                 SqliteStatements::bindNumber(s, first, rows[from + i]->address);
                                 SqliteStatements::bindText(s, first + 1, utf8.at(3 * i));
                                 SqliteStatements::bindText(s, first + 2, utf8.at(3 * i + 1));
                                 SqliteStatements::bindText(s, first + 3, utf8.at(3 * i + 2));
                             }
                         });
        } else {
            Statement s{text, {}};
            s.values.reserve(qsizetype(count * 4));
            for (std::size_t i = from; i < from + count; ++i)
                s.values << rows[i]->address << rows[i]->card << rows[i]->dateText << rows[i]->storedDateTime;
            run(s, "The database did not store the rows");
        }
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
