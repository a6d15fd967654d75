#pragma once

#include "records/terminal_list.h"

#include <QAbstractTableModel>
#include <QIcon>
#include <optional>
#include <vector>

namespace tallyfold {

// The terminal list: the count-type terminals as rows of "机号", "串口", "版本" and
// "组别", and which of them the operator makes current. Needs no widget.
class TerminalListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit TerminalListModel(QIcon icon, QObject* parent = nullptr);

    // Reads the list again; its first terminal becomes current, with none the current one stays.
    // Returns the row made current, if any. Raises on a failing query or a null column,
    // leaving the list as it was.
    std::optional<int> reload(DatabaseTool& tool, Mdl_GatherData& module);
    // The operator clicked `row` (empty: nothing selected): that terminal is read again by
    // its address and becomes current. Returns the status text; on failure "错误:" and
    // the reason, with what had already changed left changed.
    QString choose(std::optional<int> row, DatabaseTool& tool, Mdl_GatherData& module) const;

    const std::vector<TerminalRow>& terminals() const { return rows_; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    std::vector<TerminalRow> rows_;
    QIcon icon_;
};

// Column keys and captions of the two lists; the key is the header's Qt::UserRole.
inline constexpr const char* ColumnKeys[4] = {"Machine", "COM", "Ver", "Team"};
inline constexpr const char* TerminalHeaders[4] = {"机号", "串口", "版本", "组别"};
inline constexpr const char* RecordHeaders[4] = {"机号", "卡号", "日期", "时间"};
QVariant listHeader(const char* const (&captions)[4], int section, Qt::Orientation orientation, int role);

}  // namespace tallyfold
