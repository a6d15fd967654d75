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
// A file may list a million rows, so a row is kept as a few bytes (the address,
// the card's characters and the date-time's numbers) and its texts are made when
// the view asks for them; a row whose texts do not have the record line's shape
// is kept as it came.
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
    // "12", "123456", "2024-03-05", "11:00:00" as 14 bytes.
    struct Packed {
        static constexpr quint8 Unpacked = 0xff;  // in cardLength: card holds an index into unpacked_
        quint8 address;
        quint8 cardLength;
        char card[6];
        quint8 year, month, day, hour, minute, second;
    };
    static bool pack(const Row& row, Packed& packed);
    static QString text(const Packed& packed, int column);

    std::deque<Packed> rows_;  // grows a block at a time: no copy of the whole list as it grows
    std::vector<Row> unpacked_;
    std::size_t shown_ = 0;
};

}  // namespace tallyfold
