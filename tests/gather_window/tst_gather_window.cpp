#include "entry/library_module.h"
#include "gather_window/f_gather_data.h"
#include "gather_window/terminal_list_model.h"
#include "outside/component_registry.h"
#include "outside/host_schema.h"
#include "outside/interfaces.h"
#include "platform/error.h"
#include "support/recording_view.h"
#include "support/test_databases.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QHeaderView>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTableView>
#include <QTreeView>
#include <QtTest>
#include <cstdio>

using namespace tallyfold;
using namespace tallyfold::test;

namespace {
// Answers the rights from a list, records the function names, raises on call number `raiseOn`.
struct PermissionScript {
    QList<Variant> answers;
    int raiseOn = 0;
    QStringList calls;
    bool windowShown = false;      // a gathering window was on screen at the first call
    std::function<void()> during;  // what a host's event does at the first call
};

bool gatherWindowShown() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (qobject_cast<F_GatherData*>(w) && w->isVisible())
            return true;
    return false;
}

class ScriptedPermission : public PermissionAuth {
public:
    explicit ScriptedPermission(std::shared_ptr<PermissionScript> s) : script_(std::move(s)) {}
    Variant CheckPermission(std::shared_ptr<Connection>& connection, const QString& system, QString& user,
                            const Variant& omitted, const QString& function, bool f1, bool f2) override {
        if (script_->calls.isEmpty()) {
            script_->windowShown = gatherWindowShown();
            if (script_->during)
                script_->during();
        }
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

int gatherWindows() {
    int n = 0;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (qobject_cast<F_GatherData*>(w))
            ++n;
    return n;
}

QList<bool> enabledButtons(const F_GatherData* w) {
    QList<bool> states;
    for (Button b : {Button::LanTest, Button::Work, Button::Read, Button::Clear, Button::Close})
        states << w->isEnabled(b);
    return states;
}
}  // namespace

class tst_gather_window : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void opensWithLayout();
    void rights_data();
    void rights();
    void closeBoxEqualsExit();
    void secondShowAKeepsOneWindow();
    void showARunsNoHostEvent();
    void loadFailureShowsNoWindow();
    void nullUserFailsShowA();
    void missingDatabaseNamed_data();
    void missingDatabaseNamed();
    void terminalListAndClicks_data() { addBackendRows(); }
    void terminalListAndClicks();
    void noCountTypeTerminalKeepsCurrent();
    void timeParameters();
    void qtTextsInChinese();
    void fitsTheScreen_data();
    void fitsTheScreen();

private:
    F_GatherData* showA(const Variant& user, const QString& caption = DemoCaption) {
        return &showGatherWindow(user, Variant(caption), &prompts_);
    }
    RecordingView prompts_;
};

void tst_gather_window::init() {
    prompts_ = RecordingView();
    libraryModule() = Mdl_GatherData();
}

void tst_gather_window::cleanup() {
    if (F_GatherData* w = gatherWindow())
        w->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    unregisterComponent(progid::Permission);
    unregisterComponent(progid::DeviceLink);
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
    QCOMPARE(w->recordHeaders(), (QStringList{"机号|Machine", "卡号|COM", "日期|Ver", "时间|Team"}));
    QCOMPARE(enabledButtons(w), (QList<bool>{true, true, true, true, true}));
    const GatherOptions options = w->gatherOptions();
    QVERIFY(options.get == Tick::Ticked && options.save == Tick::Ticked && options.editTime == Tick::Clear);
    QCOMPARE(w->terminalRows().size(), 2);
    QCOMPARE(w->terminalRows()[0][0], QStringLiteral("机器1"));
    QCOMPARE(libraryModule().Pub_MachAddr.toText(), QStringLiteral("1"));
    QCOMPARE(libraryModule().Pub_DateQuote, QStringLiteral("'"));
    QVERIFY(!w->progressShown());
    QVERIFY(prompts_.boxes.isEmpty());
}

void tst_gather_window::rights_data() {
    QTest::addColumn<QList<Variant>>("answers");
    QTest::addColumn<int>("raiseOn");
    QTest::addColumn<QList<bool>>("enabled");  // 测试 采集 读取 清空 退出
    QTest::addColumn<QStringList>("boxes");
    // Empty and False take the right away; Null leaves the button alone.
    QTest::newRow("empty, null, false") << QList<Variant>{Variant(), Variant::null(), Variant(false)} << 0
                                        << QList<bool>{false, true, false, true, true} << QStringList();
    QTest::newRow("all false") << QList<Variant>{Variant(false), Variant(false), Variant(false)} << 0
                               << QList<bool>{false, false, false, false, true} << QStringList();
    // A failure on the second call keeps the first answer and leaves the others on.
    QTest::newRow("raises on second") << QList<Variant>{Variant(false)} << 2
                                      << QList<bool>{false, true, true, true, true}
                                      << QStringList{QStringLiteral("错误：\r\npermission store unreachable")};
}

void tst_gather_window::rights() {
    QFETCH(QList<Variant>, answers);
    QFETCH(int, raiseOn);
    QFETCH(QList<bool>, enabled);
    QFETCH(QStringList, boxes);
    TestHome home;
    resetHostDatabase(home.connection(), true);
    auto script = scriptPermission();
    script->answers = answers;
    script->raiseOn = raiseOn;
    F_GatherData* w = showA(QStringLiteral("op"), QString());
    QVERIFY(w && w->isVisible());
    QCOMPARE(script->calls.first(), QStringLiteral("考勤系统|op|.测试"));
    // The window paints before it loads: the operator sees it at once.
    QVERIFY(script->windowShown);
    if (!raiseOn)
        QCOMPARE(script->calls, (QStringList{"考勤系统|op|.测试", "考勤系统|op|.操作", "考勤系统|op|.读取"}));
    QCOMPARE(enabledButtons(w), enabled);
    QCOMPARE(prompts_.boxTexts(), boxes);
    for (const MessageRequest& box : prompts_.boxes) {
        QCOMPARE(box.icon, MessageIcon::Information);
        QCOMPARE(box.title, QStringLiteral("系统提示"));
    }
    // A failure before the time parameters leaves them unloaded.
    if (raiseOn)
        QCOMPARE(w->session().times.paraTime8, QTime(0, 0));
}

void tst_gather_window::closeBoxEqualsExit() {
    TestHome home;
    resetHostDatabase(home.connection(), true);
    for (bool byButton : {false, true}) {
        QPointer<F_GatherData> w = showA(DemoUser);
        QVERIFY(w);
        if (byButton)
            w->press(Button::Close);
        else
            QVERIFY(w->close());
        QCOMPARE(gatherWindow(), nullptr);
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

// The host's queued call and its 0 ms timer run after ShowA, and a ShowA from inside the first
// one (a host's event let run by a box of the load) is refused and changes nothing of it.
void tst_gather_window::showARunsNoHostEvent() {
    TestHome home;
    resetHostDatabase(home.connection(), true);
    QStringList ran;
    QMetaObject::invokeMethod(
        qApp, [&] { ran << QStringLiteral("queued"); }, Qt::QueuedConnection);
    QTimer::singleShot(0, qApp, [&] { ran << QStringLiteral("timer"); });
    long refused = 0;
    scriptPermission()->during = [&] {
        try {
            showA(QStringLiteral("second"));
        } catch (const Error& e) {
            refused = e.number();
        }
    };
    F_GatherData* w = showA(QStringLiteral("first"));
    QVERIFY(ran.isEmpty());
    QCOMPARE(refused, errc::InvalidCall);
    QCOMPARE(libraryModule().Pub_UserName, QStringLiteral("first"));
    QCOMPARE(gatherWindows(), 1);
    QVERIFY(w->isVisible());
    QTRY_COMPARE(ran.size(), 2);
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
    QCOMPARE(gatherWindow(), nullptr);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(gatherWindows(), 0);
    QCOMPARE(libraryModule().Pub_UserName, QStringLiteral("late"));
}

void tst_gather_window::nullUserFailsShowA() {
    TestHome home;
    resetHostDatabase(home.connection(), true);
    QVERIFY_THROWS_EXCEPTION(Error, showA(Variant::null()));
    QCOMPARE(gatherWindow(), nullptr);
}

void tst_gather_window::missingDatabaseNamed_data() {
    QTest::addColumn<QString>("file");  // below the host folder; empty: the embedded database
    QTest::newRow("configured file") << QStringLiteral("Database/other.db");
    QTest::newRow("embedded") << QString();
}

// The load names the file and creates none, also for the embedded database it would otherwise make.
void tst_gather_window::missingDatabaseNamed() {
    QFETCH(QString, file);
    TestHome home;
    const QString path = home.file(file.isEmpty() ? QStringLiteral("Database/tallyfold.db") : file);
    qputenv("TALLYFOLD_CONNECTION",
            file.isEmpty() ? QByteArray() : QStringLiteral("Provider=SQLite;Data Source=%1;").arg(path).toUtf8());
    try {
        showA(DemoUser);
        QFAIL("ShowA should have raised");
    } catch (const Error& e) {
        QCOMPARE(e.number(), errc::FileNotFound);
        QCOMPARE(e.description(), QStringLiteral("找不到数据库文件：") + path);
    }
    QVERIFY(!QFileInfo::exists(path));
    QCOMPARE(gatherWindow(), nullptr);
    QVERIFY(prompts_.boxes.isEmpty());
}

void tst_gather_window::terminalListAndClicks() {
    TALLYFOLD_DATABASE_TEST(home, false);
    for (const char* row : {"('123', '计次', 3, 'V3', 'a')", "('05', '计次', 5, 'V5', 'b')",
                            "('23', '记次', 4, 'V4', 'c')", "('9', '考勤', 9, 'V9', 'd')"})
        execute(home.connection(),
                QStringLiteral("insert into MachineInfo (MachAddr, MachDesc, COMX, Ver, Team) values ") +
                    QString::fromUtf8(row));
    F_GatherData* w = showA(QStringLiteral("op"));
    const QList<QStringList> rows = w->terminalRows();
    QCOMPARE(rows.size(), 3);
    QCOMPARE(rows[0], (QStringList{"机器05", "5", "V5", "b"}));
    QCOMPARE(rows[1][1], QStringLiteral("3"));
    QCOMPARE(rows[2][0], QStringLiteral("机器23"));
    QCOMPARE(libraryModule().Pub_MachAddr.toText(), QStringLiteral("05"));
    QCOMPARE(w->highlightedTerminal(), 0);

    w->clickTerminal(1);
    QCOMPARE(w->highlightedTerminal(), 1);
    QCOMPARE(w->statusText(), QStringLiteral("当前机器：123 通讯口：3  版本：V3"));
    QCOMPARE(libraryModule().Pub_ComX.toText(), QStringLiteral("3"));
    w->clickTerminal(0);
    QCOMPARE(libraryModule().Pub_MachAddr.toText(), QStringLiteral("05"));
    QCOMPARE(libraryModule().Pub_MachVer, QStringLiteral("V5"));

    // The row went away: the click fails and the current terminal stays whole.
    execute(home.connection(), QStringLiteral("delete from MachineInfo where MachAddr='23'"));
    w->clickTerminal(2);
    QVERIFY2(w->statusText().startsWith(QStringLiteral("错误:")), qPrintable(w->statusText()));
    QCOMPARE(libraryModule().Pub_MachAddr.toText(), QStringLiteral("05"));
    QCOMPARE(libraryModule().Pub_ComX.toText(), QStringLiteral("5"));
    QCOMPARE(libraryModule().Pub_MachVer, QStringLiteral("V5"));
}

void tst_gather_window::noCountTypeTerminalKeepsCurrent() {
    TestHome home;
    resetHostDatabase(home.connection(), true);
    showA(DemoUser)->close();
    execute(home.connection(), QStringLiteral("delete from MachineInfo where MachDesc<>'考勤'"));
    F_GatherData* w = showA(DemoUser);
    QVERIFY(w->terminalRows().isEmpty());
    QCOMPARE(w->highlightedTerminal(), -1);
    QCOMPARE(libraryModule().Pub_MachAddr.toText(), QStringLiteral("1"));
    // A click into the empty list still runs the handler: nothing is selected.
    w->clickTerminal(0);
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

void tst_gather_window::qtTextsInChinese() {
    TestHome home;
    resetHostDatabase(home.connection(), true);
    // A host that brought its own translation keeps it.
    struct HostTranslator : QTranslator {
        QString translate(const char* context, const char* source, const char*, int) const override {
            return QByteArray(context) == "QPlatformTheme" && QByteArray(source) == "Cancel" ? QStringLiteral("host")
                                                                                             : QString();
        }
    } host;
    QCoreApplication::installTranslator(&host);
    showA(DemoUser)->close();
    QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("host"));
    QCoreApplication::removeTranslator(&host);
    // The test script installs the translations; elsewhere their absence is said, not failed.
    if (!QFile::exists(QLibraryInfo::path(QLibraryInfo::TranslationsPath) + QStringLiteral("/qtbase_zh_CN.qm"))) {
        if (qEnvironmentVariable("CI") == QLatin1String("true"))
            QFAIL("qtbase_zh_CN.qm is not installed (Debian package qt6-translations-l10n)");
        QSKIP("qtbase_zh_CN.qm is not installed (Debian package qt6-translations-l10n)");
    }
    showA(DemoUser);
    QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("取消"));
}

void tst_gather_window::fitsTheScreen_data() {
    QTest::addColumn<QSize>("screen");
    QTest::addColumn<QString>("factor");
    for (QSize screen : {QSize(1366, 768), QSize(1280, 800)})
        for (const char* factor : {"1", "1.25", "1.5", "2"})
            QTest::addRow("%dx%d at %s", screen.width(), screen.height(), factor)
                << screen << QString::fromLatin1(factor);
    QTest::addRow("640x480 at 1") << QSize(640, 480) << QStringLiteral("1");
}

// Every control in reach on a laptop's screen at every scale factor. The factor and the screen
// are read as an application starts, so the window opens in a process of its own.
void tst_gather_window::fitsTheScreen() {
    QFETCH(QSize, screen);
    QFETCH(QString, factor);
    QTemporaryFile config;
    QVERIFY(config.open());
    config.write(QStringLiteral(R"({"screens": [{"name": "laptop", "x": 0, "y": 0, "width": %1, "height": %2,
                                   "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1}]})")
                     .arg(screen.width())
                     .arg(screen.height())
                     .toUtf8());
    config.close();
    QProcess fit;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen:configfile=") + config.fileName());
    env.insert(QStringLiteral("QT_SCALE_FACTOR"), factor);
    fit.setProcessEnvironment(env);
    fit.setProcessChannelMode(QProcess::MergedChannels);
    fit.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--fit")});
    QVERIFY(fit.waitForFinished(60000));
    QVERIFY2(fit.exitCode() == 0, fit.readAll().constData());
}

namespace {
// Opens the window with terminal 255 listed and a file read into the record list, and names
// whatever is not whole on the screen.
int reportFit(int argc, char** argv) {
    QApplication app(argc, argv);
    TestHome home;
    resetHostDatabase(home.connection(), true);
    execute(home.connection(), QStringLiteral("insert into MachineInfo (MachAddr, MachDesc, COMX, Ver, Team) "
                                              "values ('255', '计次', 1, 'V1.0', '大厅')"));
    RecordingView prompts;
    QByteArray lines;
    for (int card = 100000; card < 100040; ++card)
        lines += "01" + QByteArray::number(card) + "2403051100\r\n";
    prompts.fileToChoose = writeFile(home.file(QStringLiteral("saved.txt")), lines);
    F_GatherData& w = showGatherWindow(Variant(DemoUser), Variant(DemoCaption), &prompts);
    w.press(Button::Read);
    const QRect room = w.screen()->availableGeometry();
    QStringList outside;
    // Placed where its frame, a window manager's of the style's size, fits too.
    const int border = 2 * w.style()->pixelMetric(QStyle::PM_DefaultFrameWidth) + 4;
    const QSize frame(border, border + w.style()->pixelMetric(QStyle::PM_TitleBarHeight));
    if (!room.contains(w.geometry()) || !room.contains(QRect(w.pos(), w.size() + frame)))
        outside << QStringLiteral("the window");
    for (QAbstractButton* b : w.findChildren<QAbstractButton*>()) {
        if (!qobject_cast<QPushButton*>(b) && !qobject_cast<QCheckBox*>(b))
            continue;
        const QRect at(b->mapToGlobal(QPoint(0, 0)), b->size());
        // A button's hint adds a style's margins to its text: only the text must fit.
        const int needed =
            qobject_cast<QCheckBox*>(b) ? b->sizeHint().width() : b->fontMetrics().horizontalAdvance(b->text());
        if (!room.contains(at) || b->width() < needed)
            outside << QStringLiteral("%1 at %2,%3 %4x%5, %6 needed")
                           .arg(b->text())
                           .arg(at.x())
                           .arg(at.y())
                           .arg(at.width())
                           .arg(at.height())
                           .arg(needed);
    }
    // Every terminal column shows its widest entry and ends inside the list.
    auto* list = w.findChild<QTreeView*>();
    const QAbstractItemView* terminals = list;
    const QHeaderView* columns = list->header();
    for (int i = 0; i < 4; ++i)
        if (columns->sectionSize(i) < terminals->sizeHintForColumn(i) ||
            columns->sectionViewportPosition(i) + columns->sectionSize(i) > list->viewport()->width())
            outside << QStringLiteral("the terminal column ") + TerminalHeaders[i];
    // Cut neither by the window nor by the tab page.
    auto* records = w.findChild<QTableView*>();
    const std::pair<const char*, QWidget*> parts[] = {{"the record box", records->parentWidget()},
                                                      {"the record list", records},
                                                      {"its vertical scroll bar", records->verticalScrollBar()},
                                                      {"its horizontal scroll bar", records->horizontalScrollBar()}};
    for (const auto& [name, part] : parts)
        if (!part->isVisible() || part->visibleRegion() != QRegion(part->rect()))
            outside << QString::fromLatin1(name);
    for (const QString& what : outside)
        std::printf("not whole on the screen: %s\n", qPrintable(what));
    w.close();
    return outside.isEmpty() ? 0 : 1;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && qstrcmp(argv[1], "--fit") == 0)
        return reportFit(argc, argv);
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);
    tst_gather_window test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_gather_window.moc"
