#include "gather_window/f_gather_data.h"

#include "gather_window/artwork.h"
#include "gather_window/widget_prompts.h"
#include "info_window/frm_info.h"
#include "info_window/window_font.h"
#include "outside/component_registry.h"
#include "platform/twips.h"
#include "records/mdl_gather_data.h"
#include "records/operations.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QTreeWidget>

namespace tallyfold {

QPointer<F_GatherData> F_GatherData::shared_;
Prompts* F_GatherData::promptsForNewWindows_ = nullptr;

namespace {
int checkValue(const QCheckBox* box) {
    switch (box->checkState()) {
    case Qt::Checked:
        return 1;
    case Qt::PartiallyChecked:
        return 2;
    default:
        return 0;
    }
}

QPushButton* button(QWidget* parent, const QString& text, double left, double top) {
    auto* b = new QPushButton(text, parent);
    b->setGeometry(px(left), px(top), px(1215), px(375));
    return b;
}

QCheckBox* checkBox(QWidget* parent, const QString& text, double top, bool ticked) {
    auto* c = new QCheckBox(text, parent);
    c->setGeometry(px(4560), px(top), px(1455), px(255));
    c->setChecked(ticked);
    return c;
}
}  // namespace

F_GatherData* F_GatherData::sharedInstance() {
    return shared_.data();
}

F_GatherData& F_GatherData::showShared(Mdl_GatherData& module, const HostSettings& host) {
    if (shared_) {
        shared_->show();
        shared_->raise();
        shared_->activateWindow();
        return *shared_;
    }
    auto* window = new F_GatherData(module, host);
    try {
        window->load();
    } catch (...) {
        window->unload();
        delete window;
        throw;
    }
    shared_ = window;
    window->show();
    return *window;
}

F_GatherData::F_GatherData(Mdl_GatherData& module, const HostSettings& host)
    : QWidget(nullptr), session_(module, host) {
    setAttribute(Qt::WA_DeleteOnClose);
    widgetPrompts_ = std::make_unique<WidgetPrompts>(this);
    prompts_ = promptsForNewWindows_ ? promptsForNewWindows_ : widgetPrompts_.get();
    buildControls();
}

F_GatherData::~F_GatherData() {
    unload();
}

void F_GatherData::buildControls() {
    setWindowTitle(QStringLiteral("计次餐饮数据采集"));
    setWindowIcon(windowIcon());
    setFont(windowFont());
    setFixedSize(px(9810), px(7770));

    Picture1 = new QLabel(this);
    Picture1->setGeometry(px(-480), px(-480), px(10455), px(2175));
    Picture1->setPixmap(bannerPicture());
    Picture1->setScaledContents(true);
    Label2 = new QLabel(QStringLiteral("采集考勤数据"), Picture1);
    Label2->setGeometry(px(8640), px(1920), px(1080), px(180));
    Label2->setStyleSheet(QStringLiteral("color: white"));

    ListMachine = new QTreeWidget(this);
    ListMachine->setGeometry(0, px(1800), px(3255), px(5655));
    ListMachine->setRootIsDecorated(false);
    ListMachine->setIconSize(QSize(16, 16));
    // Every click in the list counts, also one below the last terminal (itemClicked would miss it).
    ListMachine->viewport()->installEventFilter(this);

    SSTab1 = new QTabWidget(this);
    SSTab1->setGeometry(px(3360), px(1800), px(6375), px(5655));
    auto* page = new QWidget();
    SSTab1->addTab(page, QStringLiteral("采集设置"));
    // Child positions are given from the tab control's top edge, strip included.
    const double strip = 240;

    Frame1 = new QGroupBox(QStringLiteral("考勤记录浏览"), page);
    Frame1->setGeometry(px(120), px(360 - strip), px(4215), px(5175));
    ListReco = new QTreeWidget(Frame1);
    ListReco->setGeometry(px(120), px(240), px(3975), px(4815));
    ListReco->setRootIsDecorated(false);

    CheckClear = checkBox(page, QStringLiteral("采完清空记录"), 630 - strip, false);
    CheckClear->setEnabled(false);
    CheckGet = checkBox(page, QStringLiteral("采集考勤记录"), 960 - strip, true);
    CheckEditTime = checkBox(page, QStringLiteral("校正机器时间"), 1320 - strip, false);
    CheckSave = checkBox(page, QStringLiteral("保存采集文件"), 1680 - strip, true);

    CmdLanTest = button(page, QStringLiteral("测试"), 4680, 2310 - strip);
    CmdWork = button(page, QStringLiteral("采集"), 4680, 2760 - strip);
    CmdRead = button(page, QStringLiteral("读取"), 4680, 3210 - strip);
    cmdClear = button(page, QStringLiteral("清空"), 4680, 3690 - strip);
    CmdClose = button(page, QStringLiteral("退出"), 4680, 4140 - strip);
    connect(CmdLanTest, &QPushButton::clicked, this, [this] { CmdLanTest_Click(); });
    connect(CmdWork, &QPushButton::clicked, this, [this] { CmdWork_Click(); });
    connect(CmdRead, &QPushButton::clicked, this, [this] { CmdRead_Click(); });
    connect(cmdClear, &QPushButton::clicked, this, [this] { cmdClear_Click(); });
    connect(CmdClose, &QPushButton::clicked, this, [this] { CmdClose_Click(); });

    // Below the client area in the design; no operation reads them.
    Opt_Record = new QRadioButton(QStringLiteral("采集打卡数据"), this);
    Opt_Record->setGeometry(px(150), px(8820), px(1695), px(180));
    Opt_Record->setChecked(true);
    Opt_Record->setStyleSheet(QStringLiteral("color: red"));
    Opt_Record->setEnabled(false);
    Opt_BlackList = new QRadioButton(QStringLiteral("采集黑名单"), this);
    Opt_BlackList->setGeometry(px(100), px(9090), px(2295), px(195));
    Opt_BlackList->setEnabled(false);

    Sta_Text = new QStatusBar(this);
    Sta_Text->setGeometry(0, px(7470), px(9810), px(300));
    Sta_Text->setSizeGripEnabled(false);
    statusPanel_ = new QLabel(Sta_Text);
    Sta_Text->addWidget(statusPanel_, 1);
}

void F_GatherData::addColumns(QTreeWidget* list, const double (&fractions)[4], const char* const (&headers)[4],
                              std::vector<double>& twips) {
    static const char* const keys[4] = {"Machine", "COM", "Ver", "Team"};
    auto* header = new QTreeWidgetItem();
    twips.clear();
    for (int i = 0; i < 4; ++i) {
        // The widths follow the terminal list's width, read again for every column.
        const double width = double(ListMachine->width()) * TwipsPerPixel * fractions[i];
        twips.push_back(width);
        header->setText(i, QString::fromUtf8(headers[i]));
        header->setData(i, Qt::UserRole, QString::fromLatin1(keys[i]));
    }
    list->setColumnCount(4);
    list->setHeaderItem(header);
    list->header()->setStretchLastSection(false);
    for (int i = 0; i < 4; ++i)
        list->setColumnWidth(i, px(twips[std::size_t(i)]));
}

void F_GatherData::load() {
    session_.createComponents();
    static const double machineFractions[4] = {0.3, 0.2, 0.2, 0.3};
    static const char* const machineHeaders[4] = {"机号", "串口", "版本", "组别"};
    addColumns(ListMachine, machineFractions, machineHeaders, machineColumnTwips_);
    ReadListMachine();
    static const double recordFractions[4] = {0.2, 0.3, 0.4, 0.5};
    static const char* const recordHeaders[4] = {"机号", "卡号", "日期", "时间"};
    addColumns(ListReco, recordFractions, recordHeaders, recordColumnTwips_);
    loadTrapped();
    session_.loadFinished();
}

void F_GatherData::loadTrapped() {
    try {
        setStatus(QStringLiteral("考勤数据采集"));
        std::shared_ptr<Connection> permissionConnection = session_.DbTool->ActiveCn();
        auto auth = createComponent<PermissionAuth>(progid::Permission);
        Mdl_GatherData& module = session_.module;
        const std::pair<const char*, QPushButton*> rights[] = {
            {".测试", CmdLanTest}, {".操作", CmdWork}, {".读取", CmdRead}};
        for (const auto& [suffix, target] : rights) {
            const Variant granted =
                auth->CheckPermission(permissionConnection, QStringLiteral("考勤系统"), module.Pub_UserName, Variant(),
                                      module.Pub_Caption + QString::fromUtf8(suffix), true, true);
            if (granted.equalsFalse()) {
                target->setEnabled(false);
                switchedOff_.insert(target);
            }
        }
        getTimeBZBE();
    } catch (const Error& e) {
        prompts().message(promptBox(QStringLiteral("错误：\r\n") + e.description()));
    } catch (const std::exception& e) {
        prompts().message(promptBox(QStringLiteral("错误：\r\n") + QString::fromLocal8Bit(e.what())));
    }
}

void F_GatherData::unload() noexcept {
    if (unloaded_)
        return;
    unloaded_ = true;
    session_.release();
}

void F_GatherData::closeEvent(QCloseEvent* event) {
    if (busy_) {
        // The running operation still uses this window; it closes when the operation returns.
        closeRequested_ = true;
        hide();
        event->ignore();
        return;
    }
    unload();
    if (shared_ == this)
        shared_ = nullptr;
    event->accept();
}

bool F_GatherData::eventFilter(QObject* watched, QEvent* event) {
    if (watched == ListMachine->viewport() && event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton)
        ListMachine_Click();  // the press before it has already selected the item under the mouse
    return QWidget::eventFilter(watched, event);
}

void F_GatherData::CmdClose_Click() {
    close();
}

void F_GatherData::ReadListMachine() {
    std::vector<TerminalRow> rows = readTerminalRows(*session_.DbTool);
    ListMachine->clear();
    makeFirstCurrent(session_.module, rows);
    const QIcon icon(terminalPicture(16));
    for (std::size_t i = 0; i < rows.size(); ++i) {
        auto* item = new QTreeWidgetItem(ListMachine);
        item->setText(0, rows[i].itemText);
        item->setIcon(0, icon);
        item->setData(0, Qt::UserRole, qulonglong(i));
        item->setText(1, rows[i].comText);
        item->setText(2, rows[i].verText);
        item->setText(3, rows[i].teamText);
    }
    terminals_ = std::move(rows);
}

Variant F_GatherData::ViewMachInfo(const Variant& address) {
    makeCurrent(session_.module, lookUpTerminal(*session_.DbTool, address));
    return Variant();
}

void F_GatherData::ListMachine_Click() {
    try {
        QTreeWidgetItem* item = ListMachine->currentItem();
        if (!item || !item->isSelected())
            throw Error(errc::ObjectNotSet, QStringLiteral("Object variable not set: no terminal is selected"));
        const std::size_t index = item->data(0, Qt::UserRole).toULongLong();
        if (index >= terminals_.size())
            throw Error(errc::ObjectNotSet, QStringLiteral("Object variable not set: the item has no terminal"));
        ViewMachInfo(terminals_[index].machAddr);
        setStatus(currentTerminalStatus(session_.module));
    } catch (const Error& e) {
        setStatus(QStringLiteral("错误:") + e.description());
    } catch (const std::exception& e) {
        setStatus(QStringLiteral("错误:") + QString::fromLocal8Bit(e.what()));
    }
}

void F_GatherData::getTimeBZBE() {
    tallyfold::getTimeBZBE(*session_.DbTool, session_.times, prompts());
}

qint16 F_GatherData::getGatherDay(const QString& recordDateTime) {
    return tallyfold::getGatherDay(session_.times, recordDateTime, prompts());
}

template <class Operation>
void F_GatherData::runExclusive(Operation&& operation) {
    if (busy_)
        return;
    busy_ = true;
    setOperationsEnabled(false);
    operation();
    busy_ = false;
    if (!unloaded_)
        setOperationsEnabled(true);
    if (closeRequested_)
        close();
}

void F_GatherData::CmdWork_Click() {
    runExclusive([this] {
        runGather(session_, *this,
                  GatherOptions{checkValue(CheckEditTime), checkValue(CheckGet), checkValue(CheckSave)});
    });
}

void F_GatherData::CmdRead_Click() {
    runExclusive([this] { runImport(session_, *this); });
}

void F_GatherData::cmdClear_Click() {
    runExclusive([this] { runClear(session_, *this); });
}

void F_GatherData::CmdLanTest_Click() {
    runExclusive([this] { runLinkTest(session_, *this); });
}

void F_GatherData::setPromptsForNewWindows(Prompts* prompts) {
    promptsForNewWindows_ = prompts;
}

void F_GatherData::setPrompts(Prompts* prompts) {
    prompts_ = prompts ? prompts : widgetPrompts_.get();
}

QString F_GatherData::statusText() const {
    return statusPanel_->text();
}

void F_GatherData::setStatus(const QString& text) {
    statusPanel_->setText(text);
}

void F_GatherData::setCaption(const QString& text) {
    setWindowTitle(text);
}

void F_GatherData::clearRecordList() {
    ListReco->clear();
}

void F_GatherData::addRecordRow(const QString& address, const QString& card, const QString& date, const QString& time) {
    auto* item = new QTreeWidgetItem(ListReco);
    item->setText(0, address);
    item->setText(1, card);
    item->setText(2, date);
    item->setText(3, time);
}

void F_GatherData::addFailedLine(int position, const QString& key, const QString& lineNumber,
                                 const QString& recordText) {
    frm_Info::instance().addRow(position, key, lineNumber, recordText);
}

void F_GatherData::showFailedLines() {
    frm_Info::instance().showModal();
}

void F_GatherData::discardFailedLines() {
    frm_Info::unload();
}

Prompts& F_GatherData::prompts() {
    return *prompts_;
}

void F_GatherData::processPendingEvents() {
    QApplication::processEvents();
}

void F_GatherData::setOperationsEnabled(bool enabled) {
    for (QPushButton* b : {CmdLanTest, CmdWork, CmdRead, cmdClear})
        b->setEnabled(enabled && !switchedOff_.count(b));
}

}  // namespace tallyfold
