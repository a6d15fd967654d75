#include "entry/kq.h"
#include "entry/library_module.h"
#include "gather_window/f_gather_data.h"
#include "outside/component_registry.h"
#include "outside/host_schema.h"
#include "outside/interfaces.h"
#include "platform/error.h"
#include "support/recording_view.h"
#include "support/test_databases.h"

#include <QApplication>
#include <QCheckBox>
#include <QPushButton>
#include <QTreeWidget>
#include <QtTest>

using namespace tallyfold;
using namespace tallyfold::test;

namespace {
// Answers the rights from a list, records the function names, raises on call number `raiseOn`.
struct PermissionScript {
    QList<Variant> answers;
    int raiseOn = 0;
    QStringList calls;
};

class ScriptedPermission : public PermissionAuth {
public:
    explicit ScriptedPermission(std::shared_ptr<PermissionScript> s) : script_(std::move(s)) {}
    Variant CheckPermission(std::shared_ptr<Connection>& connection, const QString& system, QString& user,
                            const Variant& omitted, const QString& function, bool f1, bool f2) override {
        script_->calls << QStringList{system, user, function}.join(QLatin1Char('|'));
        if (!connection || !omitted.isEmpty() || !f1 || !f2)
            throw Error(5, QStringLiteral("unexpected arguments"));
        if (script_->calls.size() == script_->raiseOn)
            throw Error(-1, QStringLiteral("permission store unreachable"));
        return script_->answers.value(script_->calls.size() - 1, Variant(true));
    }

private:
    std::shared_ptr<PermissionScript> script_;
};

std::shared_ptr<PermissionScript> scriptPermission() {
    auto script = std::make_shared<PermissionScript>();
    registerComponent(progid::Permission, [script] { return std::make_unique<ScriptedPermission>(script); });
    return script;
}

F_GatherData* showA(const Variant& user, const QString& caption = DemoCaption) {
    Variant u(user), t(QStringLiteral("ignored title")), c(caption);
    QDateTime d(QDate(1999, 1, 1), QTime(0, 0));
    KQ().ShowA(u, t, c, d);
    return F_GatherData::sharedInstance();
}

QTreeWidgetItem* itemWithText(QTreeWidget* list, const QString& text) {
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        if (list->topLevelItem(i)->text(0) == text)
            return list->topLevelItem(i);
    return nullptr;
}

void click(QTreeWidget* list, QTreeWidgetItem* item) {
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(item).center());
}

int gatherWindows() {
    int n = 0;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (qobject_cast<F_GatherData*>(w))
            ++n;
    return n;
}
}  // namespace

class tst_gather_window : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void opensWithLayout();
    void rightsSwitchButtonsOff();
    void permissionFailingOnSecondCall();
    void closeBoxEqualsExit();
    void secondShowAKeepsOneWindow();
    void loadFailureShowsNoWindow();
    void nullUserFailsShowA();
    void terminalListAndClicks_data() { addBackendRows(); }
    void terminalListAndClicks();
    void noCountTypeTerminalKeepsCurrent();
    void timeParameters();

private:
    RecordingView prompts_;
};

void tst_gather_window::init() {
    prompts_ = RecordingView();
    libraryModule() = Mdl_GatherData();
    F_GatherData::setPromptsForNewWindows(&prompts_);
}

void tst_gather_window::cleanup() {
    if (F_GatherData* w = F_GatherData::sharedInstance())
        w->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    unregisterComponent(progid::Permission);
    unregisterComponent(progid::DeviceLink);
    F_GatherData::setPromptsForNewWindows(nullptr);
}

void tst_gather_window::opensWithLayout() {
    TestHome home;
    resetHostDatabase(home.connection(), true);
    F_GatherData* w = showA(DemoUser);
    QVERIFY(w && w->isVisible());
    QCOMPARE(w->windowTitle(), QStringLiteral("计次餐饮数据采集"));
    QCOMPARE(w->statusText(), QStringLiteral("考勤数据采集"));
    QCOMPARE(w->size(), QSize(654, 518));
    QCOMPARE(w->machineColumnTwips(), (std::vector<double>{976.5, 651, 651, 976.5}));
    QCOMPARE(w->recordColumnTwips(), (std::vector<double>{651, 976.5, 1302, 1627.5}));
    QCOMPARE(w->ListReco->headerItem()->text(2), QStringLiteral("日期"));
    QCOMPARE(w->ListReco->headerItem()->data(1, Qt::UserRole).toString(), QStringLiteral("COM"));
    for (QPushButton* b : {w->CmdLanTest, w->CmdWork, w->CmdRead, w->cmdClear, w->CmdClose})
        QVERIFY(b->isEnabled());
    QVERIFY(w->CheckGet->isChecked() && w->CheckSave->isChecked() && !w->CheckEditTime->isChecked());
    QCOMPARE(w->ListMachine->topLevelItemCount(), 2);
    QCOMPARE(w->ListMachine->topLevelItem(0)->text(0), QStringLiteral("机器1"));
    QCOMPARE(libraryModule().Pub_MachAddr.toText(), QStringLiteral("1"));
    QCOMPARE(libraryModule().Pub_DateQuote, QStringLiteral("'"));
    QVERIFY(prompts_.boxes.isEmpty());
}

void tst_gather_window::rightsSwitchButtonsOff() {
    TestHome home;
    resetHostDatabase(home.connection(), true);
    auto script = scriptPermission();
    // Empty and False take the right away; Null leaves the button alone.
    script->answers = {Variant(), Variant::null(), Variant(false)};
    F_GatherData* w = showA(QStringLiteral("op"), QString());
    QCOMPARE(script->calls, (QStringList{"考勤系统|op|.测试", "考勤系统|op|.操作", "考勤系统|op|.读取"}));
    QVERIFY(!w->CmdLanTest->isEnabled());
    QVERIFY(w->CmdWork->isEnabled());
    QVERIFY(!w->CmdRead->isEnabled());
    QVERIFY(w->cmdClear->isEnabled() && w->CmdClose->isEnabled());
    // An operation does not switch a right back on when it re-enables the buttons.
    w->setOperationsEnabled(false);
    w->setOperationsEnabled(true);
    QVERIFY(!w->CmdLanTest->isEnabled() && !w->CmdRead->isEnabled());
}

void tst_gather_window::permissionFailingOnSecondCall() {
    TestHome home;
    resetHostDatabase(home.connection(), true);
    auto script = scriptPermission();
    script->answers = {Variant(false)};
    script->raiseOn = 2;
    F_GatherData* w = showA(QStringLiteral("op"));
    QVERIFY(w && w->isVisible());
    QVERIFY(!w->CmdLanTest->isEnabled());
    QVERIFY(w->CmdWork->isEnabled() && w->CmdRead->isEnabled());
    QCOMPARE(prompts_.boxTexts(), QStringList{QStringLiteral("错误：\r\npermission store unreachable")});
    QCOMPARE(prompts_.boxes[0].icon, MessageIcon::Information);
    QCOMPARE(prompts_.boxes[0].title, QStringLiteral("系统提示"));
    // The failure came before the time parameters, so they stay unloaded.
    QCOMPARE(w->session().times.paraTime8, QTime(0, 0));
}

void tst_gather_window::closeBoxEqualsExit() {
    TestHome home;
    resetHostDatabase(home.connection(), true);
    for (bool byButton : {false, true}) {
        QPointer<F_GatherData> w = showA(DemoUser);
        QVERIFY(w);
        if (byButton)
            w->CmdClose->click();
        else
            QVERIFY(w->close());
        QCOMPARE(F_GatherData::sharedInstance(), nullptr);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(w.isNull());
        // The shared variables outlive the window.
        QCOMPARE(libraryModule().Pub_MachAddr.toText(), QStringLiteral("1"));
    }
}

void tst_gather_window::secondShowAKeepsOneWindow() {
    TestHome home;
    resetHostDatabase(home.connection(), true);
    F_GatherData* first = showA(QStringLiteral("u1"));
    first->setStatus(QStringLiteral("kept"));
    F_GatherData* second = showA(QStringLiteral("u2"));
    QCOMPARE(second, first);
    QCOMPARE(gatherWindows(), 1);
    QCOMPARE(second->statusText(), QStringLiteral("kept"));
    QCOMPARE(libraryModule().Pub_UserName, QStringLiteral("u2"));
}

void tst_gather_window::loadFailureShowsNoWindow() {
    TestHome home;
    resetHostDatabase(home.connection(), true);
    registerComponent(progid::DeviceLink, [] { return std::unique_ptr<Component>(); });
    try {
        showA(QStringLiteral("late"));
        QFAIL("ShowA should have raised");
    } catch (const Error& e) {
        QCOMPARE(e.number(), errc::CannotCreateComponent);
    }
    QCOMPARE(F_GatherData::sharedInstance(), nullptr);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(gatherWindows(), 0);
    QCOMPARE(libraryModule().Pub_UserName, QStringLiteral("late"));
}

void tst_gather_window::nullUserFailsShowA() {
    TestHome home;
    resetHostDatabase(home.connection(), true);
    QVERIFY_THROWS_EXCEPTION(Error, showA(Variant::null()));
    QCOMPARE(F_GatherData::sharedInstance(), nullptr);
}

void tst_gather_window::terminalListAndClicks() {
    TALLYFOLD_DATABASE_TEST(home, false);
    for (const char* row : {"('123', '计次', 3, 'V3', 'a')", "('05', '计次', 5, 'V5', 'b')",
                            "('23', '记次', 4, 'V4', 'c')", "('9', '考勤', 9, 'V9', 'd')"})
        execute(home.connection(),
                QStringLiteral("insert into MachineInfo (MachAddr, MachDesc, COMX, Ver, Team) values ") +
                    QString::fromUtf8(row));
    F_GatherData* w = showA(QStringLiteral("op"));
    QTreeWidget* list = w->ListMachine;
    QCOMPARE(list->topLevelItemCount(), 3);
    QCOMPARE(list->topLevelItem(0)->text(0), QStringLiteral("机器05"));
    QCOMPARE(list->topLevelItem(1)->text(1), QStringLiteral("3"));
    QCOMPARE(libraryModule().Pub_MachAddr.toText(), QStringLiteral("05"));

    click(list, itemWithText(list, QStringLiteral("机器123")));
    QCOMPARE(w->statusText(), QStringLiteral("当前机器：123 通讯口：3  版本：V3"));
    QCOMPARE(libraryModule().Pub_ComX.toText(), QStringLiteral("3"));
    click(list, itemWithText(list, QStringLiteral("机器05")));
    QCOMPARE(libraryModule().Pub_MachAddr.toText(), QStringLiteral("05"));
    QCOMPARE(libraryModule().Pub_MachVer, QStringLiteral("V5"));

    // The row went away: the click fails and the current terminal stays whole.
    execute(home.connection(), QStringLiteral("delete from MachineInfo where MachAddr='23'"));
    click(list, itemWithText(list, QStringLiteral("机器23")));
    QVERIFY2(w->statusText().startsWith(QStringLiteral("错误:")), qPrintable(w->statusText()));
    QCOMPARE(libraryModule().Pub_MachAddr.toText(), QStringLiteral("05"));
    QCOMPARE(libraryModule().Pub_ComX.toText(), QStringLiteral("5"));
    QCOMPARE(libraryModule().Pub_MachVer, QStringLiteral("V5"));

    // A click with nothing selected changes nothing either.
    list->clearSelection();
    list->setCurrentItem(nullptr);
    w->ListMachine_Click();
    QVERIFY(w->statusText().startsWith(QStringLiteral("错误:")));
    QCOMPARE(libraryModule().Pub_MachAddr.toText(), QStringLiteral("05"));
}

void tst_gather_window::noCountTypeTerminalKeepsCurrent() {
    TestHome home;
    resetHostDatabase(home.connection(), true);
    showA(DemoUser)->close();
    execute(home.connection(), QStringLiteral("delete from MachineInfo where MachDesc<>'考勤'"));
    F_GatherData* w = showA(DemoUser);
    QCOMPARE(w->ListMachine->topLevelItemCount(), 0);
    QCOMPARE(libraryModule().Pub_MachAddr.toText(), QStringLiteral("1"));
    // A click into the empty list still runs the handler: nothing is selected.
    QTest::mouseClick(w->ListMachine->viewport(), Qt::LeftButton, {}, QPoint(20, 20));
    QVERIFY2(w->statusText().startsWith(QStringLiteral("错误:")), qPrintable(w->statusText()));
    QCOMPARE(libraryModule().Pub_MachAddr.toText(), QStringLiteral("1"));
}

void tst_gather_window::timeParameters() {
    TestHome home;
    resetHostDatabase(home.connection(), true);
    F_GatherData* w = showA(DemoUser);
    QCOMPARE(w->session().times.paraTime1, QTime(5, 0));
    QCOMPARE(w->getGatherDay(QStringLiteral("2024-03-05 02:00")), qint16(1));
    QCOMPARE(w->getGatherDay(QStringLiteral("2024-03-05 04:00")), qint16(0));
    w->close();
    // Without parameter rows the load shows the numbered box and still opens.
    execute(home.connection(), QStringLiteral("delete from Tcon_MonTime"));
    w = showA(DemoUser);
    QVERIFY(w->isVisible());
    QCOMPARE(prompts_.boxes.size(), 1);
    QVERIFY(prompts_.boxes[0].text.startsWith(QStringLiteral("3021 : ")));
    QCOMPARE(w->session().times.paraTime1, QTime(0, 0));
}

QTEST_MAIN(tst_gather_window)
#include "tst_gather_window.moc"
