#include "gather_window/record_list_model.h"

#include "gather_window/terminal_list_model.h"

namespace tallyfold {

void RecordListModel::clear() {
    beginResetModel();
    rows_.clear();
    rows_.shrink_to_fit();
    shown_ = 0;
    endResetModel();
}

void RecordListModel::flush() {
    if (!hasPending())
        return;
    beginInsertRows({}, int(shown_), int(rows_.size() - 1));
    shown_ = rows_.size();
    endInsertRows();
}

int RecordListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(shown_);
}

int RecordListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : 4;
}

QVariant RecordListModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !index.isValid() || std::size_t(index.row()) >= shown_ || index.column() > 3)
        return {};
    return rows_[std::size_t(index.row())][std::size_t(index.column())];
}

QVariant RecordListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    return listHeader(RecordHeaders, section, orientation, role);
}

}  // namespace tallyfold
