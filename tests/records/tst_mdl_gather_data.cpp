#include "entry/builtin_components.h"
#include "platform/recordset.h"
#include "records/mdl_gather_data.h"
#include "support/test_databases.h"

#include <QtTest>

using namespace tallyfold;
using namespace tallyfold::test;

namespace {
const QDateTime Moment(QDate(2024, 3, 5), QTime(14, 3, 7));

QStringList ctrlLogRows(const QString& cs) {
    auto cn = std::make_shared<Connection>(cs);
    cn->Open();
    Recordset rs;
    rs.Open(QStringLiteral("select UserA, TimeA, ObjectA, ActionA, ResultA from CtrlLog order by LogID"), cn);
    QStringList rows;
    for (; !rs.Eof(); rs.MoveNext()) {
        QStringList row;
        for (const char* column : {"UserA", "TimeA", "ObjectA", "ActionA", "ResultA"}) {
            const Variant v = rs.Fields(QString::fromLatin1(column));
            row << (v.isNull() ? QStringLiteral("<null>") : v.toText());
        }
        rows << row.join(u'|');
    }
    return rows;
}
}  // namespace

class TstMdlGatherData : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void recognisedDateQuote_data() {
        QTest::addColumn<QString>("connectionString");
        QTest::addColumn<QString>("previous");
        QTest::addColumn<QString>("quote");
        QTest::newRow("jet") << QStringLiteral("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=a.mdb") << QString()
                             << QStringLiteral("#");
        QTest::newRow("sql server") << QStringLiteral("Provider=SQLOLEDB.1;Data Source=h") << QString()
                                    << QStringLiteral("'");
        QTest::newRow("upper case") << QStringLiteral("PROVIDER=SQLOLEDB.1;") << QString() << QStringLiteral("'");
        QTest::newRow("lower case jet") << QStringLiteral("provider=microsoft.jet.oledb.4.0;") << QString()
                                        << QStringLiteral("#");
        QTest::newRow("anywhere") << QStringLiteral("Password=x;User ID=sa;Provider=SQLOLEDB.1;Data Source=h")
                                  << QString() << QStringLiteral("'");
        // The probe includes the semicolon, so a provider written last without one is not seen.
        QTest::newRow("no trailing semicolon")
            << QStringLiteral("Data Source=h;Provider=SQLOLEDB.1") << QString() << QString();
        QTest::newRow("sqloledb without .1")
            << QStringLiteral("Provider=SQLOLEDB;Data Source=h") << QString() << QString();
        QTest::newRow("later call keeps earlier")
            << QStringLiteral("Provider=MSDAORA;") << QStringLiteral("#") << QStringLiteral("#");
        QTest::newRow("recognised replaces earlier")
            << QStringLiteral("Provider=SQLOLEDB.1;") << QStringLiteral("#") << QStringLiteral("'");
        QTest::newRow("sqlite") << QStringLiteral("Provider=SQLite;Data Source=/a.db;") << QString()
                                << QStringLiteral("'");
        QTest::newRow("postgresql") << QStringLiteral("Provider=PostgreSQL;Host=h;") << QString()
                                    << QStringLiteral("'");
    }
    void recognisedDateQuote() {
        QFETCH(QString, connectionString);
        QFETCH(QString, previous);
        QFETCH(QString, quote);
        QCOMPARE(tallyfold::recognisedDateQuote(connectionString, previous), quote);
    }

    void ctrlLogStatement_data() {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QDateTime>("time");
        QTest::addColumn<QString>("action");
        QTest::addColumn<QVariantList>("values");
        QTest::newRow("plain") << QStringLiteral("U1") << Moment << QStringLiteral("机器:3")
                               << QVariantList{QStringLiteral("U1"), QStringLiteral("2024-03-05 14:03:07"),
                                               QStringLiteral("清除机器"), QStringLiteral("机器:3"),
                                               QStringLiteral("数据清理成功！")};
        // The values go as given: nothing doubled, nothing escaped.
        QTest::newRow("apostrophes and backslashes")
            << QStringLiteral("O'Neil\\") << Moment << QStringLiteral("/home/o'brien/a''b\\'.txt")
            << QVariantList{QStringLiteral("O'Neil\\"), QStringLiteral("2024-03-05 14:03:07"),
                            QStringLiteral("清除机器"), QStringLiteral("/home/o'brien/a''b\\'.txt"),
                            QStringLiteral("数据清理成功！")};
        QTest::newRow("midnight is a date")
            << QStringLiteral("U1") << QDateTime(QDate(2024, 3, 5), QTime(0, 0)) << QStringLiteral("机器:3")
            << QVariantList{QStringLiteral("U1"), QStringLiteral("2024-03-05"), QStringLiteral("清除机器"),
                            QStringLiteral("机器:3"), QStringLiteral("数据清理成功！")};
        // A null text is written as an empty one, as the literal that once carried it was.
        QTest::newRow("null user") << QString() << Moment << QStringLiteral("机器:3")
                                   << QVariantList{QStringLiteral(""), QStringLiteral("2024-03-05 14:03:07"),
                                                   QStringLiteral("清除机器"), QStringLiteral("机器:3"),
                                                   QStringLiteral("数据清理成功！")};
    }
    void ctrlLogStatement() {
        QFETCH(QString, user);
        QFETCH(QDateTime, time);
        QFETCH(QString, action);
        QFETCH(QVariantList, values);
        QCOMPARE(tallyfold::ctrlLogStatement(),
                 QStringLiteral(" insert into CtrlLog (UserA,TimeA,ObjectA,ActionA,ResultA ) values (?,?,?,?,?)"));
        const QVariantList bound =
            ctrlLogValues(user, time, QStringLiteral("清除机器"), action, QStringLiteral("数据清理成功！"));
        QCOMPARE(bound, values);
        for (const QVariant& v : bound) {
            QCOMPARE(v.metaType(), QMetaType(QMetaType::QString));
            QVERIFY(!v.toString().isNull());
        }
    }

    void writeCtrlLog_data() { addBackendRows(); }
    void writeCtrlLog() {
        TALLYFOLD_DATABASE_TEST(home, false);
        // A path longer than any fixed width a log column once had.
        const QString path = QStringLiteral("/home/o'brien/") + QString(600, u'长') + QStringLiteral("/记录.txt");
        QCOMPARE(WriteCtrlLog(QStringLiteral("U1"), Moment, QStringLiteral("导入数据"), path, QStringLiteral("成功")),
                 QString());
        WriteCtrlLog(QString(), Moment, QStringLiteral("清除机器"), QStringLiteral("机器:3"),
                     QStringLiteral("数据清理成功！"));
        QCOMPARE(ctrlLogRows(home.connection()),
                 (QStringList{QStringLiteral("U1|2024-03-05 14:03:07|导入数据|") + path + QStringLiteral("|成功"),
                              QStringLiteral("|2024-03-05 14:03:07|清除机器|机器:3|数据清理成功！")}));
        // A row that cannot be written says why, for the view to tell.
        execute(home.connection(), QStringLiteral("drop table CtrlLog"));
        QVERIFY(WriteCtrlLog(QStringLiteral("U1"), Moment, QStringLiteral("清除机器"), QStringLiteral("机器:3"),
                             QStringLiteral("数据清理成功！"))
                    .contains(QStringLiteral("ctrllog"), Qt::CaseInsensitive));
    }

    void writeCtrlLogIsQuietOnFailure() {
        TestHome home;
        // The date delimiter only mattered for a literal: a connection string whose provider it
        // does not recognise (the probe needs the trailing semicolon) writes the bound time all the same.
        const QString unprobed = QStringLiteral("Data Source=") + home.file(QStringLiteral("Database/other.db")) +
                                 QStringLiteral(";Provider=SQLite");
        QCOMPARE(tallyfold::recognisedDateQuote(unprobed, QString()), QString());
        registerBuiltinComponents(HostSettings{home.path(), unprobed});
        QCOMPARE(WriteCtrlLog(QStringLiteral("U1"), Moment, QStringLiteral("清除机器"), QStringLiteral("机器:3"),
                              QStringLiteral("数据清理成功！")),
                 QString());
        QCOMPARE(ctrlLogRows(unprobed),
                 QStringList{QStringLiteral("U1|2024-03-05 14:03:07|清除机器|机器:3|数据清理成功！")});

        // No database at all: the reason comes back, nothing is raised.
        registerBuiltinComponents(
            HostSettings{home.path(), QStringLiteral("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=c:\\a.mdb;")});
        QVERIFY(!WriteCtrlLog(QStringLiteral("U1"), Moment, QStringLiteral("清除机器"), QStringLiteral("机器:3"),
                              QStringLiteral("数据清理成功！"))
                     .isEmpty());
    }

    void savedFileName_data() {
        QTest::addColumn<QString>("prefix");
        QTest::addColumn<QDateTime>("moment");
        QTest::addColumn<QString>("name");
        QTest::newRow("morning") << QStringLiteral("12") << QDateTime(QDate(2024, 3, 5), QTime(9, 8, 7))
                                 << QStringLiteral("1220240305090807.txt");
        // 24-hour clock: an afternoon file must not collide with the morning's.
        QTest::newRow("afternoon") << QStringLiteral("3") << QDateTime(QDate(2024, 12, 31), QTime(21, 8, 7))
                                   << QStringLiteral("320241231210807.txt");
        QTest::newRow("midnight") << QStringLiteral("A") << QDateTime(QDate(2024, 1, 1), QTime(0, 0))
                                  << QStringLiteral("A20240101000000.txt");
    }
    void savedFileName() {
        QFETCH(QString, prefix);
        QFETCH(QDateTime, moment);
        QFETCH(QString, name);
        QCOMPARE(tallyfold::savedFileName(prefix, moment), name);
    }

    void saveGatherFile() {
        TestHome home;
        const Clock clock = [] { return QDateTime(QDate(2024, 3, 5), QTime(9, 8, 7)); };
        const QString source = writeFile(home.file(QStringLiteral("Source/SourceRecordSet.txt")), "first\r\n");
        const QString target = home.file(QStringLiteral("Database/1220240305090807.txt"));
        QVERIFY(SaveGatherFile(home.settings(), source, QStringLiteral("12"), clock));
        QVERIFY(QFileInfo::exists(target));

        // A second gather in the same second keeps the first copy: its terminal may be cleared already.
        writeFile(source, "second\r\n");
        QString copy;
        QVERIFY(SaveGatherFile(home.settings(), source, QStringLiteral("12"), clock, &copy));
        QCOMPARE(copy, home.file(QStringLiteral("Database/1220240305090807-2.txt")));
        for (const auto& [path, bytes] :
             {std::pair{target, QByteArray("first\r\n")}, {copy, QByteArray("second\r\n")}}) {
            QFile saved(path);
            QVERIFY(saved.open(QIODevice::ReadOnly));
            QCOMPARE(saved.readAll(), bytes);
        }
        QCOMPARE(QDir(home.file(QStringLiteral("Database"))).entryList(QDir::Files),
                 (QStringList{QStringLiteral("1220240305090807-2.txt"), QStringLiteral("1220240305090807.txt")}));

        QVERIFY(!SaveGatherFile(home.settings(), home.file(QStringLiteral("Source/missing.txt")), QStringLiteral("13"),
                                clock));
        QVERIFY(!QFileInfo::exists(home.file(QStringLiteral("Database/1320240305090807.txt"))));

        QVERIFY(QDir(home.file(QStringLiteral("Database"))).removeRecursively());
        QVERIFY(!SaveGatherFile(home.settings(), source, QStringLiteral("12"), clock));
        QVERIFY(!QFileInfo::exists(home.file(QStringLiteral("Database"))));
    }
};

QTEST_GUILESS_MAIN(TstMdlGatherData)
#include "tst_mdl_gather_data.moc"
