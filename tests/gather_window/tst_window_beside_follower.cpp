#include "entry/library_module.h"
#include "gather_window/f_gather_data.h"
#include "outside/host_schema.h"
#include "support/recording_view.h"
#include "support/terminal_sim_process.h"
#include "support/test_databases.h"

#include <QDateTime>
#include <QProcess>
#include <QTimer>
#include <QtTest>

using namespace tallyfold;
using namespace tallyfold::test;

// The window beside a real `tallyfold follow` that holds the terminal's port: 采集, pressed from the keyboard,
// waits for the follower to hand the port over, saying so in the status bar while the window stays alive, and
// every record lands once.
class tst_window_beside_follower : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void gatherWaitsForTheFollower_data();
    void gatherWaitsForTheFollower();
};

void tst_window_beside_follower::gatherWaitsForTheFollower_data() {
    QTest::addColumn<bool>("deviceServer");
    QTest::addColumn<int>("key");
    QTest::newRow("serial line, Enter") << false << int(Qt::Key_Return);
    QTest::newRow("device server, space bar") << true << int(Qt::Key_Space);
}

void tst_window_beside_follower::gatherWaitsForTheFollower() {
    QFETCH(bool, deviceServer);
    QFETCH(int, key);
    TestHome home;
    resetHostDatabase(home.connection(), true);
    // Enough records for a transfer of about a second, each of its own minute.
    const int count = 400;
    QByteArray records;
    for (int i = 0; i < count; ++i)
        records += QStringLiteral("01%1%2\r\n")
                       .arg(300000 + i)
                       .arg(QDateTime(QDate(2024, 3, 5), QTime(6, 0)).addSecs(i * 60).toString(QStringLiteral("yyMMddHHmm")))
                       .toLatin1();
    const QString t1 = writeFile(home.file(QStringLiteral("t1.txt")), records);
    const QStringList terminals{"--terminal", "1=" + t1, "--terminal", "2", "--baud", "115200"};
    TerminalSimProcess sim;
    QString port = home.file(QStringLiteral("bus"));
    if (deviceServer) {
        QVERIFY2(sim.startBuses(QStringList{"--listen", "127.0.0.1:0"} + terminals), qPrintable(sim.errorString()));
        port = sim.endpoints().value(0);
    } else {
        QVERIFY2(sim.start(port, terminals), qPrintable(sim.errorString()));
    }
    writeFile(home.file(QStringLiteral("Config/Ports.ini")),
              QStringLiteral("[Ports]\n1=%1\nbaud=115200\n").arg(port).toUtf8());

    QProcess follower;
    follower.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    follower.start(qEnvironmentVariable("TALLYFOLD_BIN_DIR") + QStringLiteral("/tallyfold"),
                   {"--home", home.path(), "--db", home.connection(), "--json", "follow", "--interval", "2", "--user",
                    DemoUser});
    QVERIFY2(follower.waitForStarted(), qPrintable(follower.errorString()));
    auto stopFollower = qScopeGuard([&] {
        follower.terminate();
        if (!follower.waitForFinished(5000))
            follower.kill();
    });
    // Once it stored terminal 1's records it holds the port, pausing until its next round.
    QByteArray said;
    QTRY_VERIFY_WITH_TIMEOUT((said += follower.readAllStandardOutput()).contains("\"event\":\"follow\",\"terminal\":\"1\""),
                             20000);

    RecordingView prompts;
    libraryModule() = Mdl_GatherData();
    F_GatherData* w = &showGatherWindow(Variant(DemoUser), Variant(DemoCaption), &prompts);
    QStringList seen;
    QTimer watch;
    connect(&watch, &QTimer::timeout, this, [&] {
        if (seen.value(seen.size() - 1) != w->statusText())
            seen << w->statusText();
    });
    watch.start(5);
    w->pressByKeyboard(Button::Work, key);
    watch.stop();

    const QString waiting = QStringLiteral("port 1 is followed live (process %1").arg(follower.processId());
    QVERIFY2(!seen.filter(waiting).filter(QStringLiteral("waiting for the follower to hand over the port")).isEmpty(),
             qPrintable(seen.join(QLatin1Char('\n'))));
    QVERIFY2(w->windowTitle().startsWith(QStringLiteral("机器[1]数据采集成功,记录总数：%1,").arg(count)),
             qPrintable(w->windowTitle()));
    QCOMPARE(scalar(home.connection(), QStringLiteral("select count(*) from Tcon_ConsumeDtl")), QString::number(count));
    QCOMPARE(scalar(home.connection(),
                    QStringLiteral("select count(*) from (select distinct Cardid, datatime from Tcon_ConsumeDtl) d")),
             QString::number(count));
    w->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    stopFollower.dismiss();
    follower.terminate();
    QVERIFY(follower.waitForFinished(5000));
    QCOMPARE(follower.exitCode(), 0);
}

QTEST_MAIN(tst_window_beside_follower)
#include "tst_window_beside_follower.moc"
