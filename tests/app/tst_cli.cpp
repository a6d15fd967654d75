#include "support/terminal_sim_process.h"
#include "support/test_databases.h"

#include <QProcess>
#include <QtTest>

using namespace tallyfold::test;

// The tallyfold command as a black box: its output lines and exit status.
class tst_cli : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void usageAndBadInput();
    void unreachableDatabase();
    void initAndTerminals();
    void importPrintsWhatTheOperatorSees();
    void gatherClearAndTestLink();

private:
    struct Result {
        int status;
        QStringList out;
        QString err;
    };
    Result run(const QStringList& args, const QString& home = QString());
};

tst_cli::Result tst_cli::run(const QStringList& args, const QString& home) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("TALLYFOLD_CONNECTION"));
    env.remove(QStringLiteral("TALLYFOLD_HOME"));
    p.setProcessEnvironment(env);
    QStringList all = args;
    if (!home.isEmpty())
        all = QStringList{"--home", home} + args;
    p.start(qEnvironmentVariable("TALLYFOLD_BIN_DIR") + QStringLiteral("/tallyfold"), all);
    if (!p.waitForFinished(120000))
        qFatal("tallyfold did not finish");
    if (p.exitStatus() != QProcess::NormalExit)
        qFatal("tallyfold crashed: %s", qPrintable(all.join(QLatin1Char(' '))));
    return Result{p.exitCode(),
                  QString::fromUtf8(p.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts),
                  QString::fromUtf8(p.readAllStandardError())};
}

void tst_cli::usageAndBadInput() {
    const Result help = run({"--help"});
    QCOMPARE(help.status, 0);
    for (const char* command : {"show", "init-db", "terminals", "import", "gather", "clear", "test-link"})
        QVERIFY(help.out.join(QLatin1Char('\n')).contains(QLatin1String(command)));
    const Result bad = run({"import"});
    QCOMPARE(bad.status, 2);
    QCOMPARE(bad.err.count(QLatin1Char('\n')), 1);
    QCOMPARE(run({"frobnicate"}).status, 2);
    QCOMPARE(run({"gather", "--failed", "maybe"}).status, 2);
    QCOMPARE(run({"clear"}).status, 2);
}

void tst_cli::unreachableDatabase() {
    TestHome home;
    for (const QString& db : {QStringLiteral("Provider=PostgreSQL;Host=127.0.0.1;Port=1;Database=x;User ID=u;"),
                              QStringLiteral("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=c:\\host.mdb;")}) {
        const Result r = run({"--db", db, "init-db"}, home.path());
        QCOMPARE(r.status, 1);
        QCOMPARE(r.err.count(QLatin1Char('\n')), 1);
        QVERIFY(r.err.startsWith(QStringLiteral("tallyfold: ")));
    }
    QVERIFY(run({"--db", "Provider=Microsoft.Jet.OLEDB.4.0;", "init-db"}, home.path())
                .err.contains(QStringLiteral("not available on this platform")));
}

void tst_cli::initAndTerminals() {
    TestHome home;
    QCOMPARE(run({"init-db", "--demo"}, home.path()).status, 0);
    QCOMPARE(run({"init-db", "--demo"}, home.path()).status, 0);
    const Result r = run({"terminals"}, home.path());
    QCOMPARE(r.status, 0);
    QCOMPARE(r.out, (QStringList{"terminal\t1\t1\tV1.0\t一楼餐厅\tcurrent", "terminal\t2\t1\tV1.0\t二楼餐厅"}));
}

void tst_cli::importPrintsWhatTheOperatorSees() {
    TestHome home;
    QCOMPARE(run({"init-db", "--demo"}, home.path()).status, 0);
    const QString file = writeFile(home.file(QStringLiteral("r.txt")), "0A1234562405130730\r\n0112345624131307\r\n");
    const QString sentence =
        QStringLiteral("文件{") + file + QStringLiteral("}数据读取成功,记录总数：2,正确处理记录数： 1");
    const Result shown = run({"import", file}, home.path());
    QCOMPARE(shown.status, 0);
    QCOMPARE(shown.out,
             (QStringList{"record\t10\t123456\t2024-05-13\t07:30:00", "status\t" + sentence, "caption\t" + sentence,
                          "question\t数据读取过程中出现了[ 1]个错误，是否查看详细记录？\tYes",
                          "failed\tR1\t2\t0112345624131307"}));
    const Result discarded = run({"import", file, "--failed", "discard"}, home.path());
    QCOMPARE(discarded.out.last(), QStringLiteral("question\t数据读取过程中出现了[ 1]个错误，是否查看详细记录？\tNo"));
    const Result missing = run({"import", home.file(QStringLiteral("none.txt"))}, home.path());
    QCOMPARE(missing.status, 1);
    QVERIFY(missing.out.last().startsWith(QStringLiteral("message\t出错：")));
}

void tst_cli::gatherClearAndTestLink() {
    TestHome home;
    QCOMPARE(run({"init-db", "--demo"}, home.path()).status, 0);
    writeFile(home.file(QStringLiteral("t1.txt")), "011111112403051100\n012222222403051101\n");
    writeFile(home.file(QStringLiteral("Config/Ports.ini")),
              QStringLiteral("[Ports]\n1=%1\nbaud=115200\n").arg(home.file(QStringLiteral("bus"))).toUtf8());
    TerminalSimProcess sim;
    QVERIFY(sim.start(home.file(QStringLiteral("bus")), {"--terminal", "1=" + home.file(QStringLiteral("t1.txt")),
                                                         "--terminal", "2", "--baud", "115200"}));
    const Result all = run({"gather", "--all", "--no-save"}, home.path());
    QCOMPARE(all.status, 0);
    QVERIFY(all.out.contains(QStringLiteral("caption\t机器[1]数据采集成功,记录总数：2,正确处理记录数： 2")));
    QVERIFY(all.out.contains(QStringLiteral("caption\t机器[2]数据采集成功,记录总数：0,正确处理记录数： 0")));

    const Result link = run({"test-link", "--machine", "2"}, home.path());
    QCOMPARE(link.status, 0);
    QCOMPARE(link.out.last(), QStringLiteral("message\t提示：\\r\\n通讯测试成功!"));
    const Result unknown = run({"test-link", "--machine", "99"}, home.path());
    QCOMPARE(unknown.status, 1);
    QVERIFY(unknown.out.last().startsWith(QStringLiteral("status\t错误:")));

    const Result cleared = run({"clear", "--machine", "1", "--yes"}, home.path());
    QCOMPARE(cleared.status, 0);
    QVERIFY(sim.waitForEvent(QStringLiteral("cleared 1")));
    QCOMPARE(cleared.out.last(), QStringLiteral("status\t机器[1]的数据清理成功"));

    // No terminal answers once the simulator is gone: the run fails and says so.
    sim.stop();
    const Result gone = run({"gather", "--machine", "1", "--no-save"}, home.path());
    QCOMPARE(gone.status, 1);
}

QTEST_GUILESS_MAIN(tst_cli)
#include "tst_cli.moc"
