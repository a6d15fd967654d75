#include "gather_window/terminal_list_model.h"

#include "platform/error.h"

namespace tallyfold {

QVariant listHeader(const char* const (&captions)[4], int section, Qt::Orientation orientation, int role) {
    if (orientation != Qt::Horizontal || section < 0 || section >= 4)
        return {};
    if (role == Qt::DisplayRole)
        return QString::fromUtf8(captions[section]);
    if (role == Qt::UserRole)
        return QString::fromLatin1(ColumnKeys[section]);
    return {};
}

TerminalListModel::TerminalListModel(QIcon icon, QObject* parent)
    : QAbstractTableModel(parent), icon_(std::move(icon)) {}

std::optional<int> TerminalListModel::reload(DatabaseTool& tool, Mdl_GatherData& module) {
    std::vector<TerminalRow> rows = readTerminalRows(tool);
    beginResetModel();
    rows_ = std::move(rows);
    endResetModel();
    makeFirstCurrent(module, rows_);
    return rows_.empty() ? std::nullopt : std::optional<int>(0);
}

QString TerminalListModel::choose(std::optional<int> row, DatabaseTool& tool, Mdl_GatherData& module) const {
    try {
        if (!row)
            throw Error(errc::ObjectNotSet, QStringLiteral("Object variable not set: no terminal is selected"));
        if (*row < 0 || std::size_t(*row) >= rows_.size())
            throw Error(errc::ObjectNotSet, QStringLiteral("Object variable not set: the item has no terminal"));
        makeCurrent(module, lookUpTerminal(tool, rows_[std::size_t(*row)].machAddr));
        return currentTerminalStatus(module);
    } catch (const Error& e) {
        return QStringLiteral("错误:") + e.description();
    } catch (const std::exception& e) {
        return QStringLiteral("错误:") + QString::fromLocal8Bit(e.what());
    }
}

int TerminalListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(rows_.size());
}

int TerminalListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : 4;
}

QVariant TerminalListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || std::size_t(index.row()) >= rows_.size())
        return {};
    const TerminalRow& row = rows_[std::size_t(index.row())];
    if (role == Qt::DecorationRole && index.column() == 0)
        return icon_;
    if (role != Qt::DisplayRole)
        return {};
    switch (index.column()) {
    case 0:
        return row.itemText;
    case 1:
        return row.comText;
    case 2:
        return row.verText;
    case 3:
        return row.teamText;
    default:
        return {};
    }
}

QVariant TerminalListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    return listHeader(TerminalHeaders, section, orientation, role);
}

}  // namespace tallyfold
