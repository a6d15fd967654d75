#include "outside/database_tool.h"
#include "platform/error.h"
#include "records/terminal_list.h"
#include "support/test_databases.h"

#include <QtTest>

using namespace tallyfold;
using namespace tallyfold::test;

class tst_terminal_list : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void listsCountTypeInAddressOrder_data() { addBackendRows(); }
    void listsCountTypeInAddressOrder();
    void lookUpByStoredValue_data() { addBackendRows(); }
    void lookUpByStoredValue();
    void nullColumnFails_data() { addBackendRows(); }
    void nullColumnFails();
};

static void addTerminal(const QString& cs, const char* addr, const char* desc, const char* com, const char* ver) {
    execute(
        cs,
        QStringLiteral("insert into MachineInfo (MachAddr, MachDesc, COMX, Ver, Team) values (%1, '%2', %3, %4, 'T')")
            .arg(QString::fromUtf8(addr), QString::fromUtf8(desc), QString::fromUtf8(com), QString::fromUtf8(ver)));
}

void tst_terminal_list::listsCountTypeInAddressOrder() {
    TALLYFOLD_DATABASE_TEST(home, false);
    addTerminal(home.connection(), "'7'", "记次", "2", "'V2'");
    addTerminal(home.connection(), "'5'", "计次", "1", "'V1.0'");
    addTerminal(home.connection(), "'6'", "考勤", "1", "'V1'");
    addTerminal(home.connection(), "'8'", "计次 ", "1", "'V1'");
    HostDatabaseTool tool(home.settings());
    const std::vector<TerminalRow> rows = readTerminalRows(tool);
    QCOMPARE(rows.size(), std::size_t(2));
    QCOMPARE(rows[0].itemText, QStringLiteral("机器5"));
    QCOMPARE(rows[0].comText, QStringLiteral("1"));
    QCOMPARE(rows[0].verText, QStringLiteral("V1.0"));
    QCOMPARE(rows[1].itemText, QStringLiteral("机器7"));
}

void tst_terminal_list::lookUpByStoredValue() {
    TALLYFOLD_DATABASE_TEST(home, false);
    addTerminal(home.connection(), "'123'", "计次", "3", "'V3'");
    addTerminal(home.connection(), "'23'", "计次", "4", "'V4'");
    addTerminal(home.connection(), "'05'", "计次", "5", "'V5'");
    addTerminal(home.connection(), "'5'", "计次", "6", "'V6'");
    addTerminal(home.connection(), "'O''Brien'", "计次", "7", "'V7'");
    HostDatabaseTool tool(home.settings());
    QCOMPARE(lookUpTerminal(tool, Variant(QStringLiteral("123"))).comX.toText(), QStringLiteral("3"));
    QCOMPARE(lookUpTerminal(tool, Variant(QStringLiteral("05"))).comX.toText(), QStringLiteral("5"));
    QCOMPARE(lookUpTerminal(tool, Variant(QStringLiteral("5"))).machVer, QStringLiteral("V6"));
    // An address that would end the literal early is looked up as itself.
    QCOMPARE(lookUpTerminal(tool, Variant(QStringLiteral("O'Brien"))).comX.toText(), QStringLiteral("7"));
    QVERIFY_THROWS_EXCEPTION(Error, lookUpTerminal(tool, Variant(QStringLiteral("99"))));

    Mdl_GatherData module;
    makeCurrent(module, lookUpTerminal(tool, Variant(QStringLiteral("123"))));
    QCOMPARE(currentTerminalStatus(module), QStringLiteral("当前机器：123 通讯口：3  版本：V3"));
}

void tst_terminal_list::nullColumnFails() {
    TALLYFOLD_DATABASE_TEST(home, false);
    addTerminal(home.connection(), "'1'", "计次", "1", "null");
    HostDatabaseTool tool(home.settings());
    QVERIFY_THROWS_EXCEPTION(Error, readTerminalRows(tool));
    QVERIFY_THROWS_EXCEPTION(Error, lookUpTerminal(tool, Variant(QStringLiteral("1"))));
}

QTEST_GUILESS_MAIN(tst_terminal_list)
#include "tst_terminal_list.moc"
