// The window's controls where the design puts them, in twips; nothing here runs an operation.
#include "gather_window/f_gather_data.h"

#include "gather_window/artwork.h"
#include "gather_window/record_list_model.h"
#include "gather_window/terminal_list_model.h"
#include "info_window/window_font.h"
#include "platform/twips.h"

#include <QCheckBox>
#include <QCursor>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QStatusBar>
#include <QStyleOptionTabWidgetFrame>
#include <QStyleOptionViewItem>
#include <QTabWidget>
#include <QTableView>
#include <QTreeView>
#include <algorithm>

namespace tallyfold {

namespace {
QPushButton* makeButton(QWidget* parent, const QString& text, double left, double top, double scale) {
    auto* b = new QPushButton(text, parent);
    b->setGeometry(px(left, scale), px(top, scale), px(1215, scale), px(375, scale));
    return b;
}

QCheckBox* makeCheckBox(QWidget* parent, const QString& text, double top, bool ticked, double scale) {
    auto* c = new QCheckBox(text, parent);
    c->setGeometry(px(4560, scale), px(top, scale), px(1455, scale), px(255, scale));
    // A scaled font's glyphs are not always scaled widths: the text shows whole.
    c->resize(c->size().expandedTo(c->sizeHint()));
    c->setChecked(ticked);
    return c;
}

QTreeView* makeList(QWidget* parent, QAbstractItemModel* model) {
    auto* list = new QTreeView(parent);
    list->setModel(model);
    list->setRootIsDecorated(false);
    list->setItemsExpandable(false);
    // Every row is one line high, so the view need not measure rows to lay them out.
    list->setUniformRowHeights(true);
    list->header()->setStretchLastSection(false);
    return list;
}

// The record list looks and behaves as the terminal list does, but may hold a million
// rows: a table view lays out only what it shows, where a tree view walks every row
// again for each batch added.
QTableView* makeRecordList(QWidget* parent, QAbstractItemModel* model) {
    auto* list = new QTableView(parent);
    list->setModel(model);
    list->setShowGrid(false);
    list->setWordWrap(false);
    list->setCornerButtonEnabled(false);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    QHeaderView* columns = list->horizontalHeader();
    columns->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    columns->setSectionsClickable(false);
    columns->setHighlightSections(false);
    // Rows one line high, as a tree view's item of the same font.
    QStyleOptionViewItem item;
    item.initFrom(list);
    item.font = list->font();
    item.fontMetrics = QFontMetrics(item.font);
    item.features = QStyleOptionViewItem::HasDisplay;
    item.text = QStringLiteral("0");
    const int height = list->style()->sizeFromContents(QStyle::CT_ItemViewItem, &item, QSize(), list).height();
    QHeaderView* rows = list->verticalHeader();
    rows->hide();
    rows->setMinimumSectionSize(height);
    rows->setDefaultSectionSize(height);
    rows->setSectionResizeMode(QHeaderView::Fixed);
    return list;
}

// Where the window will open: the screen under the mouse, as window managers place a new
// window; the room left there by panels and docks.
QRect roomForWindow() {
    QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect();
}

// What a window manager's frame adds to the window's size. It is not known before the window
// shows: a title bar and borders of the style's size stand in for it.
QSize frameStandIn(const QWidget& window) {
    const int border = 2 * window.style()->pixelMetric(QStyle::PM_DefaultFrameWidth) + 4;
    return {border, border + window.style()->pixelMetric(QStyle::PM_TitleBarHeight)};
}

// The design's size on a screen with room for it and its frame; on a smaller one (a high scale
// factor on a laptop's screen) the whole layout shrinks, keeping its proportions, so every
// control stays reachable.
double fitScale(QSize frame, const QRect& room, QSize design) {
    if (room.isEmpty())
        return 1;
    return std::min({1.0, double(room.width() - frame.width()) / design.width(),
                     double(room.height() - frame.height()) / design.height()});
}

// The tab control's page where the tab control will put it, known before it shows.
class TabControl : public QTabWidget {
public:
    using QTabWidget::QTabWidget;
    QRect pageRect() const {
        QStyleOptionTabWidgetFrame option;
        initStyleOption(&option);
        return style()->subElementRect(QStyle::SE_TabWidgetTabContents, &option, this);
    }
};

}  // namespace

// What the first paint shows: an empty window of its size, with its caption.
void F_GatherData::buildFrame() {
    setWindowTitle(QStringLiteral("计次餐饮数据采集"));
    const QRect room = roomForWindow();
    const QSize frame = frameStandIn(*this);
    scale_ = fitScale(frame, room, QSize(px(9810), px(7770)));
    setFixedSize(px(9810, scale_), px(7770, scale_));
    // A window's position is its frame's: centred with the frame it was given room for, or the frame
    // pushes the status bar off the screen's bottom.
    if (scale_ < 1)
        move(room.left() + (room.width() - width() - frame.width()) / 2,
             room.top() + (room.height() - height() - frame.height()) / 2);
}

void F_GatherData::buildControls() {
    setWindowIcon(tallyfold::windowIcon());
    QFont font = windowFont();
    font.setPointSizeF(font.pointSizeF() * scale_);
    setFont(font);
    const auto px = [this](double twips) { return tallyfold::px(twips, scale_); };
    terminals_ = new TerminalListModel(QIcon(terminalPicture(16)), this);
    records_ = new RecordListModel(this);

    Picture1 = new QLabel(this);
    Picture1->setGeometry(px(-480), px(-480), px(10455), px(2175));
    Picture1->setPixmap(bannerPicture());
    Picture1->setScaledContents(true);
    Label2 = new QLabel(QStringLiteral("采集考勤数据"), Picture1);
    Label2->setGeometry(px(8640), px(1920), px(1080), px(180));
    Label2->setStyleSheet(QStringLiteral("color: white"));
    const int wider = Label2->sizeHint().width() - Label2->width();
    if (wider > 0)  // it ends where the design ends it
        Label2->setGeometry(Label2->geometry().adjusted(-wider, 0, 0, 0));

    ListMachine = makeList(this, terminals_);
    ListMachine->setGeometry(0, px(1800), px(3255), px(5655));
    ListMachine->setIconSize(QSize(px(240), px(240)));
    // Every click in the list counts, also one below the last terminal (clicked() would miss it).
    ListMachine->viewport()->installEventFilter(this);
    ListMachine->installEventFilter(this);
    // The highlighted terminal is the current one, whatever moved the highlight.
    connect(ListMachine->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            &F_GatherData::ListMachine_Highlighted);

    auto* SSTab1 = new TabControl(this);
    SSTab1->setGeometry(px(3360), px(1800), px(6375), px(5655));
    auto* page = new QWidget();
    SSTab1->addTab(page, QStringLiteral("采集设置"));
    // Child positions are given from the tab control's top edge, strip included.
    const double strip = 240;
    // A font's strip is taller than the design's, and the page shorter by as much: the box and its
    // list give that up at their bottoms, which end where the design ends them.
    const int taller = std::max(0, SSTab1->pageRect().top() - px(strip));

    auto* Frame1 = new QGroupBox(QStringLiteral("考勤记录浏览"), page);
    Frame1->setGeometry(px(120), px(360 - strip), px(4215), px(5175) - taller);
    ListReco = makeRecordList(Frame1, records_);
    // Below the box's title and its frame, however tall the font makes them.
    Frame1->ensurePolished();
    const int top = std::max(px(240), Frame1->contentsRect().top());
    ListReco->setGeometry(px(120), top, px(3975), px(240 + 4815) - taller - top);
    // A list with the focus shows it in its frame, as the boxes and buttons show theirs: the style
    // marks neither an empty list nor one whose current row is the selected one.
    for (QAbstractItemView* list :
         {static_cast<QAbstractItemView*>(ListMachine), static_cast<QAbstractItemView*>(ListReco)})
        list->setStyleSheet(
            QStringLiteral("QAbstractItemView { border: 1px solid palette(mid); } "
                           "QAbstractItemView:focus { border: 1px solid palette(highlight); }"));

    CheckClear = makeCheckBox(page, QStringLiteral("采完清空记录"), 630 - strip, false, scale_);
    CheckClear->setEnabled(false);
    CheckGet = makeCheckBox(page, QStringLiteral("采集考勤记录"), 960 - strip, true, scale_);
    CheckEditTime = makeCheckBox(page, QStringLiteral("校正机器时间"), 1320 - strip, false, scale_);
    CheckSave = makeCheckBox(page, QStringLiteral("保存采集文件"), 1680 - strip, true, scale_);

    CmdLanTest = makeButton(page, QStringLiteral("测试"), 4680, 2310 - strip, scale_);
    CmdWork = makeButton(page, QStringLiteral("采集"), 4680, 2760 - strip, scale_);
    CmdRead = makeButton(page, QStringLiteral("读取"), 4680, 3210 - strip, scale_);
    cmdClear = makeButton(page, QStringLiteral("清空"), 4680, 3690 - strip, scale_);
    CmdClose = makeButton(page, QStringLiteral("退出"), 4680, 4140 - strip, scale_);
    connectButtons();

    // Below the client area in the design; no operation reads them.
    auto* Opt_Record = new QRadioButton(QStringLiteral("采集打卡数据"), this);
    Opt_Record->setGeometry(px(150), px(8820), px(1695), px(180));
    Opt_Record->setChecked(true);
    Opt_Record->setStyleSheet(QStringLiteral("color: red"));
    Opt_Record->setEnabled(false);
    auto* Opt_BlackList = new QRadioButton(QStringLiteral("采集黑名单"), this);
    Opt_BlackList->setGeometry(px(100), px(9090), px(2295), px(195));
    Opt_BlackList->setEnabled(false);

    Sta_Text = new QStatusBar(this);
    Sta_Text->setGeometry(0, px(7470), px(9810), px(300));
    Sta_Text->setSizeGripEnabled(false);
    statusPanel_ = new QLabel(Sta_Text);
    Sta_Text->addWidget(statusPanel_, 1);
    progress_ = new QProgressBar(Sta_Text);
    progress_->setFixedWidth(px(1800));
    progress_->setTextVisible(false);
    progress_->hide();
    Sta_Text->addPermanentWidget(progress_);
}

void F_GatherData::setColumnWidths(QHeaderView* columns, const double (&fractions)[4], std::vector<double>& twips) {
    twips.clear();
    for (int i = 0; i < 4; ++i) {
        // The widths follow the terminal list's width, read again for every column.
        twips.push_back(double(ListMachine->width()) / scale_ * TwipsPerPixel * fractions[i]);
        columns->resizeSection(i, px(twips.back(), scale_));
    }
}

// The address column shows the widest address, "机器255", whole, whatever share of the
// list's width it was given. The design's shares add up to the list's outer width, and the
// address may need more than its share: the other columns keep their proportions in what is
// left inside the frame, so that none is cut off at the list's edge.
void F_GatherData::fitAddressColumn() {
    QStyleOptionViewItem item;
    item.initFrom(ListMachine);
    item.font = ListMachine->font();
    item.fontMetrics = QFontMetrics(item.font);
    item.features = QStyleOptionViewItem::HasDisplay | QStyleOptionViewItem::HasDecoration;
    item.decorationSize = ListMachine->iconSize();
    item.text = QStringLiteral("机器255");
    const int needed =
        ListMachine->style()->sizeFromContents(QStyle::CT_ItemViewItem, &item, QSize(), ListMachine).width();
    QHeaderView* columns = ListMachine->header();
    if (columns->sectionSize(0) < needed)
        columns->resizeSection(0, needed);
    ListMachine->ensurePolished();
    const int left = ListMachine->contentsRect().width() - columns->sectionSize(0);
    const int designed = columns->sectionSize(1) + columns->sectionSize(2) + columns->sectionSize(3);
    if (designed <= left)
        return;
    // Qt's least column width is the font's widest glyph and margins, more than the captions need:
    // the narrow columns may give up width down to their captions.
    int caption = 0;
    for (const char* text : TerminalHeaders)
        caption = std::max(caption, columns->fontMetrics().horizontalAdvance(QString::fromUtf8(text)));
    columns->setMinimumSectionSize(caption + 2 * columns->style()->pixelMetric(QStyle::PM_HeaderMargin));
    for (int i : {1, 2})
        columns->resizeSection(i, columns->sectionSize(i) * left / designed);
    columns->resizeSection(3, left - columns->sectionSize(1) - columns->sectionSize(2));
}

}  // namespace tallyfold
