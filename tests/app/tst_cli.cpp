#include "host_lock.h"
#include "support/terminal_sim_process.h"
#include "support/test_databases.h"

#include <pwd.h>
#include <signal.h>
#include <unistd.h>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QScopeGuard>
#include <QtTest>

using namespace tallyfold::test;

// The tallyfold command as a black box: exit status, output lines, the first line of stderr.
class tst_cli : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void commandLines_data();
    void commandLines();
    void importEscapesCountsAndLogs();
    void gatherAllAsJsonMatchesTheDatabase();
    void unreadableTimesStoreNothing();
    void actingForAnotherOperator_data();
    void actingForAnotherOperator();
    void signalStopsAnImport_data();
    void signalStopsAnImport();
    void signalStopsATransfer();
    void passwordsAreUsedAndNeverShown_data();
    void passwordsAreUsedAndNeverShown();

private:
    struct Result {
        int status;
        QStringList out;
        QString err;
        QString firstErrorLine() const { return err.section(QLatin1Char('\n'), 0, 0); }
    };
    Result run(const QStringList& args, const QString& home);
    static void start(QProcess& p, const QStringList& args, const QString& home);
    QString rows(const QString& home, const QString& select);

    std::unique_ptr<TestHome> demo_;
    QString recordFile_;
};

void tst_cli::start(QProcess& p, const QStringList& args, const QString& home) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("TALLYFOLD_CONNECTION"));
    env.remove(QStringLiteral("TALLYFOLD_HOME"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home);  // else the window's host warns first
    p.setProcessEnvironment(env);
    p.start(qEnvironmentVariable("TALLYFOLD_BIN_DIR") + QStringLiteral("/tallyfold"),
            QStringList{"--home", home} + args);
}

tst_cli::Result tst_cli::run(const QStringList& args, const QString& home) {
    QProcess p;
    start(p, args, home);
    if (!p.waitForFinished(120000))
        qFatal("tallyfold did not finish");
    if (p.exitStatus() != QProcess::NormalExit)
        qFatal("tallyfold crashed: %s", qPrintable(args.join(QLatin1Char(' '))));
    return Result{p.exitCode(),
                  QString::fromUtf8(p.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts),
                  QString::fromUtf8(p.readAllStandardError())};
}

QString tst_cli::rows(const QString& home, const QString& select) {
    return scalar(QStringLiteral("Provider=SQLite;Data Source=%1/Database/tallyfold.db;").arg(home), select);
}

void tst_cli::initTestCase() {
    demo_ = std::make_unique<TestHome>();
    QCOMPARE(run({"init-db", "--demo"}, demo_->path()).status, 0);
    QCOMPARE(run({"terminals", "--tsv"}, demo_->path()).out,
             (QStringList{"terminal\t1\t1\tV1.0\t一楼餐厅\tcurrent", "terminal\t2\t1\tV1.0\t二楼餐厅"}));
    QCOMPARE(run({"terminals"}, demo_->path()).out,
             (QStringList{"   ADDRESS  PORT  VERSION  TEAM", "*  1           1  V1.0     一楼餐厅",
                          "   2           1  V1.0     二楼餐厅"}));
    recordFile_ = writeFile(demo_->file(QStringLiteral("r.txt")), "0A1234562405130730\r\n0112345624131307\r\n");
    QCOMPARE(run({"--db", "Provider=SQLite;Data Source=" + demo_->file("bare.db") + ";", "init-db", "--grant", "admin"},
                 demo_->path())
                 .status,
             0);
}

void tst_cli::commandLines_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("lock");  // "held": another tallyfold holds the host folder; else the file's text
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("stderr");  // how its first line starts, HOME and PID replaced
    const QString login = QString::fromLocal8Bit(getpwuid(geteuid())->pw_name);
    auto row = [](const char* name, QStringList args, int status, const QString& err, QByteArray lock = {}) {
        QTest::newRow(name) << args << lock << status << err;
    };
    row("version", {"--version"}, 0, "");
    row("help", {"--help"}, 0, "");
    row("help of a command", {"help", "import"}, 0, "");
    row("--help after the command is not a file", {"import", "--help"}, 0, "");
    row("terminals has a help too", {"terminals", "--help"}, 0, "");
    row("no command", {}, 2, "tallyfold: no command given (see tallyfold --help)");
    row("an option that took the command", {"--home", "terminals"}, 2,
        "tallyfold: no command given (--home took \"terminals\" as its value) (see tallyfold --help)");
    row("unknown command", {"frobnicate"}, 2, "tallyfold: unknown command \"frobnicate\" (see tallyfold --help)");
    row("unknown option", {"import", "FILE", "--frob"}, 2,
        "tallyfold: import: unknown option --frob (see tallyfold help import)");
    row("a value never is the next option", {"gather", "--machine", "--all"}, 2,
        "tallyfold: gather: --machine needs a value (see tallyfold help gather)");
    row("empty value", {"gather", "--machine="}, 2,
        "tallyfold: gather: --machine needs a value (see tallyfold help gather)");
    row("empty file", {"import", ""}, 2, "tallyfold: import: FILE is empty (see tallyfold help import)");
    row("no file", {"import"}, 2, "tallyfold: import: missing FILE (see tallyfold help import)");
    row("two files", {"import", "a", "b"}, 2,
        "tallyfold: import: unexpected argument \"b\" (see tallyfold help import)");
    row("bad answer", {"gather", "--failed", "maybe"}, 2,
        "tallyfold: gather: --failed takes show or discard (see tallyfold help gather)");
    // Option errors come before the database: one that is not there is not the first thing said.
    const QString noDb = QStringLiteral("Provider=SQLite;Data Source=HOME/typo.db;");
    row("bad --jobs, no database", {"--db", noDb, "gather", "--all", "--jobs", "x"}, 2,
        "tallyfold: gather: --jobs takes a whole number from 1 (see tallyfold help gather)");
    row("bad answer, no database", {"--db", noDb, "import", "FILE", "--failed", "maybe"}, 2,
        "tallyfold: import: --failed takes show or discard (see tallyfold help import)");
    row("unconfirmed clear, no database", {"--db", noDb, "clear"}, 2,
        "tallyfold: clear: clear erases the terminal's records: confirm with --yes (see tallyfold help clear)");
    row("clear of no named terminal, no database", {"--db", noDb, "clear", "--yes"}, 2,
        "tallyfold: clear: clear erases a terminal's records: name it with --machine ADDR (see tallyfold help clear)");
    row("bad --interval, no database", {"--db", noDb, "follow", "--interval", "0"}, 2,
        "tallyfold: follow: --interval takes seconds from 0.1 to 3600 (see tallyfold help follow)");
    row("follow with no terminal listed",
        {"--db", "Provider=SQLite;Data Source=HOME/bare.db;", "follow", "--user", "admin"}, 1,
        "tallyfold: no count-type terminal is listed, so none is followed (tallyfold terminals add ADDR --port N "
        "adds one)");
    row("gather --all with no terminal listed",
        {"--db", "Provider=SQLite;Data Source=HOME/bare.db;", "gather", "--all", "--user", "admin"}, 1,
        "tallyfold: no count-type terminal is listed, so none was gathered (tallyfold terminals add ADDR --port N "
        "adds one)");
    row("unconfirmed clear", {"clear"}, 2,
        "tallyfold: clear: clear erases the terminal's records: confirm with --yes (see tallyfold help clear)");
    row("machine and all", {"gather", "--all", "--machine", "1"}, 2,
        "tallyfold: gather: --machine and --all exclude each other (see tallyfold help gather)");
    row("a switch takes no value", {"clear", "--yes=1"}, 2,
        "tallyfold: clear: --yes takes no value (see tallyfold help clear)");
    row("no host folder, none created", {"terminals", "--home", "HOME/none"}, 1,
        "tallyfold: no host folder HOME/none (tallyfold init-db creates one; --home names another)");
    row("no terminal by that address", {"test-link", "--machine", "01", "--user", "admin"}, 1,
        "tallyfold: no terminal 01");
    row("a command's options before it", {"--machine", "01", "--user=admin", "test-link"}, 1,
        "tallyfold: no terminal 01");
    row("not a count-type terminal", {"test-link", "--machine", "3", "--user", "admin"}, 1,
        "tallyfold: terminal 3 is not a count-type terminal (see tallyfold terminals)");
    row("clear of no named terminal", {"clear", "--yes", "--user", "admin"}, 2,
        "tallyfold: clear: clear erases a terminal's records: name it with --machine ADDR (see tallyfold help clear)");
    row("clear needs 操作", {"clear", "--machine", "1", "--yes", "--user", "nobody"}, 1,
        "tallyfold: nobody lacks the right 消费管理.操作 (考勤系统) that clear needs");
    row("gather needs 操作", {"gather", "--user", "nobody"}, 1,
        "tallyfold: nobody lacks the right 消费管理.操作 (考勤系统) that gather needs");
    row("import needs 读取", {"import", "FILE", "--user", "nobody"}, 1,
        "tallyfold: nobody lacks the right 消费管理.读取 (考勤系统) that import needs");
    row("test-link needs 测试", {"test-link", "--user", "nobody"}, 1,
        "tallyfold: nobody lacks the right 消费管理.测试 (考勤系统) that test-link needs");
    row("rights of another caption", {"import", "FILE", "--user", "admin", "--caption", "其他"}, 1,
        "tallyfold: admin lacks the right 其他.读取 (考勤系统) that import needs");
    row("the login name by default", {"import", "FILE"}, 1,
        "tallyfold: " + login + " lacks the right 消费管理.读取 (考勤系统) that import needs");
    row("show is an answer, not a command", {"import", "FILE", "--failed", "show", "--user", "admin"}, 3, "");
    row("--opt=value, and globals after the command", {"import", "FILE", "--failed=discard", "--user=admin", "--json"},
        3, "");
    row("one run at a time", {"import", "FILE", "--user", "admin"}, 1,
        "tallyfold: another tallyfold (process PID) is working in HOME; try again when it has finished", "held");
    // A process on another machine sharing the folder, gone without unlocking: the kernel's lock went with it.
    row("a lock file its holder left", {"import", "FILE", "--user", "admin", "--failed", "discard"}, 3, "",
        "999999\nanother-machine\n");
    row("no database created by the way", {"--db", "Provider=SQLite;Data Source=HOME/typo.db;", "terminals"}, 1,
        "tallyfold: no database HOME/typo.db (tallyfold init-db creates it)");
    row("a database that cannot open says where it is",
        {"--db", "Provider=SQLite;Data Source=HOME/Config;", "terminals"}, 1,
        "tallyfold: cannot open the database HOME/Config: Cannot open the database (SQLite): unable to open database "
        "file");
    row("no password printed",
        {"--db", "Provider=PostgreSQL;Host=127.0.0.1;Port=1;Database=x;User ID=u;Password=sekrit1;", "init-db"}, 1,
        "tallyfold: cannot open the database Provider=PostgreSQL;Host=127.0.0.1;Port=1;Database=x;User ID=u;"
        "Password=***;: Cannot open the database (PostgreSQL): connection to server at \"127.0.0.1\", port 1 failed: "
        "Connection refused");
    row("a screenshot not saved fails", {"show", "--user", "admin", "--screenshot", "/proc/none/x.png"}, 1,
        "tallyfold: the screenshot could not be saved to /proc/none/x.png");
}

void tst_cli::commandLines() {
    QFETCH(QStringList, args);
    QFETCH(QByteArray, lock);
    QFETCH(int, status);
    QFETCH(QString, stderr);
    const QString home = demo_->path();
    for (QString& a : args)
        a.replace(QLatin1String("HOME"), home).replace(QLatin1String("FILE"), recordFile_);
    QFile lockFile(tallyfold::HostLock::fileIn(home));
    if (!lock.isEmpty()) {
        QVERIFY(lockFile.open(QIODevice::ReadWrite | QIODevice::Truncate));
        lockFile.write(lock == "held" ? tallyfold::HostLock::holderText() : lock);
        lockFile.flush();
        if (lock == "held")
            QVERIFY(tallyfold::HostLock::take(lockFile.handle()));
    }
    const Result r = run(args, home);
    stderr.replace(QLatin1String("HOME"), home).replace(QLatin1String("PID"), QString::number(getpid()));
    if (stderr.isEmpty())
        QCOMPARE(r.err, QString());
    else
        QCOMPARE(r.firstErrorLine().left(stderr.size()), stderr);  // a driver's message may go on
    QCOMPARE(r.status, status);
    QVERIFY(!QString(r.out.join(QLatin1Char('\n')) + r.err).contains(QLatin1String("sekrit1")));
    QVERIFY(!QFileInfo::exists(home + QStringLiteral("/none")) &&
            !QFileInfo::exists(home + QStringLiteral("/typo.db")));
    // A command that declined says so in its summary; one that could not run says it failed.
    if (status == 1 && !r.out.isEmpty())
        QCOMPARE(r.out.last().section(QLatin1Char('\t'), 8, 8), stderr.contains(QLatin1String("lacks the right")) ||
                                                                        stderr.contains(QLatin1String("terminal")) ||
                                                                        stderr.contains(QLatin1String("is working in"))
                                                                    ? QStringLiteral("refused")
                                                                    : QStringLiteral("failed"));
    if (status == 0 && args.contains(QStringLiteral("--help")))
        QVERIFY(r.out.first().startsWith(QStringLiteral("usage: tallyfold ")));
}

// A record with a tab, a NUL and a backslash stays one field; totals are numbers; exit 3 when lines failed.
void tst_cli::importEscapesCountsAndLogs() {
    TestHome home;
    QCOMPARE(
        run({"init-db", "--demo", "--grant", QString::fromLocal8Bit(getpwuid(geteuid())->pw_name)}, home.path()).status,
        0);
    const QString file = writeFile(home.file(QStringLiteral("r.txt")),
                                   QByteArray("0A1234562405130730\n01\t23456240513xx00\n01\\r34562405\0 1307\n"
                                              "0B1234562405130731\n",
                                              76));
    const Result text = run({"import", file}, home.path());
    QCOMPARE(text.status, 3);
    QCOMPARE(text.out.filter(QRegularExpression("^failed\t")),
             (QStringList{"failed\tR1\t2\t01\\t23456240513xx00\tcharacters 9 to 18 are not a valid date and time "
                          "(yymmddhhmm)",
                          "failed\tR2\t3\t01\\\\r34562405\\0 1307\tcharacters 9 to 18 are not a valid date and time "
                          "(yymmddhhmm)"}));
    QCOMPARE(text.out.last(), QStringLiteral("summary\timport\t\t4\t2\t0\t2\t") +
                                  text.out.last().section(QLatin1Char('\t'), 7, 7) +
                                  QStringLiteral("\tcompleted\t\t0"));
    // The operator the command acts for by default is the account that runs it.
    QCOMPARE(rows(home.path(), "select UserA from CtrlLog"), QString::fromLocal8Bit(getpwuid(geteuid())->pw_name));

    const Result json = run({"--json", "import", file, "--failed", "discard"}, home.path());
    QCOMPARE(json.status, 3);
    QJsonObject summary;
    for (const QString& line : json.out) {
        QJsonParseError error;
        const QJsonObject o = QJsonDocument::fromJson(line.toUtf8(), &error).object();
        QVERIFY2(error.error == QJsonParseError::NoError, qPrintable(line));
        QVERIFY(o.value("event") != QLatin1String("failed"));
        summary = o;
    }
    QCOMPARE(summary.value("event").toString(), QStringLiteral("summary"));
    QCOMPARE(summary.value("read").toInt(), 4);
    QCOMPARE(summary.value("stored").toInt(), 0);
    QCOMPARE(summary.value("duplicates").toInt(), 2);
    QCOMPARE(summary.value("errors").toInt(), 2);
    QVERIFY(summary.value("terminal").isNull());
    // Refused before it began, a run still names the terminal it was asked for.
    const Result named = run({"--json", "test-link", "--machine", "01", "--user", "admin"}, home.path());
    QCOMPARE(QJsonDocument::fromJson(named.out.last().toUtf8()).object().value("terminal").toString(),
             QStringLiteral("01"));

    const Result quiet = run({"--quiet", "import", file}, home.path());
    QCOMPARE(quiet.out.size(), 1);
    QVERIFY(quiet.out.first().startsWith(QStringLiteral("summary\timport\t")));

    // A database that takes no row: nothing is counted as found, every line read is accounted for, and the
    // summary of the service's mode says why.
    execute(QStringLiteral("Provider=SQLite;Data Source=%1;").arg(home.file("Database/tallyfold.db")),
            QStringLiteral("create trigger no_rows before insert on Tcon_ConsumeDtl begin select raise(abort, "
                           "'inserts are not allowed'); end"));
    const QString fresh = writeFile(home.file(QStringLiteral("f.txt")), "0C6543212405130730\n0C6543212405130731\n");
    const Result refused = run({"--quiet", "--json", "import", fresh}, home.path());
    const QJsonObject s = QJsonDocument::fromJson(refused.out.last().toUtf8()).object();
    QCOMPARE(s.value("duplicates").toInt(), 0);
    QCOMPARE(s.value("stored").toInt(), 0);
    QCOMPARE(s.value("read").toInt(), s.value("stored").toInt() + s.value("duplicates").toInt() +
                                          s.value("errors").toInt() + s.value("unstored").toInt());
    if (s.value("outcome") != QLatin1String("completed"))
        QVERIFY2(s.value("reason").toString().contains(QLatin1String("inserts are not allowed")),
                 qPrintable(refused.out.last()));
    else
        QVERIFY2(s.value("errors").toInt() == 2, qPrintable(refused.out.last()));
}

void tst_cli::gatherAllAsJsonMatchesTheDatabase() {
    TestHome home;
    QCOMPARE(run({"init-db", "--demo"}, home.path()).status, 0);
    writeFile(home.file(QStringLiteral("t1.txt")), "011111112403051100\n012222222403051101\n");
    writeFile(home.file(QStringLiteral("t2.txt")), "023333332403051102\n024444442403051103\n025555552403051104\n");
    writeFile(home.file(QStringLiteral("Config/Ports.ini")),
              QStringLiteral("[Ports]\n1=%1\nbaud=115200\n").arg(home.file(QStringLiteral("bus"))).toUtf8());
    TerminalSimProcess sim;
    QVERIFY(sim.start(home.file(QStringLiteral("bus")),
                      {"--terminal", "1=" + home.file(QStringLiteral("t1.txt")), "--terminal",
                       "2=" + home.file(QStringLiteral("t2.txt")), "--baud", "115200"}));
    auto summaries = [](const Result& r) {
        QList<QJsonObject> found;
        for (const QString& line : r.out) {
            QJsonParseError error;
            const QJsonObject o = QJsonDocument::fromJson(line.toUtf8(), &error).object();
            if (error.error != QJsonParseError::NoError)
                qFatal("not JSON: %s", qPrintable(line));
            if (o.value("event") == QLatin1String("summary"))
                found << o;
        }
        return found;
    };
    const Result first = run({"--json", "gather", "--all", "--no-save", "--user", "admin", "--metrics",
                              home.file(QStringLiteral("tallyfold.prom"))},
                             home.path());
    QCOMPARE(first.status, 0);
    QFile metrics(home.file(QStringLiteral("tallyfold.prom")));
    QVERIFY(metrics.open(QIODevice::ReadOnly));
    const QByteArray exposition = metrics.readAll();
    QVERIFY2(exposition.contains("tallyfold_rows_stored_total{address=\"1\",port=\"1\"} 2\n") &&
                 exposition.contains("tallyfold_rows_stored_total{address=\"2\",port=\"1\"} 3\n"),
             exposition.constData());
    const QList<QJsonObject> s = summaries(first);
    QCOMPARE(s.size(), 3);
    QCOMPARE(s[0].value("terminal").toString(), QStringLiteral("1"));
    QCOMPARE(s[0].value("stored").toInt(), 2);
    QCOMPARE(s[1].value("stored").toInt(), 3);
    QVERIFY(s[2].value("terminal").isNull());
    QCOMPARE(QString::number(s[2].value("stored").toInt()), rows(home.path(), "select count(*) from Tcon_ConsumeDtl"));
    // Terminals may run at the same time, so each record names the terminal whose run listed it.
    for (const QString& line : first.out) {
        const QJsonObject o = QJsonDocument::fromJson(line.toUtf8()).object();
        if (o.value("event") == QLatin1String("record"))
            QCOMPARE(o.value("terminal").toString(), o.value("address").toString());
    }
    QCOMPARE(rows(home.path(), "select count(*) from CtrlLog where UserA='admin'"), QStringLiteral("2"));

    // Gathered again, the terminals give the same records: all duplicates, and only the summaries.
    const Result again = run({"--quiet", "--json", "gather", "--all", "--no-save", "--user", "admin"}, home.path());
    QCOMPARE(again.status, 0);
    QCOMPARE(again.out.size(), 3);
    QCOMPARE(summaries(again)[2].value("stored").toInt(), 0);
    QCOMPARE(summaries(again)[2].value("duplicates").toInt(), 5);
    QCOMPARE(run({"gather", "--machine", "2", "--then-clear", "--user", "admin"}, home.path()).status, 0);

    const Result link = run({"test-link", "--machine", "2", "--user", "admin"}, home.path());
    QCOMPARE(link.status, 0);
    QVERIFY(link.out.contains(QStringLiteral("message\t提示：\\r\\n通讯测试成功!")));
    // Without Source/ the link has nowhere to write: "数据采集失败", and the detail says why.
    QVERIFY(QDir(home.path()).rename(QStringLiteral("Source"), QStringLiteral("Source.away")));
    const Result nowhere = run({"gather", "--machine", "2", "--no-save", "--user", "admin"}, home.path());
    QCOMPARE(nowhere.status, 1);
    QVERIFY2(
        !nowhere.out.filter(QStringLiteral("detail\tno folder %1 to write the records in").arg(home.file("Source")))
             .isEmpty(),
        qPrintable(nowhere.out.join(QLatin1Char('\n'))));
    QVERIFY(QDir(home.path()).rename(QStringLiteral("Source.away"), QStringLiteral("Source")));

    const Result cleared = run({"clear", "--machine", "1", "--yes", "--user", "admin"}, home.path());
    QCOMPARE(cleared.status, 0);
    QVERIFY(sim.waitForEvent(QStringLiteral("cleared 1")));

    // With the simulator gone the run fails, and says which device it tried.
    sim.stop();
    const Result gone = run({"gather", "--machine", "1", "--no-save", "--user", "admin"}, home.path());
    QCOMPARE(gone.status, 1);
    const QStringList details = gone.out.filter(QRegularExpression(QStringLiteral("^detail\t")));
    QVERIFY2(details.size() == 1 && details[0].contains(home.file(QStringLiteral("bus"))) &&
                 details[0].contains(QStringLiteral("No such file or directory")),
             qPrintable(gone.out.join(QLatin1Char('\n'))));
    // Whatever ran them, the gathers are in the site's state: terminal 1 fails since now, for that reason.
    const Result state = run({"--json", "status", "--max-age", "1h"}, home.path());
    QCOMPARE(state.status, 0);
    const QJsonObject one = QJsonDocument::fromJson(state.out.first().toUtf8()).object();
    QCOMPARE(one.value("outcome").toString(), QStringLiteral("refused"));  // the port did not open
    QVERIFY(one.value("reason").toString().contains(QStringLiteral("No such file or directory")));
    QVERIFY(!one.value("failing_since").isNull() && !one.value("success").isNull());
}

// A record's day would be a guess, and mending the setting later would store the same swipe again.
void tst_cli::unreadableTimesStoreNothing() {
    TestHome home;
    QCOMPARE(run({"init-db", "--demo"}, home.path()).status, 0);
    const QString db = QStringLiteral("Provider=SQLite;Data Source=%1;").arg(home.file("Database/tallyfold.db"));
    execute(db, QStringLiteral("update Tcon_MonTime set ParaTimeValue='x' where ParaName=7"));
    const QString file = writeFile(home.file(QStringLiteral("r.txt")), "011234562405130130\r\n");
    const Result r = run({"import", file, "--user", "admin"}, home.path());
    QCOMPARE(r.status, 1);
    QVERIFY2(r.out.last().contains(QLatin1String("the business-day times in Tcon_MonTime cannot be read")),
             qPrintable(r.out.join('\n')));
    QCOMPARE(rows(home.path(), "select count(*) from Tcon_ConsumeDtl"), QStringLiteral("0"));
    // Mended, the same line is stored once, on its business day.
    execute(db, QStringLiteral("update Tcon_MonTime set ParaTimeValue='00:30:00' where ParaName=7"));
    QCOMPARE(run({"import", file, "--user", "admin"}, home.path()).status, 0);
    QCOMPARE(rows(home.path(), "select datadate || ' ' || count(*) from Tcon_ConsumeDtl"),
             QStringLiteral("2024-05-13 1"));
}

void tst_cli::actingForAnotherOperator_data() {
    QTest::addColumn<bool>("folderGroupIsTheirs");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("rowsAfter");
    QTest::newRow("an account outside the folder's group") << false << 1 << QStringLiteral("0");
    QTest::newRow("a member of the folder's group") << true << 0 << QStringLiteral("1");
}

// CtrlLog names whom the command acted for; any local account naming another operator would forge it.
void tst_cli::actingForAnotherOperator() {
    QFETCH(bool, folderGroupIsTheirs);
    QFETCH(int, status);
    QFETCH(QString, rowsAfter);
    if (::geteuid() != 0)
        QSKIP("needs root to run the command as another account");
    TestHome home;
    QCOMPARE(run({"init-db", "--demo"}, home.path()).status, 0);
    const QString file = writeFile(home.file(QStringLiteral("r.txt")), "011234562405130730\r\n");
    // Everybody may reach the folder and the database: only the rule decides.
    for (const QString& path : {home.path(), home.file("Database"), home.file("Source"), home.file("Config"),
                                home.file("Database/tallyfold.db"), file})
        QVERIFY(QFile::setPermissions(path, QFileDevice::Permissions(0x7777)));
    QVERIFY(::chown(QFile::encodeName(home.path()).constData(), 0, folderGroupIsTheirs ? 65534 : 0) == 0);
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("TALLYFOLD_CONNECTION"));
    p.setProcessEnvironment(env);
    p.start(QStringLiteral("runuser"), {"-u", "nobody", "--", qEnvironmentVariable("TALLYFOLD_BIN_DIR") + "/tallyfold",
                                        "--home", home.path(), "import", file, "--user", "admin"});
    QVERIFY(p.waitForFinished(60000));
    const QByteArray err = p.readAllStandardError();
    QVERIFY2(p.exitCode() == status, err.constData());
    if (status == 1)
        QVERIFY2(err.contains("may act for another operator"), err.constData());
    QCOMPARE(rows(home.path(), "select count(*) from Tcon_ConsumeDtl"), rowsAfter);
}

void tst_cli::signalStopsAnImport_data() {
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM, as systemctl stop sends") << int(SIGTERM);
    QTest::newRow("Ctrl-C") << int(SIGINT);
}

// Stopped mid-file: the batch in flight commits, the summary says cancelled and counts what the table holds.
void tst_cli::signalStopsAnImport() {
    QFETCH(int, signal);
    TestHome home;
    QCOMPARE(run({"init-db", "--demo"}, home.path()).status, 0);
    QByteArray lines;
    for (int i = 0; i < 200000; ++i)
        lines +=
            "01" + QByteArray::number(100000 + i % 900000) + QByteArray::number(2401010000 + i / 900000 * 100) + "\r\n";
    const QString file = writeFile(home.file(QStringLiteral("big.txt")), lines);
    QProcess p;
    start(p, {"--json", "import", file, "--user", "admin"}, home.path());
    qint64 seen = 0;
    while (seen < 20000 && p.waitForReadyRead(10000))
        seen += p.readAll().count("\"record\"");
    QVERIFY2(seen >= 20000, "the import did not get going");
    ::kill(pid_t(p.processId()), signal);
    QVERIFY(p.waitForFinished(20000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 128 + signal);
    const QList<QByteArray> out = p.readAllStandardOutput().trimmed().split('\n');
    const QJsonObject summary = QJsonDocument::fromJson(out.last()).object();
    QCOMPARE(summary.value("outcome").toString(), QStringLiteral("cancelled"));
    QVERIFY(summary.value("read").toInt() < 200000);
    QCOMPARE(QString::number(summary.value("stored").toInt()),
             rows(home.path(), "select count(*) from Tcon_ConsumeDtl"));
    QVERIFY(!summary.value("reason").toString().isEmpty());
    // Like a trapped run it claims no success, and writes no log row of one.
    QVERIFY(!out.join('\n').contains("数据读取成功"));
    QCOMPARE(rows(home.path(), "select count(*) from CtrlLog"), QStringLiteral("0"));
}

// Stopped mid-transfer: nothing is stored, the terminal keeps its records, and the run says so.
void tst_cli::signalStopsATransfer() {
    TestHome home;
    QCOMPARE(run({"init-db", "--demo"}, home.path()).status, 0);
    QByteArray records;
    for (int i = 0; i < 2000; ++i)
        records += "01" + QByteArray::number(100000 + i) + "2401010000\n";
    writeFile(home.file(QStringLiteral("t1.txt")), records);
    writeFile(home.file(QStringLiteral("Config/Ports.ini")),
              QStringLiteral("[Ports]\n1=%1\nbaud=9600\n").arg(home.file(QStringLiteral("bus"))).toUtf8());
    TerminalSimProcess sim;
    QVERIFY(sim.start(home.file(QStringLiteral("bus")),
                      {"--terminal", "1=" + home.file(QStringLiteral("t1.txt")), "--baud", "9600"}));
    QProcess p;
    start(p, {"--json", "gather", "--user", "admin"}, home.path());
    QByteArray out;
    while (!out.contains("数据采集......") && p.waitForReadyRead(10000))
        out += p.readAll();
    QVERIFY(out.contains("数据采集......"));
    QThread::msleep(500);
    ::kill(pid_t(p.processId()), SIGTERM);
    QElapsedTimer stopping;
    stopping.start();
    QVERIFY(p.waitForFinished(20000));
    QVERIFY2(stopping.elapsed() < 2000, qPrintable(QString::number(stopping.elapsed())));
    QCOMPARE(p.exitCode(), 128 + SIGTERM);
    const QJsonObject summary =
        QJsonDocument::fromJson(QByteArray(out + p.readAllStandardOutput()).trimmed().split('\n').last()).object();
    QCOMPARE(summary.value("outcome").toString(), QStringLiteral("cancelled"));
    QCOMPARE(rows(home.path(), "select count(*) from Tcon_ConsumeDtl"), QStringLiteral("0"));
    QVERIFY(!QFileInfo::exists(home.file(QStringLiteral("Source/SourceRecordSet.txt"))));
}

void tst_cli::passwordsAreUsedAndNeverShown_data() {
    QTest::addColumn<QString>("item");      // how the connection string gives the password
    QTest::addColumn<QString>("password");  // the role's password
    QTest::newRow("Password") << "Password=Tf-s3cret"
                              << "Tf-s3cret";
    QTest::newRow("Pwd") << "Pwd=Tf-s3cret"
                         << "Tf-s3cret";
    QTest::newRow("PASSWORD") << "PASSWORD=Tf-s3cret"
                              << "Tf-s3cret";
    QTest::newRow("pwd") << "pwd=Tf-s3cret"
                         << "Tf-s3cret";
    // ';' and both quotes, the quote that encloses it doubled.
    QTest::newRow("quoted") << "Password=\"Tf-s3cret;\"\"x'y\""
                            << "Tf-s3cret;\"x'y";
}

// A role the test server asks a password of connects with each spelling; a wrong
// password fails without the password in any output, verbose and JSON included.
void tst_cli::passwordsAreUsedAndNeverShown() {
    QFETCH(QString, item);
    QFETCH(QString, password);
    if (qEnvironmentVariable("TALLYFOLD_TEST_PG").isEmpty() && qEnvironmentVariable("CI") != QLatin1String("true"))
        QSKIP("TALLYFOLD_TEST_PG names no PostgreSQL server");
    if (!requireBackend(QStringLiteral("postgresql")))
        return;
    TestHome home(QStringLiteral("postgresql"));
    const QString admin = home.connection();
    const QString role = QStringLiteral("tf_secret_%1").arg(QCoreApplication::applicationPid());
    // Members of password_login must give their password over TCP (scripts/pg-throwaway).
    execute(admin, QStringLiteral("create role %1 login in role password_login password '%2'")
                       .arg(role, QString(password).replace(QLatin1Char('\''), QStringLiteral("''"))));
    auto dropRole = qScopeGuard([&] {
        execute(admin, QStringLiteral("drop owned by ") + role);
        execute(admin, QStringLiteral("drop role ") + role);
    });
    execute(admin, QStringLiteral("grant all on schema public to ") + role);
    const QString cs =
        QString(admin).replace(QStringLiteral("User ID=postgres"), QStringLiteral("User ID=") + role) + item + ';';

    const Result right = run({"--db", cs, "init-db"}, home.path());
    QVERIFY2(right.status == 0, qPrintable(right.err));

    const Result wrong = run({"--db", QString(cs).replace("Tf-s3cret", "Tf-s3cret-not"), "--verbose", "--json",
                              "gather", "--all", "--user", "admin"},
                             home.path());
    QCOMPARE(wrong.status, 1);
    QVERIFY2(wrong.err.contains(QLatin1String("password authentication failed")), qPrintable(wrong.err));
    const QString all = wrong.out.join(QLatin1Char('\n')) + right.out.join(QLatin1Char('\n')) + wrong.err + right.err;
    QVERIFY2(!all.contains(QLatin1String("s3cret")), qPrintable(all));
}

QTEST_GUILESS_MAIN(tst_cli)
#include "tst_cli.moc"
