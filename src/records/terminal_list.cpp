#include "records/terminal_list.h"

namespace tallyfold {

std::vector<TerminalRow> readTerminalRows(DatabaseTool& tool) {
    auto rs = tool.RecordSetA(TerminalListStatement);
    std::vector<TerminalRow> rows;
    while (!rs->Eof()) {
        TerminalRow row;
        row.machAddr = rs->Fields(QStringLiteral("MachAddr"));
        row.comX = rs->Fields(QStringLiteral("COMX"));
        row.itemText = QStringLiteral("机器") + row.machAddr.toText();
        row.comText = row.comX.toText();
        row.verText = rs->Fields(QStringLiteral("Ver")).toText();
        row.teamText = rs->Fields(QStringLiteral("Team")).toText();
        rows.push_back(std::move(row));
        rs->MoveNext();
    }
    if (rs->State() == adStateOpen)
        rs->Close();
    return rows;
}

CurrentTerminal lookUpTerminal(DatabaseTool& tool, const Variant& machAddr) {
    auto rs = tool.RecordSetA(TerminalLookupStatement, {machAddr.toText()});
    CurrentTerminal terminal;
    terminal.machAddr = rs->Fields(QStringLiteral("MachAddr"));
    terminal.comX = rs->Fields(QStringLiteral("COMX"));
    terminal.machVer = rs->Fields(QStringLiteral("Ver")).toText();
    // Port and address are used as text by every operation: a null here must fail now, not later.
    terminal.machAddr.toText();
    terminal.comX.toText();
    rs->Close();
    return terminal;
}

void makeCurrent(Mdl_GatherData& module, const CurrentTerminal& terminal) {
    module.Pub_MachAddr = terminal.machAddr;
    module.Pub_ComX = terminal.comX;
    module.Pub_MachVer = terminal.machVer;
}

void makeFirstCurrent(Mdl_GatherData& module, const std::vector<TerminalRow>& rows) {
    if (!rows.empty())
        makeCurrent(module, CurrentTerminal{rows.front().machAddr, rows.front().comX, rows.front().verText});
}

QString currentTerminalStatus(const Mdl_GatherData& module) {
    return QStringLiteral("当前机器：") + module.Pub_MachAddr.toText() + QStringLiteral(" 通讯口：") +
           module.Pub_ComX.toText() + QStringLiteral("  版本：") + module.Pub_MachVer;
}

}  // namespace tallyfold
