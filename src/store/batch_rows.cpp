#include "store/batch_rows.h"

#include <QSet>

namespace tallyfold::batch {

using Fate = BatchWriter::Fate;

QString keyOf(const StoreRow& row) {
    return row.card + QLatin1Char('\n') + row.storedDateTime;
}

// FNV-1a over the record's key.
qint64 lockKey(const QString& key) {
    quint64 h = 14695981039346656037ULL;
    const QByteArray bytes = key.toUtf8();
    for (char c : bytes) {
        h ^= quint8(c);
        h *= 1099511628211ULL;
    }
    return qint64(h);
}

QString repeated(std::size_t count, const QString& item) {
    QString s;
    s.reserve(qsizetype(count) * (item.size() + 1));
    for (std::size_t i = 0; i < count; ++i) {
        if (i)
            s += QLatin1Char(',');
        s += item;
    }
    return s;
}

namespace {

// A row's card and date-time, looked up without a key text made for each row.
struct RowKey {
    const StoreRow* row;
    bool operator==(const RowKey& other) const {
        return row->card == other.row->card && row->storedDateTime == other.row->storedDateTime;
    }
};

size_t qHash(const RowKey& key, size_t seed = 0) {
    return qHashMulti(seed, key.row->card, key.row->storedDateTime);
}

}  // namespace

std::vector<StoreResult> settle(const std::vector<StoreRow>& rows, const BatchWriter::StoreNew& storeNew) {
    // Per card and date-time the row tried now; after it, through `later`, the next of the same.
    constexpr std::size_t None = std::size_t(-1);
    QHash<RowKey, std::size_t> keyIndex;
    keyIndex.reserve(qsizetype(rows.size()));
    std::vector<std::size_t> tried, last, later(rows.size(), None);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const auto it = keyIndex.constFind(RowKey{&rows[i]});
        if (it == keyIndex.cend()) {
            keyIndex.insert(RowKey{&rows[i]}, tried.size());
            tried.push_back(i);
            last.push_back(i);
        } else {
            later[last[*it]] = i;
            last[*it] = i;
        }
    }
    std::vector<StoreResult> results;
    results.reserve(rows.size());
    for (const StoreRow& row : rows)
        results.push_back(StoreResult{row, StoreVerdict::Duplicate, QString()});
    std::vector<std::size_t> round(tried.size());
    for (std::size_t k = 0; k < round.size(); ++k)
        round[k] = k;
    while (!round.empty()) {
        std::vector<const StoreRow*> batch;
        batch.reserve(round.size());
        for (std::size_t k : round)
            batch.push_back(&rows[tried[k]]);
        const std::vector<Fate> fates = storeNew(batch);
        std::vector<std::size_t> next;
        for (std::size_t j = 0; j < round.size(); ++j) {
            const std::size_t k = round[j];
            const std::size_t at = tried[k];
            if (fates[j].kind == Fate::Inserted) {
                results[at].verdict = StoreVerdict::Stored;
            } else if (fates[j].kind == Fate::Refused) {
                results[at].verdict = StoreVerdict::Rejected;
                results[at].reason = fates[j].reason;
                if ((tried[k] = later[at]) != None)
                    next.push_back(k);
            }
        }
        round = std::move(next);
    }
    return results;
}

std::vector<const StoreRow*> firstsOf(const std::vector<StoreRow>& rows) {
    std::vector<const StoreRow*> firsts;
    QSet<QString> seen;
    for (const StoreRow& row : rows) {
        const QString key = keyOf(row);
        if (!seen.contains(key)) {
            seen.insert(key);
            firsts.push_back(&row);
        }
    }
    return firsts;
}

std::vector<const StoreRow*> pointers(const std::vector<StoreRow>& rows) {
    std::vector<const StoreRow*> all;
    all.reserve(rows.size());
    for (const StoreRow& row : rows)
        all.push_back(&row);
    return all;
}

}  // namespace tallyfold::batch
