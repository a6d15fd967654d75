#include "outside/database_tool.h"
#include "records/mdl_gather_data.h"
#include "records/store_record_line.h"
#include "support/recording_view.h"
#include "support/test_databases.h"

#include <QtTest>

using namespace tallyfold;
using namespace tallyfold::test;

// One line through StoreRecordLine on a real database, in both step orders.
class tst_store_record_line : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void line_data();
    void line();
    void sameRecordTwice_data() { addBackendRows(); }
    void sameRecordTwice();
    void refusedRowInBothOrders_data() { addBackendRows(); }
    void refusedRowInBothOrders();
    void apostropheInCard_data() { addBackendRows(); }
    void apostropheInCard();
};

namespace {
// Offset 1 for records from 01:00 to 03:00.
const BusinessDayTimes MovingWindow{QTime(5, 0), QTime(1, 0), QTime(3, 0), {}};

void resetTable(const QString& connection) {
    execute(connection, QStringLiteral("delete from Tcon_ConsumeDtl"));
}

struct Stored {
    LineCounters counters;
    RecordingView view;
};

void store(const QString& connection, const QStringList& lines, Stored& out, StepOrder order) {
    auto store = openRecordStore(sharedConnection(connection));
    StoreContext context{store.get(), &MovingWindow, &out.view, {}};
    for (const QString& line : lines)
        StoreRecordLine(line, out.counters, context, order);
    finishStoring(out.counters, context);
    putFailedLines(context);
}
}  // namespace

void tst_store_record_line::line_data() {
    QTest::addColumn<QString>("connection");
    QTest::addColumn<int>("order");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("listed");      // address|card|date|time, "" when not listed
    QTest::addColumn<QString>("datatime");    // stored datatime, "" when nothing is stored
    QTest::addColumn<QString>("failedText");  // the failed line's text, "" when the line is good
    const QStringList backends = {QStringLiteral("sqlite"), QStringLiteral("postgresql")};
    for (const QString& backend : backends) {
        if (backend == QLatin1String("postgresql") && qEnvironmentVariable("TALLYFOLD_TEST_PG").isEmpty() &&
            qEnvironmentVariable("CI") != QLatin1String("true"))
            continue;
        for (int order : {int(StepOrder::Import), int(StepOrder::GatherRun)}) {
            const QByteArray tag = backend.toLatin1() + QByteArray(order ? "/gather/" : "/import/");
            auto row = [&](const char* name) -> QTestData& {
                return QTest::newRow(QByteArray(tag + name).constData()) << backend << order;
            };
            // The reference record: terminal 0A is 10, seconds are 00.
            row("valid") << "0A1234562405130730"
                         << "10|123456|2024-05-13|07:30:00"
                         << "2024-05-13 07:30:00"
                         << "";
            // In the business-day window: datatime moves, datadate and the listed date do not.
            row("moved") << "0A1234562405130230"
                         << "10|123456|2024-05-13|02:30:00"
                         << "2024-05-14 02:30:00"
                         << "";
            // Exactly midnight is stored without a time part.
            row("midnight") << "011111112405130000"
                            << "1|111111|2024-05-13|00:00:00"
                            << "2024-05-13"
                            << "";
            // Only the first 18 characters count.
            row("25 chars") << "FF2222222405131201xxxxxxx"
                            << "255|222222|2024-05-13|12:01:00"
                            << "2024-05-13 12:01:00"
                            << "";
            row("month 13") << "011234562413130730"
                            << ""
                            << ""
                            << "011234562413130730";
            row("day 32") << "011234562401320800"
                          << ""
                          << ""
                          << "011234562401320800";
            row("hour 24") << "011234562402102400"
                           << ""
                           << ""
                           << "011234562402102400";
            row("minute 60") << "011234562402100960"
                             << ""
                             << ""
                             << "011234562402100960";
            row("29 Feb 2023") << "011234562302290800"
                               << ""
                               << ""
                               << "011234562302290800";
            row("29 Feb 2024") << "011234562402290800"
                               << "1|123456|2024-02-29|08:00:00"
                               << "2024-02-29 08:00:00"
                               << "";
            row("letters in date") << "0112345624O2100800"
                                   << ""
                                   << ""
                                   << "0112345624O2100800";
            row("short") << "0112345624"
                         << ""
                         << ""
                         << "0112345624";
            row("empty") << ""
                         << ""
                         << ""
                         << "";
            // A bad address with a good date fails while the list row is built: no row either way.
            row("non-hex address") << "G11234562405130730"
                                   << ""
                                   << ""
                                   << "G11234562405130730";
            row("long failing line") << "G1123456240513073099999"
                                     << ""
                                     << ""
                                     << "G11234562405130730";
        }
    }
}

void tst_store_record_line::line() {
    QFETCH(QString, connection);
    QFETCH(int, order);
    QFETCH(QString, text);
    QFETCH(QString, listed);
    QFETCH(QString, datatime);
    QFETCH(QString, failedText);
    if (!requireBackend(connection))
        return;
    TestHome home(connection);
    resetHostDatabase(home.connection());
    Stored out;
    store(home.connection(), {text}, out, StepOrder(order));

    QCOMPARE(out.counters.read, 1);
    const bool good = !datatime.isEmpty();
    QCOMPARE(out.counters.stored, good ? 1 : 0);
    QCOMPARE(out.counters.errors, good ? 0 : 1);
    QCOMPARE(out.view.records.size(), listed.isEmpty() ? 0 : 1);
    if (!listed.isEmpty())
        QCOMPARE(out.view.records[0].join(QLatin1Char('|')), listed);
    if (good) {
        const QStringList parts = listed.split(QLatin1Char('|'));
        QCOMPARE(scalar(home.connection(),
                        QStringLiteral("select count(*) from Tcon_ConsumeDtl where MachAddr=%1 and Cardid='%2' and "
                                       "datadate='%3' and datatime='%4'")
                            .arg(parts[0], parts[1], parts[2], datatime)),
                 QStringLiteral("1"));
        QCOMPARE(out.view.pendingEventsProcessed, 1);
    } else {
        QCOMPARE(scalar(home.connection(), QStringLiteral("select count(*) from Tcon_ConsumeDtl")),
                 QStringLiteral("0"));
        QCOMPARE(out.view.failedLines.size(), 1);
        QCOMPARE(out.view.failedLines[0], (QStringList{QStringLiteral("R1"), QStringLiteral("1"), failedText}));
    }
}

void tst_store_record_line::sameRecordTwice() {
    TALLYFOLD_DATABASE_TEST(home, false);
    Stored out;
    // The same card and minute from a second terminal is a duplicate too.
    store(home.connection(), {"0A1234562405130730", "0A1234562405130730", "0B1234562405130730"}, out,
          StepOrder::Import);
    QCOMPARE(out.counters.read, 3);
    QCOMPARE(out.counters.stored, 1);
    QCOMPARE(out.counters.errors, 0);
    QCOMPARE(out.view.records.size(), 3);
    QCOMPARE(out.view.records[2][0], QStringLiteral("11"));
    QCOMPARE(scalar(home.connection(), QStringLiteral("select count(*) from Tcon_ConsumeDtl")), QStringLiteral("1"));
}

void tst_store_record_line::refusedRowInBothOrders() {
    TALLYFOLD_DATABASE_TEST(home, false);
    // The database itself refuses one card; the row's verdict comes after it was listed, in either order.
    if (connection == QLatin1String("sqlite"))
        execute(home.connection(),
                QStringLiteral("create trigger tf_reject before insert on Tcon_ConsumeDtl "
                               "when new.Cardid='999999' begin select raise(abort, 'card refused'); end"));
    else
        execute(home.connection(), QStringLiteral("alter table Tcon_ConsumeDtl add constraint tf_reject "
                                                  "check (Cardid <> '999999')"));
    for (StepOrder order : {StepOrder::Import, StepOrder::GatherRun}) {
        resetTable(home.connection());
        Stored out;
        store(home.connection(), {"0A1234562405130730", "0A9999992405130731"}, out, order);
        QCOMPARE(out.counters.read, 2);
        QCOMPARE(out.counters.stored, 1);
        QCOMPARE(out.counters.errors, 1);
        QCOMPARE(out.view.records.size(), 2);
        QCOMPARE(
            out.view.failedLines,
            (QList<QStringList>{{QStringLiteral("R1"), QStringLiteral("2"), QStringLiteral("0A9999992405130731")}}));
        QCOMPARE(out.view.reasons.size(), 1);
        QVERIFY2(out.view.reasons[0].contains(connection == QLatin1String("sqlite") ? "card refused" : "tf_reject"),
                 qPrintable(out.view.reasons[0]));
    }
    QCOMPARE(scalar(home.connection(), QStringLiteral("select count(*) from Tcon_ConsumeDtl")), QStringLiteral("1"));
}

void tst_store_record_line::apostropheInCard() {
    TALLYFOLD_DATABASE_TEST(home, false);
    Stored out;
    store(home.connection(), {"01O'Hara2405130730", "01O'Hara2405130730"}, out, StepOrder::Import);
    QCOMPARE(out.counters.errors, 0);
    QCOMPARE(out.counters.stored, 1);
    QCOMPARE(scalar(home.connection(), QStringLiteral("select Cardid from Tcon_ConsumeDtl")), QStringLiteral("O'Hara"));
}

QTEST_GUILESS_MAIN(tst_store_record_line)
#include "tst_store_record_line.moc"
