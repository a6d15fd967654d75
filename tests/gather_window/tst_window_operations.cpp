#include "entry/library_module.h"
#include "gather_window/f_gather_data.h"
#include "info_window/frm_info.h"
#include "outside/host_schema.h"
#include "outside/serial/serial_device_link.h"
#include "support/recording_device.h"
#include "support/recording_view.h"
#include "support/terminal_sim_process.h"
#include "support/test_databases.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <QTreeView>
#include <QtTest>

using namespace tallyfold;
using namespace tallyfold::test;

namespace {
// A link whose transfer takes a while and reports in as the real one does; asked
// to stop, it ends the transfer and notes "cancelled" among the script's calls.
class SlowDevice : public RecordingDevice {
public:
    explicit SlowDevice(std::shared_ptr<DeviceScript> script) : RecordingDevice(script), script_(std::move(script)) {}
    void setWaitHandler(WaitHandler handler) override { handler_ = std::move(handler); }
    void setCancelCheck(CancelCheck check) override { cancel_ = std::move(check); }
    DeviceFault lastError() const override { return fault_; }
    std::optional<bool> GatherData(qint16 machine, QString& text1, QString& text2) override {
        for (int i = 1; i <= 4; ++i) {
            QThread::msleep(50);
            if (handler_)
                handler_(i, 4);
            if (cancel_ && cancel_()) {
                script_->calls << QStringLiteral("cancelled");
                fault_.code = DeviceError::Cancelled;
                return false;
            }
        }
        return RecordingDevice::GatherData(machine, text1, text2);
    }

private:
    std::shared_ptr<DeviceScript> script_;
    WaitHandler handler_;
    CancelCheck cancel_;
    DeviceFault fault_;
};
}  // namespace

// The operations driven through the real window: its buttons, its record
// list, its status bar and caption, and the real failed-lines window.
class tst_window_operations : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void readButtonImportsAFile();
    void longImportShownInBatches();
    void gatherButtonWithSimulator();
    void answersWhileTheLinkWaits();
    void exitWaitsForTheOperationToStop();
    void portFreeAfterEveryOperation_data();
    void portFreeAfterEveryOperation();
    void focusStaysAfterAnOperation_data();
    void focusStaysAfterAnOperation();
    void untitledBoxTakesTheWindowsName();

private:
    F_GatherData* open() { return &showGatherWindow(Variant(DemoUser), Variant(DemoCaption), &prompts_); }
    // Closes the failed-lines window as soon as it is shown modally, noting its rows.
    void closeFailedLinesWhenShown();

    RecordingView prompts_;
    QStringList failedRowsSeen_;
};

void tst_window_operations::init() {
    prompts_ = RecordingView();
    libraryModule() = Mdl_GatherData();
    failedRowsSeen_.clear();
}

void tst_window_operations::cleanup() {
    if (F_GatherData* w = gatherWindow())
        w->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void tst_window_operations::closeFailedLinesWhenShown() {
    auto* poll = new QTimer(this);
    connect(poll, &QTimer::timeout, this, [this, poll] {
        auto* info = qobject_cast<frm_Info*>(QApplication::activeModalWidget());
        if (!info)
            return;
        failedRowsSeen_ = info->rows();
        info->pressClose();
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
    // While the file is read, no second operation can start and the current terminal stays.
    QList<bool> enabledDuringRun;
    QTimer::singleShot(0, this, [&] {
        for (Button b : {Button::LanTest, Button::Work, Button::Read, Button::Clear, Button::Close})
            enabledDuringRun << w->isEnabled(b);
        w->press(Button::Work);
        w->clickTerminal(1);
    });
    closeFailedLinesWhenShown();
    w->press(Button::Read);

    QCOMPARE(enabledDuringRun, (QList<bool>{false, false, false, false, true}));
    QCOMPARE(libraryModule().Pub_MachAddr.toText(), QStringLiteral("1"));
    QCOMPARE(prompts_.filtersAsked.size(), 1);
    const QList<QStringList> rows = w->recordRows();
    QCOMPARE(rows.size(), 3);
    QCOMPARE(rows[1][1], QStringLiteral("222222"));
    const QString sentence = QStringLiteral("文件{") + prompts_.fileToChoose +
                             QStringLiteral("}数据读取成功,记录总数：4,正确处理记录数： 2");
    QCOMPARE(w->statusText(), sentence);
    QCOMPARE(w->windowTitle(), sentence);
    QCOMPARE(failedRowsSeen_, QStringList{QStringLiteral("R1|2|bad line")});
    QCOMPARE(w->failedLinesWindow(), nullptr);
    QCOMPARE(scalar(home.connection(), QStringLiteral("select count(*) from CtrlLog where ObjectA='数据读取'")),
             QStringLiteral("1"));
    // The refused second press left no trace: no gather was logged.
    QCOMPARE(scalar(home.connection(), QStringLiteral("select count(*) from CtrlLog")), QStringLiteral("1"));
    QVERIFY(w->isEnabled(Button::LanTest) && w->isEnabled(Button::Work) && w->isEnabled(Button::Read) &&
            w->isEnabled(Button::Clear));
    QVERIFY(!w->progressShown());
}

void tst_window_operations::longImportShownInBatches() {
    TestHome home;
    resetHostDatabase(home.connection(), true);
    QByteArray file;
    const int lines = 3000;
    for (int i = 0; i < lines; ++i)
        file +=
            QStringLiteral("01%1%2\r\n")
                .arg(100000 + i)
                .arg(QDateTime(QDate(2024, 3, 5), QTime(6, 0)).addSecs(i * 60).toString(QStringLiteral("yyMMddHHmm")))
                .toLatin1();
    prompts_.fileToChoose = writeFile(home.file(QStringLiteral("long.txt")), file);
    F_GatherData* w = open();
    int batches = 0;
    bool progressWhileStoring = true;
    connect(&w->recordModel(), &QAbstractItemModel::rowsInserted, this, [&] {
        ++batches;
        progressWhileStoring &= w->progressShown();
    });
    w->press(Button::Read);

    // Every line in file order, but laid out a batch at a time, not a row at a time.
    const QList<QStringList> rows = w->recordRows();
    QCOMPARE(rows.size(), lines);
    for (int i = 0; i < lines; i += 999)
        QCOMPARE(rows[i][1], QString::number(100000 + i));
    QVERIFY2(batches >= 1 && batches < lines / 10, qPrintable(QString::number(batches)));
    QVERIFY(progressWhileStoring);
    QVERIFY(!w->progressShown());
    QVERIFY(w->statusText().endsWith(QStringLiteral("正确处理记录数： 3000")));
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
    w->setChecked(F_GatherData::Check::EditTime, true);
    closeFailedLinesWhenShown();
    w->press(Button::Work);

    QVERIFY(sim.waitForEvent(QStringLiteral("date 1 ") + QDate::currentDate().toString(Qt::ISODate)));
    QCOMPARE(w->recordRows().size(), 2);
    const QString summary = QStringLiteral("机器[1]数据采集成功,记录总数：3,正确处理记录数： 2");
    QCOMPARE(w->windowTitle(), summary);
    QVERIFY(w->statusText().startsWith(QStringLiteral("机器[1]的考勤数据另存")));
    // The saving's status replaced the totals; the tooltip keeps them, and a reason joins them.
    QCOMPARE(w->statusToolTip(), summary);
    w->setDetail(QStringLiteral("why"));
    QCOMPARE(w->statusToolTip(), summary + QStringLiteral("\nwhy"));
    QCOMPARE(prompts_.boxTexts(), QStringList{QStringLiteral("数据采集过程中出现了[ 1]个错误，是否查看详细记录？")});
    QCOMPARE(failedRowsSeen_, QStringList{QStringLiteral("R1|2|011111112413051101")});
    QCOMPARE(scalar(home.connection(), QStringLiteral("select ResultA from CtrlLog where ObjectA='数据采集'")),
             QStringLiteral("采集成功！"));

    // Terminal 2 has no records: the list is emptied, nothing stored, still logged.
    w->clickTerminal(1);
    QCOMPARE(w->statusText(), QStringLiteral("当前机器：2 通讯口：1  版本：V1.0"));
    w->press(Button::Work);
    QVERIFY(w->recordRows().isEmpty());
    QCOMPARE(w->windowTitle(), QStringLiteral("机器[2]数据采集成功,记录总数：0,正确处理记录数： 0"));
}

void tst_window_operations::answersWhileTheLinkWaits() {
    TestHome home;
    resetHostDatabase(home.connection(), true);
    auto script = std::make_shared<DeviceScript>();
    script->sourceContent = QByteArray("011111112403051100\r\n");
    registerComponent(progid::DeviceLink, [script] { return std::make_unique<SlowDevice>(script); });
    F_GatherData* w = open();
    QList<int> percentsSeen;
    QTimer tick;
    connect(&tick, &QTimer::timeout, this, [&] {
        if (w->progressShown())
            percentsSeen << w->progressPercent();
    });
    tick.start(5);
    w->press(Button::Work);
    unregisterComponent(progid::DeviceLink);
    QVERIFY2(percentsSeen.size() >= 2, qPrintable(QString::number(percentsSeen.size())));
    QVERIFY(percentsSeen.contains(75) || percentsSeen.contains(100));
    QVERIFY(!w->progressShown());
}

// "退出" during a gather asks it to stop; the window closes only once the gather has
// returned, and as the last window it ends the host's event loop.
void tst_window_operations::exitWaitsForTheOperationToStop() {
    TestHome home;
    resetHostDatabase(home.connection(), true);
    auto script = std::make_shared<DeviceScript>();
    script->sourceContent = QByteArray("011111112403051100\r\n");
    registerComponent(progid::DeviceLink, [script] { return std::make_unique<SlowDevice>(script); });
    QPointer<F_GatherData> w = open();
    QSignalSpy lastClosed(qApp, &QGuiApplication::lastWindowClosed);
    bool openAfterExit = false;
    QTimer::singleShot(0, this, [&] {
        QTimer::singleShot(0, this, [&] {
            w->press(Button::Close);
            openAfterExit = w->isVisible() && w->isLoaded() && lastClosed.isEmpty();
        });
        w->press(Button::Work);
    });
    bool timedOut = false;
    QTimer watchdog;
    watchdog.setSingleShot(true);
    connect(&watchdog, &QTimer::timeout, this, [&] {
        timedOut = true;
        QCoreApplication::quit();
    });
    watchdog.start(10000);
    QApplication::exec();
    unregisterComponent(progid::DeviceLink);
    QVERIFY(!timedOut);
    QVERIFY(openAfterExit);
    QVERIFY2(script->calls.contains(QStringLiteral("cancelled")), qPrintable(script->calls.join(QLatin1Char(' '))));
    QCOMPARE(lastClosed.size(), 1);
    QCOMPARE(gatherWindow(), nullptr);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(w.isNull());
}

void tst_window_operations::portFreeAfterEveryOperation_data() {
    QTest::addColumn<Button>("button");
    QTest::addColumn<int>("terminalRow");
    QTest::addColumn<QList<int>>("keys");  // empty: the row is clicked and the button pressed with the mouse
    QTest::newRow("gather") << Button::Work << 0 << QList<int>();
    QTest::newRow("clear") << Button::Clear << 0 << QList<int>();
    QTest::newRow("link test") << Button::LanTest << 0 << QList<int>();
    // Terminal 2 does not answer: the operations end on their failure paths.
    QTest::newRow("gather, no answer") << Button::Work << 1 << QList<int>();
    QTest::newRow("clear, no answer") << Button::Clear << 1 << QList<int>();
    // The keyboard alone highlights the terminal and presses the button: the one highlighted is cleared.
    // A last Enter presses the button with Enter instead of the space bar.
    QTest::newRow("clear, Down, Enter") << Button::Clear << 1 << QList<int>{Qt::Key_Down, Qt::Key_Return};
    QTest::newRow("clear, End") << Button::Clear << 1 << QList<int>{Qt::Key_End};
    QTest::newRow("clear, End then Home") << Button::Clear << 0 << QList<int>{Qt::Key_End, Qt::Key_Home};
}

// The window stays open after an operation, and another program must still be able to use the port.
void tst_window_operations::portFreeAfterEveryOperation() {
    QFETCH(Button, button);
    QFETCH(int, terminalRow);
    QFETCH(QList<int>, keys);
    TestHome home;
    resetHostDatabase(home.connection(), true);
    writeFile(home.file(QStringLiteral("t1.txt")), "011111112403051100\n");
    writeFile(home.file(QStringLiteral("Config/Ports.ini")),
              QStringLiteral("[Ports]\n1=%1\nbaud=115200\n").arg(home.file(QStringLiteral("bus"))).toUtf8());
    QStringList terminals{"--terminal", "1=" + home.file(QStringLiteral("t1.txt")), "--baud", "115200"};
    // From the keyboard both terminals answer, so that which one was cleared shows.
    if (!keys.isEmpty())
        terminals += QStringList{"--terminal", "2"};
    TerminalSimProcess sim;
    QVERIFY2(sim.start(home.file(QStringLiteral("bus")), terminals), qPrintable(sim.errorString()));
    F_GatherData* w = open();
    if (keys.isEmpty()) {
        w->clickTerminal(terminalRow);
        w->press(button);
    } else {
        const int press = keys.last() == Qt::Key_Return ? keys.takeLast() : int(Qt::Key_Space);
        for (int key : keys)
            w->typeInTerminalList(key);
        QCOMPARE(w->highlightedTerminal(), terminalRow);
        w->pressByKeyboard(button, press);
        const QString address = QString::number(terminalRow + 1);
        QCOMPARE(prompts_.boxTexts(),
                 QStringList{QStringLiteral("确认要清除机器：[") + address + QStringLiteral("] 的打卡记录吗？")});
        QVERIFY(sim.waitForEvent(QStringLiteral("cleared ") + address));
        QCOMPARE(w->statusText(), QStringLiteral("机器[") + address + QStringLiteral("]的数据清理成功"));
    }

    SerialDeviceLink other(home.settings());
    QCOMPARE(other.SetPort(Variant(1)), std::optional<bool>(true));
    other.DestoryPort();
}

void tst_window_operations::focusStaysAfterAnOperation_data() {
    QTest::addColumn<Button>("button");
    QTest::addColumn<bool>("fromList");  // the focus was in the terminal list, the button clicked by the host
    QTest::newRow("测试") << Button::LanTest << false;
    QTest::newRow("采集") << Button::Work << false;
    QTest::newRow("读取") << Button::Read << false;
    QTest::newRow("清空") << Button::Clear << false;
    QTest::newRow("测试, focus in the list") << Button::LanTest << true;
}

// The buttons go grey while an operation runs; afterwards the focus is back where it was, and the
// next Enter repeats the operation instead of pressing 退出.
void tst_window_operations::focusStaysAfterAnOperation() {
    QFETCH(Button, button);
    QFETCH(bool, fromList);
    TestHome home;
    resetHostDatabase(home.connection(), true);
    RecordingDeviceRegistration device;
    device.script->sourceContent = QByteArray("011111112403051100\r\n");
    prompts_.fileToChoose = writeFile(home.file(QStringLiteral("saved.txt")), "011111112403051100\r\n");
    QPointer<F_GatherData> w = open();
    QVERIFY(QTest::qWaitForWindowActive(w));
    if (fromList) {
        QTest::mouseClick(w->findChild<QTreeView*>()->viewport(), Qt::LeftButton);
        w->press(button);
    } else {
        w->pressByKeyboard(button, Qt::Key_Return);
    }
    QWidget* focused = QApplication::focusWidget();
    QVERIFY(focused);
    if (fromList)
        QVERIFY(qobject_cast<QTreeView*>(focused));
    else
        QCOMPARE(qobject_cast<QPushButton*>(focused)->text(), QString::fromUtf8(QTest::currentDataTag()));
    QTest::keyClick(focused, Qt::Key_Return);
    QVERIFY(w && w->isVisible());
}

// An untitled box, the clearing's confirmation, after a gather has put its result in the caption.
void tst_window_operations::untitledBoxTakesTheWindowsName() {
    TestHome home;
    resetHostDatabase(home.connection(), true);
    RecordingDeviceRegistration device;
    device.script->sourceContent = QByteArray("011111112403051100\r\n");
    F_GatherData* w = &showGatherWindow(Variant(DemoUser), Variant(DemoCaption));
    w->press(Button::Work);
    QCOMPARE(w->windowTitle(), QStringLiteral("机器[1]数据采集成功,记录总数：1,正确处理记录数： 1"));
    QString title;
    QTimer::singleShot(0, this, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        QVERIFY(box);
        title = box->windowTitle();
        box->button(QMessageBox::Cancel)->click();
    });
    w->press(Button::Clear);
    QCOMPARE(title, QStringLiteral("计次餐饮数据采集"));
    QVERIFY(device.script->calls.filter(QStringLiteral("ClearRecord")).isEmpty());
}

QTEST_MAIN(tst_window_operations)
#include "tst_window_operations.moc"
