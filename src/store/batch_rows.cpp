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

std::vector<StoreResult> settle(const std::vector<StoreRow>& rows, const BatchWriter::StoreNew& storeNew) {
    QHash<QString, std::size_t> keyIndex;
    std::vector<std::vector<std::size_t>> occurrences;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const QString key = keyOf(rows[i]);
        auto it = keyIndex.find(key);
        if (it == keyIndex.end()) {
            it = keyIndex.insert(key, occurrences.size());
            occurrences.emplace_back();
        }
        occurrences[*it].push_back(i);
    }
    std::vector<StoreResult> results;
    results.reserve(rows.size());
    for (const StoreRow& row : rows)
        results.push_back(StoreResult{row, StoreVerdict::Duplicate, QString()});
    std::vector<std::size_t> tried(occurrences.size(), 0);
    std::vector<std::size_t> round(occurrences.size());
    for (std::size_t k = 0; k < round.size(); ++k)
        round[k] = k;
    while (!round.empty()) {
        std::vector<const StoreRow*> batch;
        batch.reserve(round.size());
        for (std::size_t k : round)
            batch.push_back(&rows[occurrences[k][tried[k]]]);
        const std::vector<Fate> fates = storeNew(batch);
        std::vector<std::size_t> next;
        for (std::size_t j = 0; j < round.size(); ++j) {
            const std::size_t k = round[j];
            const std::size_t at = occurrences[k][tried[k]];
            if (fates[j].kind == Fate::Inserted) {
                results[at].verdict = StoreVerdict::Stored;
            } else if (fates[j].kind == Fate::Refused) {
                results[at].verdict = StoreVerdict::Rejected;
                results[at].reason = fates[j].reason;
                if (++tried[k] < occurrences[k].size())
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

std::vector<StoreResult> settledFrom(const std::vector<StoreRow>& rows, const std::vector<qint64>& positions) {
    QSet<qint64> inserted;
    for (qint64 i : positions)
        inserted.insert(i);
    return settle(rows, [&](const std::vector<const StoreRow*>& part) {
        std::vector<BatchWriter::Fate> fates(part.size());
        for (std::size_t i = 0; i < part.size(); ++i)
            if (inserted.contains(qint64(i)))
                fates[i].kind = BatchWriter::Fate::Inserted;
        return fates;
    });
}

}  // namespace tallyfold::batch
