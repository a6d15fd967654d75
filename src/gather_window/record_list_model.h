#pragma once

#include <QAbstractTableModel>
#include <QString>
#include <array>
#include <deque>
#include <vector>

namespace tallyfold {

// The record list: one row of "机号", "卡号", "日期" and "时间" per record handled,
// in the order handled. Rows are taken at once and shown in batches: a view laid
// out and repainted once a batch instead of once a row keeps pace with a long file.
// A file may list a million rows, so a row is kept as numbers in 8 bytes (the
// address, the card and the date-time) and its texts are made when the view asks
// for them; a row whose texts do not have the record line's shape is kept as it came.
class RecordListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    using Row = std::array<QString, 4>;
    using QAbstractTableModel::QAbstractTableModel;

    void clear();
    void append(const Row& row);
    // Shows the rows taken since the last flush, as one insertion.
    void flush();
    bool hasPending() const { return rows_.size() > shown_; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    // "10", "123456", "2024-03-05", "11:00:00" in 62 bits; with the top bit clear,
    // the low bits index unpacked_ instead.
    using Packed = quint64;
    static bool pack(const Row& row, Packed& packed);
    static QString text(Packed packed, int column);

    std::deque<Packed> rows_;  // grows a block at a time: no copy of the whole list as it grows
    std::vector<Row> unpacked_;
    std::size_t shown_ = 0;
};

}  // namespace tallyfold
