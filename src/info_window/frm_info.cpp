#include "info_window/frm_info.h"

#include "info_window/window_font.h"
#include "platform/twips.h"

#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>

namespace tallyfold {

frm_Info::frm_Info(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("采集日志"));
    setFont(windowFont());
    setFixedSize(px(5925), px(4980));
    Label1 = new QLabel(QStringLiteral("采集中出错的数据："), this);
    Label1->setGeometry(px(90), px(60), px(1620), px(195));
    lvwInfo = new QTreeWidget(this);
    lvwInfo->setGeometry(px(30), px(270), px(5865), px(4320));
    lvwInfo->setRootIsDecorated(false);
    lvwInfo->setUniformRowHeights(true);
    CmdClose = new QPushButton(QStringLiteral("关闭"), this);
    CmdClose->setGeometry(px(4620), px(4650), px(1005), px(330));
    connect(CmdClose, &QPushButton::clicked, this, &QDialog::accept);
    load();
}

void frm_Info::load() {
    lvwInfo->clear();
    const double width = double(lvwInfo->width()) * TwipsPerPixel;
    columnTwips_ = {width * 3 / 10, width * 7 / 10};
    lvwInfo->setColumnCount(2);
    auto* header = new QTreeWidgetItem();
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

QStringList frm_Info::rows() const {
    QStringList rows;
    for (int i = 0; i < lvwInfo->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* item = lvwInfo->topLevelItem(i);
        rows << item->data(0, Qt::UserRole).toString() + QLatin1Char('|') + item->text(0) + QLatin1Char('|') +
                    item->text(1);
    }
    return rows;
}

QStringList frm_Info::columnHeaders() const {
    QStringList headers;
    for (int i = 0; i < lvwInfo->columnCount(); ++i)
        headers << lvwInfo->headerItem()->text(i) + QLatin1Char('|') +
                       lvwInfo->headerItem()->data(i, Qt::UserRole).toString();
    return headers;
}

QRect frm_Info::listGeometry() const {
    return lvwInfo->geometry();
}

QString frm_Info::labelText() const {
    return Label1->text();
}

QString frm_Info::closeText() const {
    return CmdClose->text();
}

void frm_Info::pressClose() {
    CmdClose->click();
}

}  // namespace tallyfold
