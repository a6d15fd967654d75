#pragma once

#include <QAbstractTableModel>
#include <QString>
#include <array>
#include <vector>

namespace tallyfold {

// The record list: one row of "机号", "卡号", "日期" and "时间" per record handled,
// in the order handled. Rows are taken at once and shown in batches: a view laid
// out and repainted once a batch instead of once a row keeps pace with a file of
// tens of thousands of lines.
class RecordListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    using Row = std::array<QString, 4>;
    using QAbstractTableModel::QAbstractTableModel;

    void clear();
    void append(Row row) { rows_.push_back(std::move(row)); }
    // Shows the rows taken since the last flush, as one insertion.
    void flush();
    bool hasPending() const { return rows_.size() > shown_; }
    // Every row taken, shown or not.
    const std::vector<Row>& rows() const { return rows_; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    std::vector<Row> rows_;
    std::size_t shown_ = 0;
};

}  // namespace tallyfold
