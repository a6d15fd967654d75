#include "outside/database_tool.h"
#include "outside/host_folder.h"
#include "records/mdl_gather_data.h"
#include "records/operations.h"
#include "support/recording_device.h"
#include "support/recording_view.h"
#include "support/test_databases.h"

#include <QDir>
#include <QFile>
#include <QSqlQuery>
#include <QtTest>

using namespace tallyfold;
using namespace tallyfold::test;

// The gather run, the clearing and the link test against a device that
// records its calls: the exact call order, texts and log rows of each path.
class tst_terminal_operations : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void noTerminal();
    void portDoesNotOpen();
    void nothingTicked();
    void clockCorrectionReadsTheClockOnce();
    void gatherDataFails();
    void sourceFileMissing();
    void addressOutOfRange();
    void threeLinesWithBadMiddle();
    void secondGatherStoresNothing();
    void failedTransferLeavesNoCopy();
    void thenClear_data();
    void thenClear();
    void clear();
    void clearFailing();
    void linkTest();

private:
    Outcome gather(GatherOptions options = {});
    QStringList logRows();

    std::unique_ptr<TestHome> home_;
    std::unique_ptr<RecordingDeviceRegistration> device_;
    Mdl_GatherData module_;
    std::unique_ptr<GatherSession> session_;
    RecordingView view_;
};

void tst_terminal_operations::init() {
    home_ = std::make_unique<TestHome>();
    resetHostDatabase(home_->connection(), true);
    device_ = std::make_unique<RecordingDeviceRegistration>();
    module_ = Mdl_GatherData();
    session_ = std::make_unique<GatherSession>(module_, home_->settings());
    session_->createComponents();
    session_->clock = [] { return QDateTime(QDate(2024, 3, 5), QTime(23, 59, 59)); };
    view_ = RecordingView();
    getTimeBZBE(*session_->DbTool, session_->times, view_);
    Mdl_GatherData& m = module_;
    m.Pub_DateQuote = QStringLiteral("'");
    m.Pub_UserName = QStringLiteral("op");
    m.Pub_MachAddr = Variant(QStringLiteral("3"));
    m.Pub_ComX = Variant(2);
    m.Pub_MachVer = QStringLiteral("V1.0");
}

void tst_terminal_operations::cleanup() {
    session_.reset();
    device_.reset();
    home_.reset();
}

Outcome tst_terminal_operations::gather(GatherOptions options) {
    return runGather(*session_, view_, options);
}

QStringList tst_terminal_operations::logRows() {
    QStringList rows;
    QSqlQuery q(sharedConnection(home_->connection())->database());
    q.exec(QStringLiteral("select UserA, TimeA, ObjectA, ActionA, ResultA from CtrlLog order by LogID"));
    while (q.next())
        rows << QStringList{q.value(0).toString(),
                            q.value(1).toDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
                            q.value(2).toString(), q.value(3).toString(), q.value(4).toString()}
                    .join(QLatin1Char('|'));
    return rows;
}

void tst_terminal_operations::noTerminal() {
    module_.Pub_MachAddr = Variant();
    view_.records << QStringList{"earlier"};
    QCOMPARE(gather(), Outcome::Refused);
    QCOMPARE(view_.boxTexts(), QStringList{QStringLiteral("错误：\r\n机器参数错误，请查证后重试...")});
    QCOMPARE(view_.boxes[0].title, QStringLiteral("系统提示"));
    QCOMPARE(view_.statuses, (QStringList{QString(), QStringLiteral("机器[]的任务处理中止。原因：{机器参数错误}")}));
    QVERIFY(view_.records.isEmpty());
    QVERIFY(view_.captions.isEmpty());
    QCOMPARE(runLinkTest(*session_, view_), Outcome::Refused);
    QCOMPARE(runClear(*session_, view_), Outcome::Refused);
    QCOMPARE(view_.boxes.size(), 3);
    QVERIFY(device_->script->calls.isEmpty());
    QVERIFY(logRows().isEmpty());
}

void tst_terminal_operations::portDoesNotOpen() {
    device_->script->setPort = false;
    QCOMPARE(gather(), Outcome::Refused);
    QCOMPARE(device_->script->calls, (QStringList{"SetPort(2)", "DestoryPort()"}));
    QCOMPARE(view_.boxTexts(), QStringList{QStringLiteral("机器[3]的串口打开失败......")});
    QCOMPARE(view_.boxes[0].icon, MessageIcon::None);
    QVERIFY(view_.boxes[0].title.isEmpty());
    QCOMPARE(view_.statuses.last(), QStringLiteral("机器[3]的任务处理中止。原因：{串口打开失败}"));
    QVERIFY(logRows().isEmpty());
    // A Null answer is not False: the run goes on.
    device_->script->setPort = std::nullopt;
    QCOMPARE(gather({Tick::Clear, Tick::Clear, Tick::Clear}), Outcome::Completed);
}

void tst_terminal_operations::nothingTicked() {
    QCOMPARE(gather({Tick::Clear, Tick::Clear, Tick::Clear}), Outcome::Completed);
    QCOMPARE(device_->script->calls, (QStringList{"SetPort(2)", "DestoryPort()"}));
    QCOMPARE(view_.statuses, (QStringList{QString(), QStringLiteral("开始执行机器[3]的处理任务......")}));
    QVERIFY(view_.captions.isEmpty());
    QCOMPARE(logRows(), QStringList{QStringLiteral("op|2024-03-05 23:59:59|数据采集|机器:3|采集成功！")});
    // Greyed counts as not ticked.
    device_->script->calls.clear();
    QCOMPARE(gather({Tick::Greyed, Tick::Greyed, Tick::Greyed}), Outcome::Completed);
    QCOMPARE(device_->script->calls, (QStringList{"SetPort(2)", "DestoryPort()"}));
}

void tst_terminal_operations::clockCorrectionReadsTheClockOnce() {
    int readings = 0;
    session_->clock = [&readings] {
        // Each reading is a second later: one reading gives one consistent moment.
        return QDateTime(QDate(2024, 3, 5), QTime(23, 59, 59)).addSecs(readings++);
    };
    device_->script->changeTime = std::nullopt;
    QCOMPARE(gather({Tick::Ticked, Tick::Clear, Tick::Clear}), Outcome::Completed);
    QCOMPARE(device_->script->calls,
             (QStringList{"SetPort(2)", "ChangeDate(\"3\",2024,3,5)", "ChangeTime(\"3\",23,59,59)", "DestoryPort()"}));
    QCOMPARE(view_.statuses.mid(2),
             (QStringList{QStringLiteral("机器[3]校正日期成功......"), QStringLiteral("机器[3]校正时间失败......")}));
}

void tst_terminal_operations::gatherDataFails() {
    device_->script->gatherData = false;
    QCOMPARE(gather(), Outcome::DeviceFailed);
    QCOMPARE(device_->script->calls, (QStringList{"SetPort(2)", "GatherData(3,\"\",\"\")", "DestoryPort()"}));
    QCOMPARE(view_.statuses.mid(2), (QStringList{QStringLiteral("正在进行机器[3]的数据采集......"),
                                                 QStringLiteral("机器[3]数据采集失败......"),
                                                 QStringLiteral("正在进行机器[3]的考勤数据另存......"),
                                                 QStringLiteral("机器[3]的考勤数据另存失败......")}));
    QCOMPARE(view_.captions, QStringList{QStringLiteral("机器[3]数据采集失败......")});
    QCOMPARE(logRows(), QStringList{QStringLiteral("op|2024-03-05 23:59:59|数据采集|机器:3|采集失败！")});
}

void tst_terminal_operations::sourceFileMissing() {
    QFile::remove(home_->settings().sourceRecordFile());
    QCOMPARE(gather(), Outcome::Refused);
    QCOMPARE(device_->script->calls, (QStringList{"SetPort(2)", "GatherData(3,\"\",\"\")", "DestoryPort()"}));
    QCOMPARE(view_.boxTexts(), QStringList{QStringLiteral("考勤机：[3]没有数据可采集!")});
    QCOMPARE(view_.boxes[0].icon, MessageIcon::Information);
    QVERIFY(logRows().isEmpty());
}

void tst_terminal_operations::addressOutOfRange() {
    module_.Pub_MachAddr = Variant(QStringLiteral("70000"));
    QCOMPARE(gather(), Outcome::Trapped);
    QCOMPARE(device_->script->calls, (QStringList{"SetPort(2)", "DestoryPort()"}));
    QCOMPARE(view_.statuses.last(), QStringLiteral("正在进行机器[70000]的数据采集......"));
    QCOMPARE(view_.boxes.size(), 1);
    QVERIFY(view_.boxes[0].text.startsWith(QStringLiteral("出错：Overflow")));
    QVERIFY(logRows().isEmpty());
}

void tst_terminal_operations::threeLinesWithBadMiddle() {
    device_->script->sourceContent = QByteArray("031111112403050730\r\n032222222413050731\r\n033333332403050732\r\n");
    QCOMPARE(gather(), Outcome::Completed);
    QCOMPARE(view_.records.size(), 2);
    const QString summary = QStringLiteral("机器[3]数据采集成功,记录总数：3,正确处理记录数： 2");
    QVERIFY(view_.statuses.contains(summary));
    QCOMPARE(view_.captions, QStringList{summary});
    QCOMPARE(view_.boxTexts(), QStringList{QStringLiteral("数据采集过程中出现了[ 1]个错误，是否查看详细记录？")});
    QCOMPARE(view_.failedShown, 1);
    QCOMPARE(view_.failedLines, (QList<QStringList>{{"R1", "2", "032222222413050731"}}));
    // The dated copy carries the terminal and the clock's moment.
    QVERIFY(QFile::exists(home_->file(QStringLiteral("Database/320240305235959.txt"))));
    QCOMPARE(view_.statuses.last(), QStringLiteral("机器[3]的考勤数据另存成功......"));
    QCOMPARE(device_->script->calls.last(), QStringLiteral("DestoryPort()"));
    QCOMPARE(logRows().size(), 1);
}

void tst_terminal_operations::secondGatherStoresNothing() {
    device_->script->sourceContent = QByteArray("031111112403050730\r\n041111112403050731\r\n");
    gather();
    gather();
    QCOMPARE(view_.records.size(), 2);
    QVERIFY(view_.statuses.contains(QStringLiteral("机器[3]数据采集成功,记录总数：2,正确处理记录数： 0")));
    // A line naming another terminal is stored with its own address.
    QCOMPARE(scalar(home_->connection(), QStringLiteral("select count(*) from Tcon_ConsumeDtl where MachAddr=4")),
             QStringLiteral("1"));
}

void tst_terminal_operations::failedTransferLeavesNoCopy() {
    const QString source = home_->settings().sourceRecordFile();
    writeFile(source, "031111112403050730\r\n");  // what an earlier gather left
    device_->script->gatherData = false;
    QCOMPARE(gather(), Outcome::DeviceFailed);
    QCOMPARE(view_.statuses.last(), QStringLiteral("机器[3]的考勤数据另存失败......"));
    QVERIFY(QDir(home_->file(QStringLiteral("Database"))).entryList({QStringLiteral("3*.txt")}).isEmpty());
    // Without "采集考勤记录" the file that is there is saved, as it always was.
    writeFile(source, "031111112403050730\r\n");
    QCOMPARE(gather({Tick::Clear, Tick::Clear, Tick::Ticked}), Outcome::Completed);
    QCOMPARE(view_.statuses.last(), QStringLiteral("机器[3]的考勤数据另存成功......"));
}

void tst_terminal_operations::thenClear_data() {
    QTest::addColumn<QByteArray>("source");
    QTest::addColumn<bool>("gathered");
    QTest::addColumn<int>("save");
    QTest::addColumn<bool>("dropRows");  // the database quietly drops inserted rows
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QString>("lastStatus");
    QTest::addColumn<QStringList>("logResults");
    const QByteArray clean("031111112403050730\r\n032222222403050731\r\n");
    const QString refused = QStringLiteral("机器[3]的数据清理中止。原因：{%1}");
    QTest::newRow("verified") << clean << true << 1 << false << int(Outcome::Completed)
                              << QStringLiteral("机器[3]的数据清理成功")
                              << QStringList{QStringLiteral("采集成功！"), QStringLiteral("数据清理成功！")};
    QTest::newRow("a failed line") << QByteArray("031111112403050730\r\n032222222413050731\r\n") << true << 1 << false
                                   << int(Outcome::Refused) << refused.arg(QStringLiteral("存在错误记录"))
                                   << QStringList{QStringLiteral("采集成功！")};
    QTest::newRow("rows not in the table")
        << clean << true << 1 << true << int(Outcome::Refused) << refused.arg(QStringLiteral("记录未全部入库"))
        << QStringList{QStringLiteral("采集成功！")};
    QTest::newRow("no saved copy") << clean << true << 0 << false << int(Outcome::Refused)
                                   << refused.arg(QStringLiteral("采集文件未另存"))
                                   << QStringList{QStringLiteral("采集成功！")};
    QTest::newRow("transfer failed") << clean << false << 1 << false << int(Outcome::DeviceFailed)
                                     << refused.arg(QStringLiteral("数据采集失败"))
                                     << QStringList{QStringLiteral("采集失败！")};
}

// The terminal is erased only after a gather whose every record is in the database and in a saved copy.
void tst_terminal_operations::thenClear() {
    QFETCH(QByteArray, source);
    QFETCH(bool, gathered);
    QFETCH(int, save);
    QFETCH(bool, dropRows);
    QFETCH(int, outcome);
    QFETCH(QString, lastStatus);
    QFETCH(QStringList, logResults);
    device_->script->sourceContent = source;
    device_->script->gatherData = gathered;
    if (dropRows)
        execute(home_->connection(), QStringLiteral("create trigger tf_drop before insert on Tcon_ConsumeDtl "
                                                    "begin select raise(ignore); end"));
    view_.answers = {MessageAnswer::No};
    GatherOptions options{Tick::Clear, Tick::Ticked, Tick(save)};
    options.thenClear = true;
    QCOMPARE(int(gather(options)), outcome);
    QCOMPARE(view_.statuses.last(), lastStatus);
    const bool cleared = outcome == int(Outcome::Completed);
    QCOMPARE(device_->script->calls.contains(QStringLiteral("ClearRecord(\"3\")")), cleared);
    QCOMPARE(device_->script->calls.last(), QStringLiteral("DestoryPort()"));
    QCOMPARE(view_.details.isEmpty(), cleared);
    QStringList results;
    for (const QString& row : logRows())
        results << row.section(QLatin1Char('|'), 4);
    QCOMPARE(results, logResults);
}

void tst_terminal_operations::clear() {
    module_.Pub_MachAddr = Variant(5);
    view_.answers = {MessageAnswer::Cancel};
    QCOMPARE(runClear(*session_, view_), Outcome::Cancelled);
    QCOMPARE(view_.boxes[0].text, QStringLiteral("确认要清除机器：[5] 的打卡记录吗？"));
    QCOMPARE(view_.boxes[0].buttons, MessageButtons::OkCancel);
    QCOMPARE(view_.boxes[0].defaultAnswer, MessageAnswer::Cancel);
    QVERIFY(device_->script->calls.isEmpty() && view_.statuses.isEmpty() && logRows().isEmpty());

    QCOMPARE(runClear(*session_, view_), Outcome::Completed);
    QCOMPARE(device_->script->calls, (QStringList{"SetPort(2)", "ClearRecord(5)", "DestoryPort()"}));
    QCOMPARE(view_.statuses,
             (QStringList{QStringLiteral("正在进行机器[5]的数据清理"), QStringLiteral("机器[5]的数据清理成功")}));
    QCOMPARE(logRows(), QStringList{QStringLiteral("op|2024-03-05 23:59:59|清除机器|机器:5|数据清理成功！")});
}

void tst_terminal_operations::clearFailing() {
    device_->script->clearRecord = std::nullopt;
    QCOMPARE(runClear(*session_, view_), Outcome::DeviceFailed);
    QCOMPARE(view_.statuses.last(), QStringLiteral("机器[3]的数据清理失败"));
    QCOMPARE(logRows(), QStringList{QStringLiteral("op|2024-03-05 23:59:59|清除机器|机器:3|数据清理失败！")});
    device_->script->setPort = false;
    device_->script->calls.clear();
    QCOMPARE(runClear(*session_, view_), Outcome::Refused);
    QCOMPARE(device_->script->calls, (QStringList{"SetPort(2)", "DestoryPort()"}));
    QCOMPARE(view_.boxes.last().text, QStringLiteral("机器[3]的串口打开失败"));
    QCOMPARE(view_.statuses.last(), QStringLiteral("机器[3]的任务处理中止。原因：{串口打开失败}"));
    QCOMPARE(logRows().size(), 1);
}

void tst_terminal_operations::linkTest() {
    QCOMPARE(runLinkTest(*session_, view_), Outcome::Completed);
    QCOMPARE(device_->script->calls, (QStringList{"SetPort(2)", "ChangeTime(\"3\",23,59,59)", "DestoryPort()"}));
    QCOMPARE(view_.boxTexts(), QStringList{QStringLiteral("提示：\r\n通讯测试成功!")});
    QCOMPARE(view_.boxes[0].title, QStringLiteral("系统提示"));

    device_->script->changeTime = false;
    device_->script->calls.clear();
    QCOMPARE(runLinkTest(*session_, view_), Outcome::DeviceFailed);
    QCOMPARE(view_.boxes.last().text, QStringLiteral("提示：\r\n通讯测试失败!"));
    QCOMPARE(device_->script->calls.last(), QStringLiteral("DestoryPort()"));

    // Only True opens the way; Null does not.
    device_->script->setPort = std::nullopt;
    device_->script->calls.clear();
    QCOMPARE(runLinkTest(*session_, view_), Outcome::Refused);
    QCOMPARE(device_->script->calls, (QStringList{"SetPort(2)", "DestoryPort()"}));
    QCOMPARE(view_.boxes.last().text, QStringLiteral("提示：\r\n串口打开失败!"));

    module_.Pub_ComX = Variant(QStringLiteral("COM2"));
    device_->script->calls.clear();
    QCOMPARE(runLinkTest(*session_, view_), Outcome::Trapped);
    QVERIFY(device_->script->calls.isEmpty());
    QVERIFY(view_.boxes.last().text.startsWith(QStringLiteral("出错：Type mismatch")));
    QVERIFY(view_.statuses.isEmpty());
}

QTEST_GUILESS_MAIN(tst_terminal_operations)
#include "tst_terminal_operations.moc"
