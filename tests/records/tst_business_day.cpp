#include "outside/database_tool.h"
#include "platform/error.h"
#include "records/business_day.h"
#include "support/recording_view.h"
#include "support/test_databases.h"

#include <QtTest>

using namespace tallyfold;
using namespace tallyfold::test;

class tst_business_day : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void offset_data();
    void offset();
    void parameterForms();
    void loadFromTable_data() { addBackendRows(); }
    void loadFromTable();
    void missingRowsKeepEarlierTimes_data() { addBackendRows(); }
    void missingRowsKeepEarlierTimes();
    void badParameterStopsTheLoad_data() { addBackendRows(); }
    void badParameterStopsTheLoad();
};

static void storeTimes(const QString& cs, const char* p1, const char* p7, const char* p8) {
    int name = 1;
    for (const char* value : {p1, p7, p8}) {
        execute(cs, QStringLiteral("insert into Tcon_MonTime values (%1, %2)").arg(name).arg(QString::fromUtf8(value)));
        name = name == 1 ? 7 : 8;
    }
}

static QTime t(const char* text) {
    return QTime::fromString(QString::fromLatin1(text), QStringLiteral("HH:mm"));
}

void tst_business_day::offset_data() {
    QTest::addColumn<QTime>("p1");
    QTest::addColumn<QTime>("p7");
    QTest::addColumn<QTime>("p8");
    QTest::addColumn<QString>("record");
    QTest::addColumn<int>("expected");
    // A window within one day: both bounds inclusive.
    QTest::newRow("within 02:30") << t("05:00") << t("01:00") << t("03:00") << "2024-03-05 02:30" << 1;
    QTest::newRow("within upper bound") << t("05:00") << t("01:00") << t("03:00") << "2024-03-05 03:00" << 1;
    QTest::newRow("within lower bound") << t("05:00") << t("01:00") << t("03:00") << "2024-03-05 01:00" << 1;
    QTest::newRow("within after") << t("05:00") << t("01:00") << t("03:00") << "2024-03-05 03:01" << 0;
    QTest::newRow("within before") << t("05:00") << t("01:00") << t("03:00") << "2024-03-05 00:59" << 0;
    // Across midnight only the part after midnight counts.
    QTest::newRow("across 01:15") << t("05:00") << t("22:00") << t("02:00") << "2024-03-05 01:15" << 1;
    QTest::newRow("across midnight") << t("05:00") << t("22:00") << t("02:00") << "2024-03-05 00:00" << 1;
    QTest::newRow("across 23:30") << t("05:00") << t("22:00") << t("02:00") << "2024-03-05 23:30" << 0;
    // A limit before the window's end switches the rule off.
    QTest::newRow("limit early 02:00") << t("01:00") << t("00:00") << t("03:00") << "2024-03-05 02:00" << 0;
    QTest::newRow("limit early 00:30") << t("01:00") << t("23:00") << t("03:00") << "2024-03-05 00:30" << 0;
    // Equal limit and end: the rule still applies (the test is strict).
    QTest::newRow("limit equals end") << t("03:00") << t("01:00") << t("03:00") << "2024-03-05 02:00" << 1;
    // Equal bounds count as a window across midnight.
    QTest::newRow("equal bounds inside") << t("05:00") << t("03:00") << t("03:00") << "2024-03-05 02:59" << 1;
    QTest::newRow("equal bounds outside") << t("05:00") << t("03:00") << t("03:00") << "2024-03-05 03:01" << 0;
    // Never loaded: all zero, only a record at exactly midnight moves.
    QTest::newRow("unloaded midnight") << t("00:00") << t("00:00") << t("00:00") << "2024-03-05 00:00" << 1;
    QTest::newRow("unloaded 00:01") << t("00:00") << t("00:00") << t("00:00") << "2024-03-05 00:01" << 0;
}

void tst_business_day::offset() {
    QFETCH(QTime, p1);
    QFETCH(QTime, p7);
    QFETCH(QTime, p8);
    QFETCH(QString, record);
    QFETCH(int, expected);
    RecordingView view;
    QCOMPARE(getGatherDay(BusinessDayTimes{p1, p7, p8, {}}, record, view), expected);
    QVERIFY(view.boxes.isEmpty());
}

void tst_business_day::parameterForms() {
    QCOMPARE(parameterTime(Variant(QStringLiteral("05:00:00"))), QTime(5, 0));
    QCOMPARE(parameterTime(Variant(QStringLiteral("5:07"))), QTime(5, 7));
    QCOMPARE(parameterTime(Variant(QStringLiteral("2024-01-01 22:30:15"))), QTime(22, 30, 15));
    QCOMPARE(parameterTime(Variant(QDateTime(QDate(2020, 2, 2), QTime(1, 2, 3)))), QTime(1, 2, 3));
    QVERIFY_THROWS_EXCEPTION(Error, parameterTime(Variant::null()));
    QVERIFY_THROWS_EXCEPTION(Error, parameterTime(Variant(QStringLiteral("noon"))));
    // An unreadable record text shows the numbered box and moves nothing.
    RecordingView view;
    QCOMPARE(getGatherDay(BusinessDayTimes{}, QStringLiteral("2024-13-05 00:00"), view), 0);
    QCOMPARE(view.boxes.size(), 1);
    QVERIFY(view.boxes[0].text.startsWith(QStringLiteral("13 : ")));
}

void tst_business_day::loadFromTable() {
    TALLYFOLD_DATABASE_TEST(home, false);
    storeTimes(home.connection(), "'05:00:00'", "'2023-06-01 22:00:00'", "'02:00'");
    HostDatabaseTool tool(home.settings());
    BusinessDayTimes times;
    RecordingView view;
    getTimeBZBE(tool, times, view);
    QVERIFY(view.boxes.isEmpty());
    QCOMPARE(times.paraTime1, QTime(5, 0));
    QCOMPARE(times.paraTime7, QTime(22, 0));
    QCOMPARE(times.paraTime8, QTime(2, 0));
}

void tst_business_day::missingRowsKeepEarlierTimes() {
    TALLYFOLD_DATABASE_TEST(home, false);
    HostDatabaseTool tool(home.settings());
    BusinessDayTimes times{QTime(4, 0), QTime(1, 0), QTime(2, 0), {}};
    RecordingView view;
    getTimeBZBE(tool, times, view);
    QCOMPARE(view.boxes.size(), 1);
    QCOMPARE(view.boxes[0].icon, MessageIcon::None);
    QVERIFY(view.boxes[0].title.isEmpty());
    QVERIFY2(view.boxes[0].text.startsWith(QStringLiteral("3021 : ")), qPrintable(view.boxes[0].text));
    QCOMPARE(times.paraTime1, QTime(4, 0));
    QCOMPARE(times.paraTime8, QTime(2, 0));
}

void tst_business_day::badParameterStopsTheLoad() {
    TALLYFOLD_DATABASE_TEST(home, false);
    storeTimes(home.connection(), "'06:00:00'", "null", "'03:00:00'");
    HostDatabaseTool tool(home.settings());
    BusinessDayTimes times;
    RecordingView view;
    getTimeBZBE(tool, times, view);
    QCOMPARE(view.boxes.size(), 1);
    QVERIFY(view.boxes[0].text.startsWith(QStringLiteral("94 : ")));
    // 1 was loaded; 7 failed, and 8 after it was not read.
    QCOMPARE(times.paraTime1, QTime(6, 0));
    QCOMPARE(times.paraTime7, QTime(0, 0));
    QCOMPARE(times.paraTime8, QTime(0, 0));
}

QTEST_GUILESS_MAIN(tst_business_day)
#include "tst_business_day.moc"
