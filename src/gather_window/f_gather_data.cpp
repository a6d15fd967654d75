#include "gather_window/f_gather_data.h"

#include "gather_window/record_list_model.h"
#include "gather_window/terminal_list_model.h"
#include "gather_window/widget_prompts.h"
#include "info_window/frm_info.h"
#include "info_window/window_font.h"
#include "outside/component_registry.h"
#include "outside/database_tool.h"
#include "platform/log_categories.h"
#include "platform/twips.h"
#include "records/business_day.h"
#include "records/terminal_list.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QGroupBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScopedValueRollback>
#include <QScrollBar>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableView>
#include <QThread>
#include <QTimer>
#include <QTreeView>

namespace tallyfold {

namespace {
Tick tickOf(const QCheckBox* box) {
    switch (box->checkState()) {
    case Qt::Checked:
        return Tick::Ticked;
    case Qt::PartiallyChecked:
        return Tick::Greyed;
    default:
        return Tick::Clear;
    }
}

QList<QStringList> modelRows(const QAbstractItemModel& model) {
    QList<QStringList> rows;
    for (int r = 0; r < model.rowCount(); ++r) {
        QStringList row;
        for (int c = 0; c < model.columnCount(); ++c)
            row << model.index(r, c).data().toString();
        rows << row;
    }
    return rows;
}
}  // namespace

std::unique_ptr<F_GatherData> F_GatherData::load(Mdl_GatherData& module, const HostSettings& host, Prompts* prompts) {
    std::unique_ptr<F_GatherData> window = frame(module, host, prompts);
    window->finishLoad();
    return window;
}

std::unique_ptr<F_GatherData> F_GatherData::frame(Mdl_GatherData& module, const HostSettings& host, Prompts* prompts) {
    return std::unique_ptr<F_GatherData>(new F_GatherData(module, host, prompts));
}

F_GatherData::F_GatherData(Mdl_GatherData& module, const HostSettings& host, Prompts* prompts)
    : QWidget(nullptr), session_(module, host) {
    buildFrame();
    // A box without a title of its own takes the window's name, not the host program's, and not the
    // caption either: an operation's result replaces it.
    widgetPrompts_ =
        std::make_unique<WidgetPrompts>(this, QDir::cleanPath(host.path(QStringLiteral("Database/"))), windowTitle());
    prompts_ = std::make_unique<Asking>(*this, prompts ? *prompts : *widgetPrompts_);
}

void F_GatherData::finishLoad() {
    buildControls();
    // Controls made after the window was shown stay hidden until shown themselves.
    if (isVisible())
        for (QWidget* child : findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            if (!child->isWindow() && !child->testAttribute(Qt::WA_WState_ExplicitShowHide))
                child->show();
    loadSteps();
    loading_ = false;
    if (guard_.closeDeferred())
        close();
}

F_GatherData::~F_GatherData() {
    unload();
}

// Each button runs its operation on this window as the operator view.
void F_GatherData::connectButtons() {
    connect(CmdLanTest, &QPushButton::clicked, this,
            [this] { runOperation([this] { runLinkTest(session_, *this); }); });
    connect(CmdWork, &QPushButton::clicked, this,
            [this] { runOperation([this, options = gatherOptions()] { runGather(session_, *this, options); }); });
    connect(CmdRead, &QPushButton::clicked, this, [this] { runOperation([this] { runImport(session_, *this); }); });
    connect(cmdClear, &QPushButton::clicked, this, [this] { runOperation([this] { runClear(session_, *this); }); });
    connect(CmdClose, &QPushButton::clicked, this, &QWidget::close);
    for (QPushButton* b : {CmdLanTest, CmdWork, CmdRead, cmdClear, CmdClose})
        b->installEventFilter(this);
}

void F_GatherData::loadSteps() {
    session_.createComponents();
    // The terminals, the rights and the business day's times, in the order the load asks for them,
    // in one round trip: a far server costs one for each.
    std::vector<std::pair<QString, QVariantList>> ahead{{TerminalListStatement, {}}};
    for (auto& question : OperatorRights::questions(session_.module))
        ahead.push_back(std::move(question));
    ahead.emplace_back(BusinessDayTimesStatement, QVariantList());
    prefetchQueries(*session_.DbTool, ahead);
    static const double machineFractions[4] = {0.3, 0.2, 0.2, 0.3};
    setColumnWidths(ListMachine->header(), machineFractions, machineColumnTwips_);
    fitAddressColumn();
    ReadListMachine();
    static const double recordFractions[4] = {0.2, 0.3, 0.4, 0.5};
    setColumnWidths(ListReco->horizontalHeader(), recordFractions, recordColumnTwips_);
    loadTrapped();
    session_.loadFinished();
}

void F_GatherData::loadTrapped() {
    try {
        setStatus(QStringLiteral("考勤数据采集"));
        std::shared_ptr<Connection> permissionConnection = session_.DbTool->ActiveCn();
        auto auth = createComponent<PermissionAuth>(progid::Permission);
        rights_.check(*auth, std::move(permissionConnection), session_.module);
        getTimeBZBE();
    } catch (const Error& e) {
        prompts().message(promptBox(QStringLiteral("错误：\r\n") + e.description()));
    } catch (const std::exception& e) {
        prompts().message(promptBox(QStringLiteral("错误：\r\n") + QString::fromLocal8Bit(e.what())));
    }
    // The answers given before a failure stay in force.
    updateButtons();
}

void F_GatherData::unload() noexcept {
    if (unloaded_)
        return;
    unloaded_ = true;
    session_.release();
}

void F_GatherData::bringToFront() {
    guard_.cancelClose();
    show();
    raise();
    activateWindow();
}

void F_GatherData::closeEvent(QCloseEvent* event) {
    // A close while the shown window loads is carried out once the load has ended.
    if (loading_) {
        guard_.deferClose();
        event->ignore();
        return;
    }
    // The window stays in view until the operation has stopped: a hidden window's
    // later close would not count as the last one closed, and the host would never end.
    if (guard_.running()) {
        guard_.deferClose();
        setStatus(QStringLiteral("正在停止......"));
        event->ignore();
        return;
    }
    unload();
    event->accept();
}

bool F_GatherData::eventFilter(QObject* watched, QEvent* event) {
    // Enter presses the focused button, as Space does: a window that is not a dialog has no
    // default button to take it.
    if (auto* pressed = qobject_cast<QPushButton*>(watched); pressed && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) && key->modifiers() == Qt::NoModifier) {
            if (!key->isAutoRepeat())
                pressed->click();
            return true;
        }
    }
    if (watched != ListMachine->viewport() && watched != ListMachine)
        return QWidget::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::KeyPress:
        // The running operation works on the current terminal: neither it nor the
        // list's selection may change underneath it.
        if (guard_.running())
            return true;
        if (watched != ListMachine && event->type() != QEvent::KeyPress &&
            static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
            // A left click reads its terminal once, at the release, however the highlight moved meanwhile.
            leftPressed_ = event->type() != QEvent::MouseButtonRelease;
            if (!leftPressed_)
                ListMachine_Click();  // the press before it has already selected the row under the mouse
        }
        break;
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}

void F_GatherData::ReadListMachine() {
    const QScopedValueRollback<bool> reloading(listReloading_, true);
    const std::optional<int> current = terminals_->reload(*session_.DbTool, session_.module);
    if (current)
        ListMachine->setCurrentIndex(terminals_->index(*current, 0));
}

Variant F_GatherData::ViewMachInfo(const Variant& address) {
    makeCurrent(session_.module, lookUpTerminal(*session_.DbTool, address));
    return Variant();
}

void F_GatherData::ListMachine_Click() {
    const QModelIndex current = ListMachine->currentIndex();
    std::optional<int> row;
    if (current.isValid() && ListMachine->selectionModel()->isRowSelected(current.row(), {}))
        row = current.row();
    setStatus(terminals_->choose(row, *session_.DbTool, session_.module));
}

// The highlight moved by the keys, by typing or by a right click: the terminal under it
// becomes current as a click makes it. A reload has made its first terminal current
// itself, and a left click reads its terminal at the release.
void F_GatherData::ListMachine_Highlighted(const QModelIndex& current) {
    if (listReloading_ || leftPressed_ || guard_.running() || !current.isValid())
        return;
    setStatus(terminals_->choose(current.row(), *session_.DbTool, session_.module));
}

void F_GatherData::getTimeBZBE() {
    tallyfold::getTimeBZBE(*session_.DbTool, session_.times, prompts());
}

qint16 F_GatherData::getGatherDay(const QString& recordDateTime) {
    return tallyfold::getGatherDay(session_.times, recordDateTime, prompts());
}

template <class Operation>
void F_GatherData::runOperation(Operation&& operation) {
    std::optional<OperationGuard::Scope> scope = guard_.begin();
    if (!scope)
        return;
    summary_.clear();
    detail_.clear();
    updateToolTip();
    // Greying the pressed button would hand its focus on to the next one enabled, 退出, and the
    // next Enter or Space would close the window. The focus waits with no control meanwhile and
    // goes back where it was.
    const QPointer<QWidget> focused = focusWidget();
    if (focused)
        focused->clearFocus();
    updateButtons();
    progress_->setRange(0, 0);
    stepDone_ = false;
    showProgress(true);
    sincePump_.start();
    operation();
    showRows();
    showProgress(false);
    scope.reset();
    if (!unloaded_) {
        updateButtons();
        if (focused && focused->isEnabled())
            focused->setFocus(Qt::OtherFocusReason);
    }
    if (guard_.closeDeferred())
        close();
}

void F_GatherData::showRows() {
    if (!records_->hasPending())
        return;
    // Follow the newest row unless the operator has scrolled away from it.
    QScrollBar* bar = ListReco->verticalScrollBar();
    const bool atEnd = bar->value() == bar->maximum();
    records_->flush();
    if (atEnd)
        ListReco->scrollToBottom();
    // Rows after a finished transfer are being stored: a full bar would say all is done.
    if (stepDone_) {
        stepDone_ = false;
        progress_->setRange(0, 0);
    }
}

bool F_GatherData::cancelRequested() const {
    return guard_.stopRequested();
}

void F_GatherData::keepAlive() {
    // Only the window's own thread may pump its events.
    if (QThread::currentThread() != thread() || (sincePump_.isValid() && sincePump_.elapsed() < PumpIntervalMs))
        return;
    showRows();
    QApplication::processEvents();
    sincePump_.start();
}

void F_GatherData::updateButtons() {
    for (Button b : {Button::LanTest, Button::Work, Button::Read, Button::Clear, Button::Close})
        button(b)->setEnabled(rights_.enabled(b, guard_.running()));
}

void F_GatherData::updateToolTip() {
    QStringList lines;
    for (const QString& s : {summary_, detail_})
        if (!s.isEmpty())
            lines << s;
    statusPanel_->setToolTip(lines.join(QLatin1Char('\n')));
}

QPushButton* F_GatherData::button(Button which) const {
    switch (which) {
    case Button::LanTest:
        return CmdLanTest;
    case Button::Work:
        return CmdWork;
    case Button::Read:
        return CmdRead;
    case Button::Clear:
        return cmdClear;
    case Button::Close:
        break;
    }
    return CmdClose;
}

QCheckBox* F_GatherData::checkBox(Check which) const {
    switch (which) {
    case Check::Clear:
        return CheckClear;
    case Check::Get:
        return CheckGet;
    case Check::EditTime:
        return CheckEditTime;
    case Check::Save:
        break;
    }
    return CheckSave;
}

void F_GatherData::press(Button which) {
    button(which)->click();
}

bool F_GatherData::isEnabled(Button which) const {
    return button(which)->isEnabled();
}

void F_GatherData::clickTerminal(int row) {
    QPoint at(10, ListMachine->viewport()->height() - 4);
    if (row >= 0 && row < terminals_->rowCount())
        at = ListMachine->visualRect(terminals_->index(row, 0)).center();
    const QPointF global = ListMachine->viewport()->mapToGlobal(QPointF(at));
    for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
        QMouseEvent event(type, QPointF(at), global, Qt::LeftButton,
                          type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(ListMachine->viewport(), &event);
    }
}

void F_GatherData::typeInTerminalList(int key, const QString& text) {
    for (QEvent::Type type : {QEvent::KeyPress, QEvent::KeyRelease}) {
        QKeyEvent event(type, key, Qt::NoModifier, text);
        QApplication::sendEvent(ListMachine, &event);
    }
}

void F_GatherData::pressByKeyboard(Button which, int key) {
    QPushButton* pressed = button(which);
    pressed->setFocus(Qt::TabFocusReason);
    const QString text = key == Qt::Key_Space ? QStringLiteral(" ") : QStringLiteral("\r");
    for (QEvent::Type type : {QEvent::KeyPress, QEvent::KeyRelease}) {
        QKeyEvent event(type, key, Qt::NoModifier, text);
        QApplication::sendEvent(pressed, &event);
    }
}

int F_GatherData::highlightedTerminal() const {
    const QModelIndex current = ListMachine->currentIndex();
    return current.isValid() && ListMachine->selectionModel()->isRowSelected(current.row(), {}) ? current.row() : -1;
}

void F_GatherData::setChecked(Check box, bool ticked) {
    checkBox(box)->setChecked(ticked);
}

GatherOptions F_GatherData::gatherOptions() const {
    GatherOptions options;
    options.editTime = tickOf(CheckEditTime);
    options.get = tickOf(CheckGet);
    options.save = tickOf(CheckSave);
    return options;
}

QList<QStringList> F_GatherData::terminalRows() const {
    return modelRows(*terminals_);
}

QList<QStringList> F_GatherData::recordRows() const {
    return modelRows(*records_);
}

frm_Info* F_GatherData::failedLinesWindow() const {
    return failedLines_.data();
}

const QAbstractItemModel& F_GatherData::recordModel() const {
    return *records_;
}

QStringList F_GatherData::recordHeaders() const {
    QStringList headers;
    for (int i = 0; i < records_->columnCount(); ++i)
        headers << records_->headerData(i, Qt::Horizontal, Qt::DisplayRole).toString() + QLatin1Char('|') +
                       records_->headerData(i, Qt::Horizontal, Qt::UserRole).toString();
    return headers;
}

QString F_GatherData::statusText() const {
    return statusPanel_->text();
}

QString F_GatherData::statusToolTip() const {
    return statusPanel_->toolTip();
}

bool F_GatherData::progressShown() const {
    return progress_->isVisibleTo(const_cast<F_GatherData*>(this));
}

int F_GatherData::progressPercent() const {
    return progress_->maximum() == 0 ? -1 : progress_->value() / 10;
}

void F_GatherData::setStatus(const QString& text) {
    statusPanel_->setText(text);
}

void F_GatherData::setCaption(const QString& text) {
    setWindowTitle(text);
    // The status panel may be overwritten by a later step; its tooltip keeps the result.
    summary_ = text;
    updateToolTip();
}

void F_GatherData::setDetail(const QString& text) {
    // The reason behind the words the operator sees (the OS's, the device server's, the
    // database's): in the status bar's tooltip, and in the host's log.
    if (!text.isEmpty())
        qCWarning(lcOps()).noquote() << text;
    detail_ = text;
    updateToolTip();
}

void F_GatherData::setProgress(qint64 done, qint64 total) {
    stepDone_ = total > 0 && done >= total;
    if (total <= 0) {
        progress_->setRange(0, 0);
        return;
    }
    progress_->setRange(0, 1000);
    progress_->setValue(int(qBound(qint64(0), done * 1000 / total, qint64(1000))));
}

void F_GatherData::clearRecordList() {
    records_->clear();
}

void F_GatherData::addRecordRow(const QString& address, const QString& card, const QString& date, const QString& time) {
    records_->append({address, card, date, time});
}

void F_GatherData::addFailedLine(int position, const QString& key, const QString& lineNumber,
                                 const QString& recordText) {
    failedRows_.push_back(FailedRow{position, key, lineNumber, recordText});
}

void F_GatherData::showFailedLines() {
    showRows();
    if (!failedLines_)
        failedLines_ = new frm_Info(this);
    for (const FailedRow& row : failedRows_)
        failedLines_->addRow(row.position, row.key, row.lineNumber, row.recordText);
    std::vector<FailedRow>().swap(failedRows_);
    failedLines_->exec();
    discardFailedLines();
}

void F_GatherData::discardFailedLines() {
    std::vector<FailedRow>().swap(failedRows_);
    delete failedLines_.data();
}

Prompts& F_GatherData::prompts() {
    return *prompts_;
}

MessageAnswer F_GatherData::Asking::message(const MessageRequest& request) {
    window_.showRows();
    window_.showProgress(false);
    const MessageAnswer answer = inner_.message(request);
    window_.showProgress(window_.guard_.running());
    return answer;
}

QString F_GatherData::Asking::chooseOpenFile(const QString& filter) {
    window_.showProgress(false);
    const QString path = inner_.chooseOpenFile(filter);
    window_.showProgress(window_.guard_.running());
    return path;
}

void F_GatherData::showProgress(bool shown) {
    progress_->setVisible(shown);
}

}  // namespace tallyfold
