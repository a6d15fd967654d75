#include "outside/database_tool.h"
#include "outside/host_folder.h"
#include "records/mdl_gather_data.h"
#include "records/operations.h"
#include "records/terminal_list.h"
#include "support/recording_view.h"
#include "support/terminal_sim_process.h"
#include "support/test_databases.h"

#include <QFile>
#include <QtTest>

using namespace tallyfold;
using namespace tallyfold::test;

// Gather runs, clearing and link tests through the real serial link and the
// terminal simulator on a pseudo-terminal, into a real database.
class tst_gather_end_to_end : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void gatherTwiceWithClock_data() { addBackendRows(); }
    void gatherTwiceWithClock();
    void badLineInTheMiddle_data() { addBackendRows(); }
    void badLineInTheMiddle();
    void emptyAndSilentTerminals_data() { addBackendRows(); }
    void emptyAndSilentTerminals();
    void cutTransferThenRetry_data() { addBackendRows(); }
    void cutTransferThenRetry();
    void garbledReplies_data() { addBackendRows(); }
    void garbledReplies();
    void clearing_data() { addBackendRows(); }
    void clearing();
    void clearingAfterVerifiedGather_data() { addBackendRows(); }
    void clearingAfterVerifiedGather();
    void linkTest_data() { addBackendRows(); }
    void linkTest();
};

namespace {
QByteArray records(int count, int terminal, int firstCard = 1) {
    QByteArray text;
    const QDateTime start(QDate(2024, 3, 5), QTime(11, 0));
    for (int i = 0; i < count; ++i)
        text += QStringLiteral("%1%2%3\n")
                    .arg(terminal, 2, 16, QLatin1Char('0'))
                    .arg(firstCard + i, 6, 10, QLatin1Char('0'))
                    .arg(start.addSecs(60 * i).toString(QStringLiteral("yyMMddHHmm")))
                    .toUpper()
                    .toLatin1();
    return text;
}

// A host folder whose port 1 is the simulator's line, terminals 1 to 3 on it
// (3 never answers), and what the window holds after its load.
struct Bench {
    TestHome home;
    TerminalSimProcess sim;
    Mdl_GatherData module;
    GatherSession session{module, home.settings()};
    RecordingView view;

    Bench(const QString& connection, const QByteArray& terminal1, const QStringList& faults = {}) : home(connection) {
        resetHostDatabase(home.connection());
        for (int t : {1, 2, 3})
            execute(
                home.connection(),
                QStringLiteral(
                    "insert into MachineInfo (MachAddr, MachDesc, COMX, Ver, Team) values ('%1', '计次', 1, 'V1', 'x')")
                    .arg(t));
        writeFile(home.file(QStringLiteral("t1.txt")), terminal1);
        writeFile(home.file(QStringLiteral("Config/Ports.ini")),
                  QStringLiteral("[Ports]\n1=%1\nbaud=115200\n").arg(home.file(QStringLiteral("bus"))).toUtf8());
        QStringList args{"--terminal",  "1=" + home.file(QStringLiteral("t1.txt")),
                         "--terminal",  "2",
                         "--terminal",  "3",
                         "--silent",    "3",
                         "--baud",      "115200",
                         "--state-dir", home.file(QStringLiteral("Source"))};
        if (!sim.start(home.file(QStringLiteral("bus")), args + faults))
            qFatal("simulator: %s", qPrintable(sim.errorString()));
        Mdl_GatherData& m = module;
        m.Pub_DateQuote = QStringLiteral("'");
        m.Pub_UserName = QStringLiteral("op");
        session.createComponents();
        session.times = BusinessDayTimes{QTime(0, 0), QTime(0, 0), QTime(23, 59, 59), {}};  // as read: no day moves
        session.clock = [] { return QDateTime(QDate(2024, 3, 5), QTime(10, 20, 30)); };
        choose(1);
    }
    void choose(int terminal) {
        makeCurrent(module, lookUpTerminal(*session.DbTool, Variant(QString::number(terminal))));
    }
    QString count(const QString& where = QStringLiteral("1=1")) {
        return scalar(home.connection(), QStringLiteral("select count(*) from Tcon_ConsumeDtl where ") + where);
    }
    QString lastLogResult() {
        return scalar(home.connection(), QStringLiteral("select ResultA from CtrlLog order by LogID desc"));
    }
};
}  // namespace

#define BACKEND                      \
    QFETCH(QString, connection);     \
    if (!requireBackend(connection)) \
    return

void tst_gather_end_to_end::gatherTwiceWithClock() {
    BACKEND;
    Bench b(connection, records(25, 1));
    QCOMPARE(runGather(b.session, b.view, GatherOptions{Tick::Ticked, Tick::Ticked, Tick::Ticked}), Outcome::Completed);
    QVERIFY(b.sim.waitForEvent(QStringLiteral("date 1 2024-03-05")));
    QVERIFY(b.sim.waitForEvent(QStringLiteral("time 1 10:20:30")));
    QCOMPARE(b.view.records.size(), 25);
    QCOMPARE(b.view.records[0], (QStringList{"1", "000001", "2024-03-05", "11:00:00"}));
    QCOMPARE(b.view.captions.last(), QStringLiteral("机器[1]数据采集成功,记录总数：25,正确处理记录数： 25"));
    QCOMPARE(b.count(), QStringLiteral("25"));
    QCOMPARE(b.lastLogResult(), QStringLiteral("采集成功！"));
    QFile copy(b.home.file(QStringLiteral("Database/120240305102030.txt")));
    QVERIFY(copy.open(QIODevice::ReadOnly));
    QCOMPARE(copy.readAll().replace("\r\n", "\n"), records(25, 1));

    QCOMPARE(runGather(b.session, b.view, GatherOptions{Tick::Clear, Tick::Ticked, Tick::Clear}), Outcome::Completed);
    QCOMPARE(b.view.records.size(), 25);
    QCOMPARE(b.view.captions.last(), QStringLiteral("机器[1]数据采集成功,记录总数：25,正确处理记录数： 0"));
    QCOMPARE(b.count(), QStringLiteral("25"));
}

void tst_gather_end_to_end::badLineInTheMiddle() {
    BACKEND;
    Bench b(connection, "011111112403051100\n012222222413051101\n013333332403051102\n");
    b.view.answers = {MessageAnswer::Yes};
    QCOMPARE(runGather(b.session, b.view, GatherOptions{Tick::Clear, Tick::Ticked, Tick::Clear}), Outcome::Completed);
    QCOMPARE(b.view.records.size(), 2);
    QCOMPARE(b.count(), QStringLiteral("2"));
    QCOMPARE(b.view.boxTexts(), QStringList{QStringLiteral("数据采集过程中出现了[ 1]个错误，是否查看详细记录？")});
    QCOMPARE(b.view.failedLines, (QList<QStringList>{{"R1", "2", "012222222413051101"}}));
}

void tst_gather_end_to_end::emptyAndSilentTerminals() {
    BACKEND;
    Bench b(connection, records(3, 1));
    b.choose(2);
    QCOMPARE(runGather(b.session, b.view, GatherOptions{Tick::Clear, Tick::Ticked, Tick::Clear}), Outcome::Completed);
    QCOMPARE(b.view.captions.last(), QStringLiteral("机器[2]数据采集成功,记录总数：0,正确处理记录数： 0"));
    QVERIFY(b.view.boxes.isEmpty());
    QCOMPARE(b.lastLogResult(), QStringLiteral("采集成功！"));

    // The port opens, but terminal 3 never answers: a failure, said as one.
    b.choose(3);
    QCOMPARE(runGather(b.session, b.view, GatherOptions{Tick::Clear, Tick::Ticked, Tick::Clear}),
             Outcome::DeviceFailed);
    QCOMPARE(b.view.statuses.last(), QStringLiteral("机器[3]数据采集失败......"));
    QCOMPARE(b.view.captions.last(), QStringLiteral("机器[3]数据采集失败......"));
    QCOMPARE(b.lastLogResult(), QStringLiteral("采集失败！"));
}

void tst_gather_end_to_end::cutTransferThenRetry() {
    BACKEND;
    // Cut in the first try and in its one retry: the run fails; the next run gets everything once.
    Bench b(connection, records(150, 1), {"--cut-after", "70", "--cut-times", "2"});
    QCOMPARE(runGather(b.session, b.view, GatherOptions{Tick::Clear, Tick::Ticked, Tick::Clear}),
             Outcome::DeviceFailed);
    QCOMPARE(b.count(), QStringLiteral("0"));
    QCOMPARE(runGather(b.session, b.view, GatherOptions{Tick::Clear, Tick::Ticked, Tick::Clear}), Outcome::Completed);
    QCOMPARE(b.count(), QStringLiteral("150"));
    QCOMPARE(b.count(QStringLiteral("Cardid='000150'")), QStringLiteral("1"));
}

void tst_gather_end_to_end::garbledReplies() {
    BACKEND;
    Bench b(connection, records(200, 1), {"--garble", "5", "--seed", "8"});
    QCOMPARE(runGather(b.session, b.view, GatherOptions{Tick::Clear, Tick::Ticked, Tick::Clear}), Outcome::Completed);
    QCOMPARE(b.view.records.size(), 200);
    QCOMPARE(b.count(), QStringLiteral("200"));
    QCOMPARE(scalar(b.home.connection(), QStringLiteral("select count(distinct Cardid) from Tcon_ConsumeDtl")),
             QStringLiteral("200"));
}

void tst_gather_end_to_end::clearing() {
    BACKEND;
    Bench b(connection, records(5, 1));
    b.view.answers = {MessageAnswer::Cancel};
    QCOMPARE(runClear(b.session, b.view), Outcome::Cancelled);
    QCOMPARE(runClear(b.session, b.view), Outcome::Completed);
    QVERIFY(b.sim.waitForEvent(QStringLiteral("cleared 1")));
    QCOMPARE(b.view.statuses.last(), QStringLiteral("机器[1]的数据清理成功"));
    QFile state(b.home.file(QStringLiteral("Source/1.txt")));
    QVERIFY(state.open(QIODevice::ReadOnly));
    QCOMPARE(state.readAll(), QByteArray());
    QCOMPARE(b.lastLogResult(), QStringLiteral("数据清理成功！"));
    // The port the clearing left open does not block the next run.
    QCOMPARE(runGather(b.session, b.view, GatherOptions{Tick::Clear, Tick::Ticked, Tick::Clear}), Outcome::Completed);
    QCOMPARE(b.view.captions.last(), QStringLiteral("机器[1]数据采集成功,记录总数：0,正确处理记录数： 0"));
}

void tst_gather_end_to_end::clearingAfterVerifiedGather() {
    BACKEND;
    GatherOptions thenClear{Tick::Clear, Tick::Ticked, Tick::Ticked};
    thenClear.thenClear = true;
    auto terminalRecords = [](Bench& b) {
        QFile state(b.home.file(QStringLiteral("Source/1.txt")));
        return state.open(QIODevice::ReadOnly) ? state.readAll() : QByteArray("missing");
    };
    {
        // A line that failed: the terminal keeps every record.
        Bench b(connection, "011111112403051100\n012222222413051101\n");
        b.view.answers = {MessageAnswer::No};
        QCOMPARE(runGather(b.session, b.view, thenClear), Outcome::Refused);
        QCOMPARE(b.view.statuses.last(), QStringLiteral("机器[1]的数据清理中止。原因：{存在错误记录}"));
        QVERIFY(!terminalRecords(b).isEmpty());
    }
    Bench b(connection, records(40, 1));
    QCOMPARE(runGather(b.session, b.view, thenClear), Outcome::Completed);
    // Only what was read: a swipe taken meanwhile would stay.
    QVERIFY(b.sim.waitForEvent(QStringLiteral("cleared 1 below 40")));
    QCOMPARE(terminalRecords(b), QByteArray());
    QCOMPARE(b.count(), QStringLiteral("40"));
    QCOMPARE(b.lastLogResult(), QStringLiteral("数据清理成功！"));
}

void tst_gather_end_to_end::linkTest() {
    BACKEND;
    Bench b(connection, records(1, 1));
    QCOMPARE(runLinkTest(b.session, b.view), Outcome::Completed);
    QCOMPARE(b.view.boxTexts(), QStringList{QStringLiteral("提示：\r\n通讯测试成功!")});
    QVERIFY(b.sim.waitForEvent(QStringLiteral("time 1 10:20:30")));
    b.choose(3);
    QCOMPARE(runLinkTest(b.session, b.view), Outcome::DeviceFailed);
    QCOMPARE(b.view.boxTexts().last(), QStringLiteral("提示：\r\n通讯测试失败!"));
    b.module.Pub_MachAddr = Variant();
    QCOMPARE(runLinkTest(b.session, b.view), Outcome::Refused);
    QCOMPARE(b.view.boxTexts().last(), QStringLiteral("错误：\r\n机器参数错误，请查证后重试..."));
}

QTEST_GUILESS_MAIN(tst_gather_end_to_end)
#include "tst_gather_end_to_end.moc"
