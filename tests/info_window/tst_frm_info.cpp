#include "info_window/frm_info.h"

#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>

using namespace tallyfold;

class tst_frm_info : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void cleanup() { frm_Info::unload(); }
    void layoutAndColumns();
    void rowsInFailureOrder();
    void showModalThenFresh();
    void resizeKeepsWidths();
};

void tst_frm_info::layoutAndColumns() {
    QVERIFY(!frm_Info::isLoaded());
    frm_Info& w = frm_Info::instance();
    QVERIFY(frm_Info::isLoaded());
    QVERIFY(!w.isVisible());
    QCOMPARE(w.windowTitle(), QStringLiteral("采集日志"));
    QCOMPARE(w.size(), QSize(395, 332));
    QCOMPARE(w.Label1->text(), QStringLiteral("采集中出错的数据："));
    QCOMPARE(w.CmdClose->text(), QStringLiteral("关闭"));
    QCOMPARE(w.lvwInfo->geometry(), QRect(2, 18, 391, 288));
    QCOMPARE(w.lvwInfo->headerItem()->text(0), QStringLiteral("行号"));
    QCOMPARE(w.lvwInfo->headerItem()->data(1, Qt::UserRole).toString(), QStringLiteral("Had2"));
    QCOMPARE(w.columnTwips(), (std::vector<double>{391 * 15 * 0.3, 391 * 15 * 0.7}));
}

void tst_frm_info::rowsInFailureOrder() {
    frm_Info& w = frm_Info::instance();
    w.addRow(1, QStringLiteral("R1"), QStringLiteral("2"), QStringLiteral("0112345624131307"));
    w.addRow(2, QStringLiteral("R2"), QStringLiteral("5"), QStringLiteral("011234562405130730"));
    w.addRow(3, QStringLiteral("R3"), QStringLiteral("9"), QString());
    QCOMPARE(w.lvwInfo->topLevelItemCount(), 3);
    const QStringList lines{"2", "5", "9"};
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(w.lvwInfo->topLevelItem(i)->text(0), lines[i]);
        QCOMPARE(w.lvwInfo->topLevelItem(i)->data(0, Qt::UserRole).toString(), QStringLiteral("R%1").arg(i + 1));
    }
    QCOMPARE(w.lvwInfo->topLevelItem(1)->text(1), QStringLiteral("011234562405130730"));
}

void tst_frm_info::showModalThenFresh() {
    frm_Info::instance().addRow(1, QStringLiteral("R1"), QStringLiteral("1"), QStringLiteral("x"));
    bool wasModal = false;
    QTimer::singleShot(0, [&] {
        wasModal = frm_Info::instance().isVisible() && frm_Info::instance().isModal();
        frm_Info::instance().CmdClose->click();
    });
    frm_Info::instance().showModal();
    QVERIFY(wasModal);
    QVERIFY(!frm_Info::isLoaded());
    // The next use is a fresh, empty list.
    QCOMPARE(frm_Info::instance().lvwInfo->topLevelItemCount(), 0);
}

void tst_frm_info::resizeKeepsWidths() {
    frm_Info& w = frm_Info::instance();
    const int before = w.lvwInfo->columnWidth(1);
    w.lvwInfo->resize(100, 100);
    QCOMPARE(w.lvwInfo->columnWidth(1), before);
}

QTEST_MAIN(tst_frm_info)
#include "tst_frm_info.moc"
