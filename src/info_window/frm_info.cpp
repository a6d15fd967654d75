#include "info_window/frm_info.h"

#include "info_window/window_font.h"
#include "platform/twips.h"

#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>

namespace tallyfold {

QPointer<frm_Info> frm_Info::shared_;

frm_Info& frm_Info::instance() {
    if (!shared_)
        shared_ = new frm_Info();
    return *shared_;
}

bool frm_Info::isLoaded() {
    return !shared_.isNull();
}

void frm_Info::unload() {
    if (shared_) {
        frm_Info* window = shared_;
        shared_ = nullptr;
        window->hide();
        window->deleteLater();
    }
}

frm_Info::frm_Info() {
    setWindowTitle(QStringLiteral("采集日志"));
    setFont(windowFont());
    setFixedSize(px(5925), px(4980));
    Label1 = new QLabel(QStringLiteral("采集中出错的数据："), this);
    Label1->setGeometry(px(90), px(60), px(1620), px(195));
    lvwInfo = new QTreeWidget(this);
    lvwInfo->setGeometry(px(30), px(270), px(5865), px(4320));
    lvwInfo->setRootIsDecorated(false);
    CmdClose = new QPushButton(QStringLiteral("关闭"), this);
    CmdClose->setGeometry(px(4620), px(4650), px(1005), px(330));
    connect(CmdClose, &QPushButton::clicked, this, &frm_Info::CmdClose_Click);
    load();
}

void frm_Info::load() {
    lvwInfo->clear();
    const double width = double(lvwInfo->width()) * TwipsPerPixel;
    columnTwips_ = {width * 3 / 10, width * 7 / 10};
    lvwInfo->setColumnCount(2);
    QTreeWidgetItem* header = new QTreeWidgetItem();
    header->setText(0, QStringLiteral("行号"));
    header->setData(0, Qt::UserRole, QStringLiteral("Had1"));
    header->setText(1, QStringLiteral("数据"));
    header->setData(1, Qt::UserRole, QStringLiteral("Had2"));
    lvwInfo->setHeaderItem(header);
    lvwInfo->header()->setStretchLastSection(false);
    for (int i = 0; i < 2; ++i)
        lvwInfo->setColumnWidth(i, px(columnTwips_[std::size_t(i)]));
}

void frm_Info::addRow(int position, const QString& key, const QString& lineNumber, const QString& recordText) {
    auto* item = new QTreeWidgetItem();
    item->setText(0, lineNumber);
    item->setData(0, Qt::UserRole, key);
    // Keys are unique within a run, so the row the key names is this one: no search
    // through a list that may hold thousands of rows.
    item->setText(1, recordText);
    lvwInfo->insertTopLevelItem(qBound(0, position - 1, lvwInfo->topLevelItemCount()), item);
}

void frm_Info::showModal() {
    exec();
    unload();
}

void frm_Info::CmdClose_Click() {
    done(QDialog::Accepted);
}

}  // namespace tallyfold
