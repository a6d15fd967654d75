#include "info_window/frm_info.h"

#include <QTimer>
#include <QtTest>

using namespace tallyfold;

class tst_frm_info : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void layoutAndColumns();
    void rowsInFailureOrder();
    void showModal();
    void resizeKeepsLayout();
};

void tst_frm_info::layoutAndColumns() {
    frm_Info w;
    QVERIFY(!w.isVisible());
    QCOMPARE(w.windowTitle(), QStringLiteral("采集日志"));
    QCOMPARE(w.size(), QSize(395, 332));
    QCOMPARE(w.labelText(), QStringLiteral("采集中出错的数据："));
    QCOMPARE(w.closeText(), QStringLiteral("关闭"));
    QCOMPARE(w.listGeometry(), QRect(2, 18, 391, 288));
    QCOMPARE(w.columnHeaders(), (QStringList{"行号|Had1", "数据|Had2"}));
    QCOMPARE(w.columnTwips(), (std::vector<double>{391 * 15 * 0.3, 391 * 15 * 0.7}));
}

void tst_frm_info::rowsInFailureOrder() {
    frm_Info w;
    w.addRow(1, QStringLiteral("R1"), QStringLiteral("2"), QStringLiteral("0112345624131307"));
    w.addRow(2, QStringLiteral("R2"), QStringLiteral("5"), QStringLiteral("011234562405130730"));
    w.addRow(3, QStringLiteral("R3"), QStringLiteral("9"), QString());
    QCOMPARE(w.rows(), (QStringList{"R1|2|0112345624131307", "R2|5|011234562405130730", "R3|9|"}));
}

void tst_frm_info::showModal() {
    frm_Info w;
    bool wasModal = false;
    QTimer::singleShot(0, [&] {
        wasModal = w.isVisible() && w.isModal();
        w.pressClose();
    });
    w.showModal();
    QVERIFY(wasModal);
    QVERIFY(!w.isVisible());
}

void tst_frm_info::resizeKeepsLayout() {
    frm_Info w;
    const QRect list = w.listGeometry();
    w.resize(800, 600);
    QCOMPARE(w.size(), QSize(395, 332));
    QCOMPARE(w.listGeometry(), list);
}

QTEST_MAIN(tst_frm_info)
#include "tst_frm_info.moc"
