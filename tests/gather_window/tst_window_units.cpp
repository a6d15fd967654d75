#include "gather_window/operation_guard.h"
#include "gather_window/operator_rights.h"
#include "gather_window/record_list_model.h"
#include "gather_window/terminal_list_model.h"
#include "outside/database_tool.h"
#include "platform/error.h"
#include "support/test_databases.h"

#include <QSignalSpy>
#include <QtTest>

using namespace tallyfold;
using namespace tallyfold::test;

namespace {
class AnswerList : public PermissionAuth {
public:
    QList<Variant> answers;
    int calls = 0;
    Variant CheckPermission(std::shared_ptr<Connection>&, const QString&, QString& user, const Variant&, const QString&,
                            bool, bool) override {
        user = QStringLiteral("renamed");
        if (calls >= answers.size())
            throw Error(-1, QStringLiteral("no answer"));
        return answers[calls++];
    }
};
}  // namespace

// The window's units that need no widget: rights, the one-operation rule, the two lists.
class tst_window_units : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void rightsAndBusy_data();
    void rightsAndBusy();
    void oneOperationAtATime();
    void recordRowsShownInBatches();
    void recordRowsKeptExactly_data();
    void recordRowsKeptExactly();
    void terminalChoice();
};

void tst_window_units::rightsAndBusy_data() {
    QTest::addColumn<QList<Variant>>("answers");
    QTest::addColumn<bool>("running");
    QTest::addColumn<QList<bool>>("enabled");  // 测试 采集 读取 清空 退出
    QTest::newRow("all granted, idle") << QList<Variant>{Variant(true), Variant(true), Variant(true)} << false
                                       << QList<bool>{true, true, true, true, true};
    // Ending an operation must not give back a right that was withdrawn.
    QTest::newRow("test denied, idle") << QList<Variant>{Variant(false), Variant(true), Variant(true)} << false
                                       << QList<bool>{false, true, true, true, true};
    // ".操作" also guards 清空: erasing records is an operation, as the command counts it.
    QTest::newRow("operate denied, idle") << QList<Variant>{Variant(true), Variant(false), Variant(true)} << false
                                          << QList<bool>{true, false, true, false, true};
    QTest::newRow("all granted, running") << QList<Variant>{Variant(true), Variant(true), Variant(true)} << true
                                          << QList<bool>{false, false, false, false, true};
    // The component failing on its second call: the first answer stays, the rest stay allowed.
    QTest::newRow("fails part-way") << QList<Variant>{Variant(false)} << false
                                    << QList<bool>{false, true, true, true, true};
}

void tst_window_units::rightsAndBusy() {
    QFETCH(QList<Variant>, answers);
    QFETCH(bool, running);
    QFETCH(QList<bool>, enabled);
    AnswerList auth;
    auth.answers = answers;
    Mdl_GatherData module;
    module.Pub_UserName = QStringLiteral("op");
    OperatorRights rights;
    try {
        rights.check(auth, std::make_shared<Connection>(), module);
        QCOMPARE(answers.size(), 3);
    } catch (const Error&) {
        QVERIFY(answers.size() < 3);
    }
    // The user name went by reference.
    QCOMPARE(module.Pub_UserName, QStringLiteral("renamed"));
    QList<bool> got;
    for (Button b : {Button::LanTest, Button::Work, Button::Read, Button::Clear, Button::Close})
        got << rights.enabled(b, running);
    QCOMPARE(got, enabled);
}

void tst_window_units::oneOperationAtATime() {
    OperationGuard guard;
    {
        auto first = guard.begin();
        QVERIFY(first && guard.running());
        QVERIFY(!guard.begin());
        guard.deferClose();
    }
    QVERIFY(!guard.running());
    QVERIFY(guard.closeDeferred());
    guard.cancelClose();
    QVERIFY(!guard.closeDeferred() && guard.begin());
}

void tst_window_units::recordRowsShownInBatches() {
    RecordListModel model;
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    for (int i = 0; i < 5; ++i)
        model.append({QStringLiteral("1"), QString::number(i), QStringLiteral("d"), QStringLiteral("t")});
    QCOMPARE(model.rowCount(), 0);
    model.flush();
    model.append({QStringLiteral("1"), QStringLiteral("5"), QStringLiteral("d"), QStringLiteral("t")});
    model.flush();
    model.flush();
    QCOMPARE(inserted.size(), 2);
    QCOMPARE(model.rowCount(), 6);
    QCOMPARE(model.index(5, 1).data().toString(), QStringLiteral("5"));
    QCOMPARE(model.headerData(1, Qt::Horizontal, Qt::UserRole).toString(), QStringLiteral("COM"));
    model.append({});
    model.clear();
    QVERIFY(model.rowCount() == 0 && !model.hasPending());
}

void tst_window_units::recordRowsKeptExactly_data() {
    QTest::addColumn<QStringList>("row");  // 机号 卡号 日期 时间
    QTest::newRow("a record line's row") << QStringList{"10", "123456", "2024-03-05", "11:00:00"};
    QTest::newRow("zeros ahead, highest address") << QStringList{"255", "000001", "2099-12-31", "00:00:00"};
    QTest::newRow("each number at its widest") << QStringList{"0", "999999", "2000-15-31", "31:63:63"};
    // Texts without a record line's shape are shown as they came.
    QTest::newRow("numbers past their widths") << QStringList{"1", "123456", "2024-16-32", "32:64:64"};
    QTest::newRow("address with a zero ahead") << QStringList{"01", "123456", "2024-03-05", "11:00:00"};
    QTest::newRow("address past a byte") << QStringList{"256", "123456", "2024-03-05", "11:00:00"};
    QTest::newRow("letters in the card") << QStringList{"1", "12a45\u00e9", "2024-03-05", "11:00:00"};
    QTest::newRow("chinese card") << QStringList{"1", "卡12345", "2024-03-05", "11:00:00"};
    QTest::newRow("card of seven") << QStringList{"1", "1234567", "2024-03-05", "11:00:00"};
    QTest::newRow("other century") << QStringList{"1", "123456", "1999-03-05", "11:00:00"};
    QTest::newRow("short date, letter in time") << QStringList{"1", "123456", "2024-3-05", "11:0a:00"};
    QTest::newRow("empty") << QStringList{"", "", "", ""};
}

void tst_window_units::recordRowsKeptExactly() {
    QFETCH(QStringList, row);
    RecordListModel model;
    // Between two packed rows, so that a row kept as it came does not shift its neighbours.
    const RecordListModel::Row packed{"1", "111111", "2024-01-01", "01:01:00"};
    model.append(packed);
    model.append({row[0], row[1], row[2], row[3]});
    model.append(packed);
    model.flush();
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c)
            QCOMPARE(model.index(r, c).data().toString(), r == 1 ? row[c] : packed[std::size_t(c)]);
}

void tst_window_units::terminalChoice() {
    TestHome home;
    resetHostDatabase(home.connection(), true);
    HostDatabaseTool tool(home.settings());
    Mdl_GatherData module;
    TerminalListModel list{QIcon()};
    list.reload(tool, module);
    QCOMPARE(list.rowCount(), 2);
    QCOMPARE(module.Pub_MachAddr.toText(), QStringLiteral("1"));
    QCOMPARE(list.choose(1, tool, module), QStringLiteral("当前机器：2 通讯口：1  版本：V1.0"));
    // Nothing selected, or a row that is not there: an error in the status, nothing changed.
    for (std::optional<int> row : {std::optional<int>(), std::optional<int>(7)}) {
        QVERIFY(list.choose(row, tool, module).startsWith(QStringLiteral("错误:")));
        QCOMPARE(module.Pub_MachAddr.toText(), QStringLiteral("2"));
    }
}

QTEST_MAIN(tst_window_units)
#include "tst_window_units.moc"
