#pragma once

#include "outside/interfaces.h"
#include "records/mdl_gather_data.h"

#include <vector>

namespace tallyfold {

// One count-type terminal as the list shows it; machAddr keeps the column value as it came.
struct TerminalRow {
    Variant machAddr;
    Variant comX;
    QString itemText;  // "机器" + address
    QString comText;
    QString verText;
    QString teamText;
};

struct CurrentTerminal {
    Variant machAddr;
    Variant comX;
    QString machVer;
};

inline const QString TerminalListStatement =
    QStringLiteral("Select * From MachineInfo where (MachDesc='计次' or MachDesc='记次') Order By MachAddr");
// One terminal by its address, which is bound to the '?'.
inline const QString TerminalLookupStatement =
    QStringLiteral("Select * From MachineInfo where machaddr=? Order By MachAddr");

// The count-type terminals in list order; a null column raises.
std::vector<TerminalRow> readTerminalRows(DatabaseTool& tool);

// Reads the terminal with this MachAddr completely; raises when there is no such row or a column is null.
CurrentTerminal lookUpTerminal(DatabaseTool& tool, const Variant& machAddr);

// Makes a terminal current: all three shared variables change together.
void makeCurrent(Mdl_GatherData& module, const CurrentTerminal& terminal);

// The first listed terminal becomes current; with none listed the current one stays.
void makeFirstCurrent(Mdl_GatherData& module, const std::vector<TerminalRow>& rows);

// "当前机器：3 通讯口：2  版本：V1.0"
QString currentTerminalStatus(const Mdl_GatherData& module);

}  // namespace tallyfold
