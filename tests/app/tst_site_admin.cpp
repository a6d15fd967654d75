#include "commands.h"
#include "outside/database_tool.h"
#include "records/gather_history.h"
#include "run.h"
#include "support/test_databases.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlQuery>
#include <QTcpServer>
#include <QtTest>

using namespace tallyfold;
using namespace tallyfold::test;

// The administrator's commands in-process, on every backend: the terminal table and the site's state.
class tst_site_admin : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void editTerminals_data();
    void editTerminals();
    void statusMaxAge_data() { addBackendRows(); }
    void statusMaxAge();
    void metricsFile();

private:
    struct Result {
        int status;
        QStringList out;
        QString err;
    };
    static Result run(const QStringList& args) {
        QString out, err;
        QTextStream o(&out), e(&err);
        Console console(o, e);
        const int status = runCommandLine(args, console);
        o.flush();
        e.flush();
        return Result{status, out.split(QLatin1Char('\n'), Qt::SkipEmptyParts), err};
    }
    // The demo terminals (1 and 2 count-type on port 1, 3 of another kind), a port 1 that is
    // there, a port 9 whose device is not, a port 4 whose line cannot be used, a port 5 whose
    // device server refuses connections (a listening socket closed again).
    static quint16 prepare(const TestHome& home) {
        QTcpServer closed;
        if (!closed.listen(QHostAddress::LocalHost))
            qFatal("no local port to close");
        const quint16 refusing = closed.serverPort();
        closed.close();
        writeFile(home.file(QStringLiteral("tty1")), "");
        writeFile(home.file(QStringLiteral("Config/Ports.ini")),
                  QStringLiteral("[Ports]\n1=%1\n9=%2\n4=rfc2217://nowhere\n5=tcp://127.0.0.1:%3\n")
                      .arg(home.file(QStringLiteral("tty1")), home.file(QStringLiteral("tty9")))
                      .arg(refusing)
                      .toUtf8());
        return refusing;
    }
};

void tst_site_admin::editTerminals_data() {
    QTest::addColumn<QString>("connection");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("stderr");    // how it starts
    QTest::addColumn<QString>("machines");  // MachineInfo afterwards
    const QString demo = QStringLiteral("1|计次|1|V1.0|一楼餐厅 2|记次|1|V1.0|二楼餐厅 3|考勤|2|V2.1|大门");
    for (const QString& backend : {QStringLiteral("sqlite"), QStringLiteral("postgresql")}) {
        if (backend == QLatin1String("postgresql") && qEnvironmentVariable("TALLYFOLD_TEST_PG").isEmpty() &&
            qEnvironmentVariable("CI") != QLatin1String("true"))
            continue;
        auto row = [&](const char* name, QStringList args, int status, const QString& err, const QString& machines) {
            QTest::addRow("%s: %s", qPrintable(backend), name)
                << backend
                << (args.contains(QStringLiteral("--user"))
                        ? args
                        : args << QStringLiteral("--user") << QStringLiteral("admin"))
                << status << err << machines;
        };
        row("add, empty version", {"terminals", "add", "10", "--port", "1", "--team", "三楼"}, 0, "",
            "1|计次|1|V1.0|一楼餐厅 10|计次|1||三楼 2|记次|1|V1.0|二楼餐厅 3|考勤|2|V2.1|大门");
        row("add 记次 on address 0", {"terminals", "add", "0", "--port", "1", "--desc", "记次", "--version", "V3"}, 0,
            "", "0|记次|1|V3| " + demo);
        row("leading zero", {"terminals", "add", "05", "--port", "1"}, 1, "tallyfold: \"05\" is no terminal address",
            demo);
        row("beyond one byte", {"terminals", "add", "256", "--port", "1"}, 1,
            "tallyfold: \"256\" is no terminal address", demo);
        row("taken by a count-type terminal", {"terminals", "add", "2", "--port", "1"}, 1,
            "tallyfold: the address 2 is taken by terminal 2 (记次)", demo);
        row("taken by a terminal of another kind", {"terminals", "add", "3", "--port", "1"}, 1,
            "tallyfold: the address 3 is taken by terminal 3 (考勤)", demo);
        row("a device that is not there", {"terminals", "add", "12", "--port", "9"}, 1,
            "tallyfold: port 9 is the device " + QStringLiteral("HOME/tty9, which is not there"), demo);
        row("a port whose line cannot be used", {"terminals", "add", "12", "--port", "4"}, 1,
            "tallyfold: port 4: HOME/Config/Ports.ini:4: 4=rfc2217://nowhere", demo);
        row("a device server that refuses: a warning", {"terminals", "add", "12", "--port", "5"}, 0,
            "tallyfold: warning: port 5 is the device server tcp://127.0.0.1:REFUSING, which did not take a "
            "connection: Connection refused",
            "1|计次|1|V1.0|一楼餐厅 12|计次|5|| 2|记次|1|V1.0|二楼餐厅 3|考勤|2|V2.1|大门");
        row("not a count type", {"terminals", "add", "12", "--port", "1", "--desc", "考勤"}, 1,
            "tallyfold: --desc 考勤 is not a count type", demo);
        row("too long for the column", {"terminals", "add", "12", "--port", "1", "--version", QString(21, 'v')}, 1,
            "tallyfold: --version holds at most 20 characters", demo);
        row("no right", {"terminals", "add", "12", "--port", "1", "--user", "nobody"}, 1,
            "tallyfold: nobody lacks the right 消费管理.操作 (考勤系统) that terminals add needs", demo);
        row("set", {"terminals", "set", "2", "--version", "V9", "--team", "x'); drop table MachineInfo; --"}, 0, "",
            "1|计次|1|V1.0|一楼餐厅 2|记次|1|V9|x'); drop table MachineInfo; -- 3|考勤|2|V2.1|大门");
        row("set a port that is not there", {"terminals", "set", "2", "--port", "9"}, 1, "tallyfold: port 9", demo);
        row("set a terminal of another kind", {"terminals", "set", "3", "--team", "x"}, 1,
            "tallyfold: terminal 3 is of another kind (考勤)", demo);
        row("remove", {"terminals", "remove", "1"}, 0, "", "2|记次|1|V1.0|二楼餐厅 3|考勤|2|V2.1|大门");
        row("remove one not there", {"terminals", "remove", "7"}, 1, "tallyfold: no terminal 7", demo);
    }
}

void tst_site_admin::editTerminals() {
    QFETCH(QStringList, args);
    QFETCH(int, status);
    QFETCH(QString, stderr);
    QFETCH(QString, machines);
    TALLYFOLD_DATABASE_TEST(home, true);
    const quint16 refusing = prepare(home);
    const Result r = run(args);
    if (stderr.isEmpty())
        QCOMPARE(r.err, QString());
    else
        QVERIFY2(r.err.startsWith(QString(stderr)
                                      .replace(QLatin1String("HOME"), home.path())
                                      .replace(QLatin1String("REFUSING"), QString::number(refusing))),
                 qPrintable(r.err));
    QCOMPARE(r.status, status);
    QCOMPARE(scalar(home.connection(),
                    QStringLiteral("select count(*) from CtrlLog where ActionA='机器:%1'").arg(args.at(2))),
             status == 0 ? QStringLiteral("1") : QStringLiteral("0"));
    QStringList rows;
    QSqlQuery q(sharedConnection(home.connection())->database());
    QVERIFY(q.exec(QStringLiteral("select MachAddr, MachDesc, COMX, Ver, Team from MachineInfo order by MachAddr")));
    while (q.next())
        rows << QStringList{q.value(0).toString(), q.value(1).toString(), q.value(2).toString(), q.value(3).toString(),
                            q.value(4).toString()}
                    .join(QLatin1Char('|'));
    QCOMPARE(rows.join(QLatin1Char(' ')), machines);
}

// Terminal 1 succeeded ten minutes ago; terminal 2 succeeded three hours ago and fails since five minutes.
void tst_site_admin::statusMaxAge() {
    TALLYFOLD_DATABASE_TEST(home, true);
    const QDateTime now = QDateTime::currentDateTime();
    const std::shared_ptr<Connection> db = sharedConnection(home.connection());
    QCOMPARE(run({"status", "--max-age", "1d"}).status, 1);  // never gathered counts as too old
    recordGatherEnd(db, {"1", "1", now.addSecs(-600), Outcome::Completed, {5, 4, 1, 0}, {}});
    recordGatherEnd(db, {"2", "1", now.addSecs(-3 * 3600), Outcome::Completed, {3, 3, 0, 0}, {}});
    recordGatherEnd(db, {"2", "1", now.addSecs(-400), Outcome::DeviceFailed, {}, "terminal 2 did not answer"});
    recordGatherEnd(db, {"2", "1", now.addSecs(-300), Outcome::Trapped, {}, "disk full"});

    const Result json = run({"--json", "status"});
    QCOMPARE(json.status, 0);
    QCOMPARE(json.out.size(), 2);
    const QJsonObject one = QJsonDocument::fromJson(json.out[0].toUtf8()).object();
    const QJsonObject two = QJsonDocument::fromJson(json.out[1].toUtf8()).object();
    QCOMPARE(one.value("stored").toInt(), 4);
    QVERIFY(qAbs(one.value("age").toInt() - 600) < 60);
    QVERIFY(one.value("failing_since").isNull() && one.value("reason").isNull());
    QCOMPARE(two.value("outcome").toString(), QStringLiteral("trapped"));
    QCOMPARE(two.value("reason").toString(), QStringLiteral("disk full"));
    QCOMPARE(QDateTime::fromString(two.value("failing_since").toString(), Qt::ISODate).toSecsSinceEpoch(),
             now.addSecs(-400).toSecsSinceEpoch());

    struct Case {
        const char* maxAge;
        int status;
        const char* named;  // the terminals the error line names
    };
    for (const Case& c : {Case{"4h", 0, ""}, Case{"2h", 1, "2 (last success"}, Case{"5m", 1, "1 (last success"}}) {
        const Result r = run({"status", "--tsv", "--max-age", QString::fromLatin1(c.maxAge)});
        QCOMPARE(r.status, c.status);
        QVERIFY2(r.err.contains(QLatin1String(c.named)), qPrintable(r.err));
        QCOMPARE(r.out.filter(QRegularExpression(QStringLiteral("\tstale$"))).size(), c.status == 0        ? 0
                                                                                      : c.maxAge[0] == '5' ? 2
                                                                                                           : 1);
    }
    const QStringList table = run({"status", "--max-age", "2h"}).out;
    QCOMPARE(table.size(), 3);
    QVERIFY2(table[0].startsWith("ADDRESS  PORT  LAST GATHER          OUTCOME    READ  STORED  DUPLICATES  FAILED  "
                                 "LAST SUCCESS             AGO  STALE  FAILING SINCE        LAST FAILURE         "
                                 "REASON"),
             qPrintable(table[0]));
    QVERIFY2(table[2].contains(QRegularExpression("  3h \\d+min  yes  .*  disk full$")), qPrintable(table[2]));
    // A success ends the failing spell and the counters go on adding up.
    recordGatherEnd(db, {"2", "1", now, Outcome::Completed, {2, 2, 0, 1}, {}});
    const GatherState s = readGatherStates(db).value("2");
    QVERIFY(!s.failingSince);
    QCOMPARE(s.failureReason, QStringLiteral("disk full"));
    QCOMPARE(s.totalStored, 5);
    QCOMPARE(s.totalErrors, 1);
    QCOMPARE(run({"status", "--max-age", "2h"}).status, 0);
}

// Escaped label values, a never gathered terminal at 0, the whole file replaced.
void tst_site_admin::metricsFile() {
    TestHome home;
    resetHostDatabase(home.connection());
    execute(home.connection(), QStringLiteral("insert into MachineInfo values ('a\"b\\c', '计次', 2, '', '')"));
    execute(home.connection(), QStringLiteral("insert into MachineInfo values ('7', '计次', 1, '', '')"));
    const std::shared_ptr<Connection> db = sharedConnection(home.connection());
    recordGatherEnd(db, {"7", "1", QDateTime::fromSecsSinceEpoch(1700000000), Outcome::Completed, {9, 6, 1, 2}, {}});
    HostDatabaseTool tool(home.settings());
    const QString path = writeFile(home.file(QStringLiteral("tallyfold.prom")), "old");
    writeMetrics(path, readTerminalRows(tool), db);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    QCOMPARE(lines,
             QStringLiteral(
                 "# HELP tallyfold_terminals Count-type terminals listed in MachineInfo.\n"
                 "# TYPE tallyfold_terminals gauge\n"
                 "tallyfold_terminals 2\n"
                 "# HELP tallyfold_last_success_timestamp_seconds When the terminal's records were last gathered "
                 "completely, in seconds since 1970 (0: never).\n"
                 "# TYPE tallyfold_last_success_timestamp_seconds gauge\n"
                 "tallyfold_last_success_timestamp_seconds{address=\"7\",port=\"1\"} 1700000000\n"
                 "tallyfold_last_success_timestamp_seconds{address=\"a\\\"b\\\\c\",port=\"2\"} 0\n"
                 "# HELP tallyfold_last_gather_timestamp_seconds When the terminal was last gathered, whatever the "
                 "outcome (0: never).\n"
                 "# TYPE tallyfold_last_gather_timestamp_seconds gauge\n"
                 "tallyfold_last_gather_timestamp_seconds{address=\"7\",port=\"1\"} 1700000000\n"
                 "tallyfold_last_gather_timestamp_seconds{address=\"a\\\"b\\\\c\",port=\"2\"} 0\n"
                 "# HELP tallyfold_last_gather_success 1 when the terminal's last gather completed, else 0.\n"
                 "# TYPE tallyfold_last_gather_success gauge\n"
                 "tallyfold_last_gather_success{address=\"7\",port=\"1\"} 1\n"
                 "tallyfold_last_gather_success{address=\"a\\\"b\\\\c\",port=\"2\"} 0\n"
                 "# HELP tallyfold_rows_stored_total Rows the terminal's gathers added to Tcon_ConsumeDtl.\n"
                 "# TYPE tallyfold_rows_stored_total counter\n"
                 "tallyfold_rows_stored_total{address=\"7\",port=\"1\"} 6\n"
                 "tallyfold_rows_stored_total{address=\"a\\\"b\\\\c\",port=\"2\"} 0\n"
                 "# HELP tallyfold_failed_lines_total Lines of the terminal's gathers that could not be stored.\n"
                 "# TYPE tallyfold_failed_lines_total counter\n"
                 "tallyfold_failed_lines_total{address=\"7\",port=\"1\"} 2\n"
                 "tallyfold_failed_lines_total{address=\"a\\\"b\\\\c\",port=\"2\"} 0\n")
                 .split(QLatin1Char('\n')));
    QCOMPARE(QFile::permissions(path) & QFileDevice::ReadOther, QFileDevice::ReadOther);
    QVERIFY(QDir(home.path()).entryList({"tallyfold.prom.*"}, QDir::Files | QDir::Hidden).isEmpty());
}

QTEST_GUILESS_MAIN(tst_site_admin)
#include "tst_site_admin.moc"
