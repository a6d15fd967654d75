#include "platform/error.h"
#include "platform/recordset.h"
#include "platform/sql_failure.h"
#include "support/test_databases.h"

#include <QElapsedTimer>
#include <QtTest>

using namespace tallyfold;
using namespace tallyfold::test;

namespace {
std::shared_ptr<Connection> openConnection(const QString& cs) {
    auto c = std::make_shared<Connection>(cs);
    c->Open();
    return c;
}

long errorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const Error& e) {
        return e.number();
    }
    return 0;
}
}  // namespace

class TstRecordset : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // A statement that would run for ever is cut off Command Timeout and a grace after it began.
    void statementPastCommandTimeout() {
        auto cn = openConnection(QStringLiteral("Provider=SQLite;Data Source=:memory:;Command Timeout=1;"));
        QElapsedTimer clock;
        clock.start();
        try {
            Recordset rs;
            rs.Open(QStringLiteral("with recursive n(i) as (select 1 union all select i + 1 from n) "
                                   "select count(*) from n where i < 0"),
                    cn);
            QFAIL("the statement ended by itself");
        } catch (const DatabaseError& e) {
            QCOMPARE(e.failure(), SqlFailure::Busy);
        }
        QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
    }

    void walk_data() { addBackendRows(); }
    void walk() {
        TALLYFOLD_DATABASE_TEST(home, false);
        execute(home.connection(), QStringLiteral("insert into MachineInfo (MachAddr, MachDesc, COMX) values "
                                                  "('2', '二楼', 1), ('1', '一楼', 3), ('3', '大门', 2)"));
        auto cn = openConnection(home.connection());
        Recordset rs;
        rs.Open(QStringLiteral("select MachAddr, MachDesc, COMX, Ver from MachineInfo order by MachAddr"), cn);
        QCOMPARE(rs.RecordCount(), 3L);
        QStringList seen;
        while (!rs.Eof()) {
            // The system spells names as in its SELECT; PostgreSQL answers them in lower case.
            seen << rs.Fields(QStringLiteral("MachAddr")).toText() + u'/' +
                        rs.Fields(QStringLiteral("machdesc")).toText() + u'/' +
                        rs.Fields(QStringLiteral("COMX")).toText();
            QVERIFY(rs.Fields(QStringLiteral("Ver")).isNull());
            rs.MoveNext();
        }
        QCOMPARE(seen,
                 (QStringList{QStringLiteral("1/一楼/3"), QStringLiteral("2/二楼/1"), QStringLiteral("3/大门/2")}));
        QCOMPARE(errorOf([&] { (void)rs.Fields(QStringLiteral("MachAddr")); }), errc::NoCurrentRecord);
        QCOMPARE(errorOf([&] { rs.MoveNext(); }), errc::NoCurrentRecord);
        QCOMPARE(errorOf([&] { (void)rs.Fields(QStringLiteral("NoColumn")); }), errc::ItemNotFound);
        QCOMPARE(errorOf([&] { rs.Open(QStringLiteral("select 1"), cn); }), errc::ObjectOpen);
        rs.Close();
        QCOMPARE(errorOf([&] { (void)rs.RecordCount(); }), errc::ObjectClosed);
        QCOMPARE(errorOf([&] { rs.Open(QStringLiteral("select 1"), nullptr); }), errc::ConnectionUnusable);
        QCOMPARE(errorOf([&] { rs.Open(QStringLiteral("select 1 as one"), cn); }), 0L);
        QCOMPARE(errorOf([&] { rs.AddNew(); }), errc::NotSupported);  // no table to add rows to
        rs.Close();

        Recordset none;
        none.Open(QStringLiteral("select MachAddr from MachineInfo where MachAddr='9'"), cn);
        QCOMPARE(none.RecordCount(), 0L);
        QVERIFY(none.Eof());
        QCOMPARE(errorOf([&] { (void)none.Fields(QStringLiteral("MachAddr")); }), errc::NoCurrentRecord);
    }

    void updateBatchCommitsAtOnce_data() { addBackendRows(); }
    void updateBatchCommitsAtOnce() {
        TALLYFOLD_DATABASE_TEST(home, false);
        auto writer = openConnection(home.connection());
        auto reader = openConnection(home.connection());
        Recordset rs;
        rs.Open(QStringLiteral("select * from Tcon_ConsumeDtl where 1=0"), writer, adOpenDynamic,
                adLockBatchOptimistic);
        const QDateTime when(QDate(2024, 3, 5), QTime(14, 3, 7));
        // The same column set twice: the second row reuses the prepared insert with new values.
        for (const QString& card : {QStringLiteral("00012345"), QStringLiteral("00067890")}) {
            rs.AddNew();
            rs.SetField(QStringLiteral("MachAddr"), 3);
            rs.SetField(QStringLiteral("Cardid"), QStringLiteral("wrong"));
            rs.SetField(QStringLiteral("CARDID"), card);  // same column: the last value counts
            rs.SetField(QStringLiteral("datadate"), QStringLiteral("2024-03-05"));
            rs.SetField(QStringLiteral("datatime"), when);
            rs.SetField(QStringLiteral("Amount"), Variant::null());
            rs.UpdateBatch();

            Recordset check;
            check.Open(QStringLiteral("select MachAddr, Amount from Tcon_ConsumeDtl where Cardid='") + card +
                           QStringLiteral("'"),
                       reader);
            QCOMPARE(check.RecordCount(), 1L);
            QCOMPARE(check.Fields(QStringLiteral("MachAddr")).toText(), QStringLiteral("3"));
            QVERIFY(check.Fields(QStringLiteral("Amount")).isNull());
        }
        Recordset all;
        all.Open(QStringLiteral("select ConsumeType from Tcon_ConsumeDtl"), reader);
        QCOMPARE(all.RecordCount(), 2L);
        QCOMPARE(all.Fields(QStringLiteral("ConsumeType")).toText(), QStringLiteral("计次"));  // column default
    }

    void boundValuesArriveAsGiven_data() { addBackendRows(); }
    void boundValuesArriveAsGiven() {
        TALLYFOLD_DATABASE_TEST(home, false);
        auto cn = openConnection(home.connection());
        // A '?' inside a literal is text, not a mark; quotes, backslashes and marks in a value stay.
        const QString card = QStringLiteral("a'\\?\"$1");
        executeBound(*cn,
                     QStringLiteral("insert into Tcon_ConsumeDtl (MachAddr, Cardid, datadate, datatime) "
                                    "values (?, ?, '?', ?)"),
                     {7, card, QDateTime(QDate(2024, 3, 5), QTime(14, 3, 7))});
        Recordset rs;
        rs.Open(QStringLiteral("select MachAddr, datadate from Tcon_ConsumeDtl where Cardid = ? and MachAddr = ?"),
                {card, 7}, cn);
        QCOMPARE(rs.RecordCount(), 1L);
        QCOMPARE(rs.Fields(QStringLiteral("MachAddr")).toText(), QStringLiteral("7"));
        QCOMPARE(rs.Fields(QStringLiteral("datadate")).toText(), QStringLiteral("?"));
    }

    void rejectedStatementNamesCause_data() { addBackendRows(); }
    void rejectedStatementNamesCause() {
        TALLYFOLD_DATABASE_TEST(home, false);
        auto cn = openConnection(home.connection());
        const bool pg = connection == QLatin1String("postgresql");

        const QString select = QStringLiteral("select x from NoSuchTable");
        try {
            Recordset rs;
            rs.Open(select, cn);
            QFAIL("opened");
        } catch (const Error& e) {
            QCOMPARE(e.number(), errc::Database);
            QVERIFY2(e.description().contains(select), qPrintable(e.description()));
            QVERIFY2(e.description().contains(pg ? QLatin1String("does not exist") : QLatin1String("no such table"),
                                              Qt::CaseInsensitive),
                     qPrintable(e.description()));
        }

        // A row that fails after the first is an error, never the end of the rows.
        const QString failsLate =
            pg ? QStringLiteral("select case when i > 1 then 1 / (i - 2) else i end from generate_series(1, 2) i")
               : QStringLiteral("select case when column1 > 1 then abs(column1 - 9223372036854775807 - 3) "
                                "else column1 end from (values (1), (2))");
        QCOMPARE(errorOf([&] {
                     Recordset late;
                     late.Open(failsLate, cn);
                 }),
                 long(errc::Database));

        Recordset rs;
        rs.Open(QStringLiteral("select * from MachineInfo"), cn);
        try {
            rs.AddNew();
            rs.SetField(QStringLiteral("MachAddr"), Variant::null());  // MachAddr is not null
            rs.UpdateBatch();
            QFAIL("inserted a row without MachAddr");
        } catch (const Error& e) {
            QVERIFY2(e.description().contains(QLatin1String("insert into MachineInfo (MachAddr) values (?)")),
                     qPrintable(e.description()));
            QVERIFY2(e.description().contains(QLatin1String("null"), Qt::CaseInsensitive), qPrintable(e.description()));
        }
        // The failed prepared insert must still serve the next row.
        rs.AddNew();
        rs.SetField(QStringLiteral("MachAddr"), QStringLiteral("7"));
        rs.UpdateBatch();
        QCOMPARE(scalar(home.connection(), QStringLiteral("select count(*) from MachineInfo")), QStringLiteral("1"));
    }

    void sqliteIsDurable() {
        TestHome home;
        auto cn = openConnection(home.connection());
        Recordset mode;
        mode.Open(QStringLiteral("PRAGMA journal_mode"), cn);
        QCOMPARE(mode.Fields(QStringLiteral("journal_mode")).toText(), QStringLiteral("wal"));
        Recordset sync;
        sync.Open(QStringLiteral("PRAGMA synchronous"), cn);
        QCOMPARE(sync.Fields(QStringLiteral("synchronous")).toText(), QStringLiteral("2"));  // FULL
    }
};

QTEST_GUILESS_MAIN(TstRecordset)
#include "tst_recordset.moc"
