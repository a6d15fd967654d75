#include "entry/kq.h"
#include "entry/library_module.h"
#include "gather_window/f_gather_data.h"
#include "info_window/frm_info.h"
#include "outside/host_schema.h"
#include "support/recording_view.h"
#include "support/terminal_sim_process.h"
#include "support/test_databases.h"

#include <QCheckBox>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>

using namespace tallyfold;
using namespace tallyfold::test;

// The operations driven through the real window: its buttons, its record
// list, its status bar and caption, and the real failed-lines window.
class tst_window_operations : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void readButtonImportsAFile();
    void gatherButtonWithSimulator();

private:
    F_GatherData* open();
    // Closes the failed-lines window as soon as it is shown modally, noting its rows.
    void closeFailedLinesWhenShown();

    RecordingView prompts_;
    QStringList failedRowsSeen_;
};

void tst_window_operations::init() {
    prompts_ = RecordingView();
    libraryModule() = Mdl_GatherData();
    failedRowsSeen_.clear();
    F_GatherData::setPromptsForNewWindows(&prompts_);
}

void tst_window_operations::cleanup() {
    if (F_GatherData* w = F_GatherData::sharedInstance())
        w->close();
    frm_Info::unload();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    F_GatherData::setPromptsForNewWindows(nullptr);
}

F_GatherData* tst_window_operations::open() {
    Variant u(DemoUser), t, c(DemoCaption);
    QDateTime d;
    KQ().ShowA(u, t, c, d);
    return F_GatherData::sharedInstance();
}

void tst_window_operations::closeFailedLinesWhenShown() {
    auto* poll = new QTimer(this);
    connect(poll, &QTimer::timeout, this, [this, poll] {
        if (!frm_Info::isLoaded() || !frm_Info::instance().isVisible())
            return;
        QTreeWidget* list = frm_Info::instance().lvwInfo;
        for (int i = 0; i < list->topLevelItemCount(); ++i)
            failedRowsSeen_ << list->topLevelItem(i)->text(0) + QLatin1Char('|') + list->topLevelItem(i)->text(1);
        frm_Info::instance().CmdClose->click();
        poll->deleteLater();
    });
    poll->start(10);
}

void tst_window_operations::readButtonImportsAFile() {
    TestHome home;
    resetHostDatabase(home.connection(), true);
    F_GatherData* w = open();
    prompts_.fileToChoose = writeFile(home.file(QStringLiteral("saved.txt")),
                                      "011111112403051100\r\nbad line\r\n012222222403051101\r\n011111112403051100\r\n");
    // While the file is read, no second operation can be started.
    QStringList enabledDuringRun;
    QTimer::singleShot(0, this, [&] {
        for (QPushButton* b : {w->CmdLanTest, w->CmdWork, w->CmdRead, w->cmdClear})
            if (b->isEnabled())
                enabledDuringRun << b->text();
        w->CmdWork_Click();
    });
    closeFailedLinesWhenShown();
    QTest::mouseClick(w->CmdRead, Qt::LeftButton);

    QVERIFY2(enabledDuringRun.isEmpty(), qPrintable(enabledDuringRun.join(QLatin1Char(','))));
    QCOMPARE(prompts_.filtersAsked.size(), 1);
    QCOMPARE(w->ListReco->topLevelItemCount(), 3);
    QCOMPARE(w->ListReco->topLevelItem(1)->text(1), QStringLiteral("222222"));
    const QString sentence = QStringLiteral("文件{") + prompts_.fileToChoose +
                             QStringLiteral("}数据读取成功,记录总数：4,正确处理记录数： 2");
    QCOMPARE(w->statusText(), sentence);
    QCOMPARE(w->windowTitle(), sentence);
    QCOMPARE(failedRowsSeen_, QStringList{QStringLiteral("2|bad line")});
    QVERIFY(!frm_Info::isLoaded());
    QCOMPARE(scalar(home.connection(), QStringLiteral("select count(*) from CtrlLog where ObjectA='数据读取'")),
             QStringLiteral("1"));
    // The refused second press left no trace: no gather was logged.
    QCOMPARE(scalar(home.connection(), QStringLiteral("select count(*) from CtrlLog")), QStringLiteral("1"));
    for (QPushButton* b : {w->CmdLanTest, w->CmdWork, w->CmdRead, w->cmdClear})
        QVERIFY(b->isEnabled());
}

void tst_window_operations::gatherButtonWithSimulator() {
    TestHome home;
    resetHostDatabase(home.connection(), true);
    writeFile(home.file(QStringLiteral("t1.txt")), "011111112403051100\n011111112413051101\n012222222403051102\n");
    writeFile(home.file(QStringLiteral("Config/Ports.ini")),
              QStringLiteral("[Ports]\n1=%1\nbaud=115200\n").arg(home.file(QStringLiteral("bus"))).toUtf8());
    TerminalSimProcess sim;
    QVERIFY2(sim.start(home.file(QStringLiteral("bus")), {"--terminal", "1=" + home.file(QStringLiteral("t1.txt")),
                                                          "--terminal", "2", "--baud", "115200"}),
             qPrintable(sim.errorString()));
    F_GatherData* w = open();
    w->CheckEditTime->setChecked(true);
    closeFailedLinesWhenShown();
    QTest::mouseClick(w->CmdWork, Qt::LeftButton);

    QVERIFY(sim.waitForEvent(QStringLiteral("date 1 ") + QDate::currentDate().toString(Qt::ISODate)));
    QCOMPARE(w->ListReco->topLevelItemCount(), 2);
    QCOMPARE(w->windowTitle(), QStringLiteral("机器[1]数据采集成功,记录总数：3,正确处理记录数： 2"));
    QVERIFY(w->statusText().startsWith(QStringLiteral("机器[1]的考勤数据另存")));
    QCOMPARE(prompts_.boxTexts(), QStringList{QStringLiteral("数据采集过程中出现了[ 1]个错误，是否查看详细记录？")});
    QCOMPARE(failedRowsSeen_, QStringList{QStringLiteral("2|011111112413051101")});
    QCOMPARE(scalar(home.connection(), QStringLiteral("select ResultA from CtrlLog where ObjectA='数据采集'")),
             QStringLiteral("采集成功！"));

    // Terminal 2 has no records: the list is emptied, nothing stored, still logged.
    QTreeWidgetItem* second = w->ListMachine->topLevelItem(1);
    QTest::mouseClick(w->ListMachine->viewport(), Qt::LeftButton, {}, w->ListMachine->visualItemRect(second).center());
    QCOMPARE(w->statusText(), QStringLiteral("当前机器：2 通讯口：1  版本：V1.0"));
    QTest::mouseClick(w->CmdWork, Qt::LeftButton);
    QCOMPARE(w->ListReco->topLevelItemCount(), 0);
    QCOMPARE(w->windowTitle(), QStringLiteral("机器[2]数据采集成功,记录总数：0,正确处理记录数： 0"));
}

QTEST_MAIN(tst_window_operations)
#include "tst_window_operations.moc"
