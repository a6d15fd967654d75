#include "outside/component_registry.h"
#include "outside/database_tool.h"
#include "platform/connection.h"
#include "platform/error.h"
#include "support/test_databases.h"

#include <QtTest>

using namespace tallyfold;
using namespace tallyfold::test;

class TstDatabaseTool : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Rows read ahead serve the same statements asked next, in order, and only them: any other
    // statement on the session (a write) drops what was kept, and a failed one is asked again.
    void readAheadServesOnlyTheNextQueries() {
        if (qEnvironmentVariable("TALLYFOLD_TEST_PG").isEmpty() && qEnvironmentVariable("CI") != QLatin1String("true"))
            QSKIP("no PostgreSQL for the tests");
        if (!requireBackend(QStringLiteral("postgresql")))
            return;
        TestHome home(QStringLiteral("postgresql"));
        resetHostDatabase(home.connection());
        HostDatabaseTool tool(home.settings());
        Connection other(home.connection());
        other.Open();
        const QString count = QStringLiteral("select count(*) as n from CtrlLog");
        const QString byUser = QStringLiteral("select count(*) as n from CtrlLog where UserA=?");
        const QString missing = QStringLiteral("select x from no_such_table");
        auto countNow = [&] { return tool.RecordSetA(count)->Fields(QStringLiteral("n")).toText(); };
        auto countOf = [&](const QString& user) {
            return tool.RecordSetA(byUser, {user})->Fields(QStringLiteral("n")).toText();
        };
        prefetchQueries(tool, {{count, {}}, {count, {}}, {byUser, {QStringLiteral("a")}}});
        other.Execute(QStringLiteral("insert into CtrlLog (UserA) values ('a')"));
        QCOMPARE(countNow(), QStringLiteral("0"));  // read before the other session wrote
        QCOMPARE(countNow(), QStringLiteral("0"));
        QCOMPARE(countOf(QStringLiteral("a")), QStringLiteral("0"));
        QCOMPARE(countNow(), QStringLiteral("1"));
        prefetchQueries(tool, {{byUser, {QStringLiteral("b")}}, {count, {}}});
        QCOMPARE(countOf(QStringLiteral("a")), QStringLiteral("1"));  // other values: asked again, and the rest dropped
        other.Execute(QStringLiteral("insert into CtrlLog (UserA) values ('b')"));
        QCOMPARE(countNow(), QStringLiteral("2"));
        prefetchQueries(tool, {{count, {}}});
        tool.ActiveCn()->Execute(QStringLiteral("insert into CtrlLog (UserA) values ('c')"));
        QCOMPARE(countNow(), QStringLiteral("3"));
        prefetchQueries(tool, {{missing, {}}, {count, {}}});
        QVERIFY_THROWS_EXCEPTION(Error, tool.RecordSetA(missing));
        other.Execute(QStringLiteral("insert into CtrlLog (UserA) values ('d')"));
        QCOMPARE(countNow(), QStringLiteral("4"));
    }

    void whereTheDatabaseIs_data() {
        QTest::addColumn<QString>("environment");
        QTest::addColumn<QByteArray>("ini");  // Config/Tallyfold.ini; empty: no file
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QByteArray>("file");  // the connection file; empty: none, "folder": a folder in its place
        const QString envCs = QStringLiteral("Provider=PostgreSQL;Host=env;Database=canteen;");
        const QByteArray iniCs = "Provider=SQLOLEDB.1;Data Source=db,1433;Initial Catalog=Canteen;";
        const QByteArray ini = "[Database]\nConnectionString=" + iniCs + "\n";
        const QByteArray fileCs = "Provider=PostgreSQL;Host=file;Password=\"a;b\";";
        QTest::newRow("environment over ini") << envCs << ini << envCs << QByteArray();
        QTest::newRow("environment over file") << envCs << ini << envCs << QByteArray(fileCs + "\n");
        QTest::newRow("file over ini, comments skipped")
            << QString() << ini << QString::fromLatin1(fileCs) << QByteArray("# the host database\n\n" + fileCs + "\n");
        // Falling back to the ini or the embedded database would quietly use another database.
        QTest::newRow("file unreadable") << QString() << ini << QStringLiteral("error: a directory")
                                         << QByteArray("folder");
        QTest::newRow("file without a line")
            << QString() << ini << QStringLiteral("error: holds no connection string") << QByteArray("# none yet\n");
        // Written as an operator writes it: unquoted, with ';' and ','.
        QTest::newRow("ini as written") << QString() << QByteArray("[Database]\r\nConnectionString=" + iniCs + "\r\n")
                                        << QString::fromLatin1(iniCs) << QByteArray();
        QTest::newRow("ini quoted") << QString() << QByteArray("[Database]\nConnectionString=\"" + iniCs + "\"\n")
                                    << QString::fromLatin1(iniCs) << QByteArray();
        QTest::newRow("ini without the key")
            << QString() << QByteArray("[Database]\nOther=1\n") << QStringLiteral("embedded") << QByteArray();
        QTest::newRow("nothing") << QString() << QByteArray() << QStringLiteral("embedded") << QByteArray();
    }
    void whereTheDatabaseIs() {
        QFETCH(QString, environment);
        QFETCH(QByteArray, ini);
        QFETCH(QString, expected);
        QFETCH(QByteArray, file);
        TestHome home;
        qputenv("TALLYFOLD_CONNECTION", environment.toUtf8());
        if (!ini.isEmpty())
            writeFile(home.file(QStringLiteral("Config/Tallyfold.ini")), ini);
        HostSettings settings = hostSettingsFromEnvironment();
        settings.connectionFile = home.file(QStringLiteral("connection"));  // not there unless written
        if (file == "folder")
            QVERIFY(QDir().mkpath(settings.connectionFile));
        else if (!file.isEmpty())
            writeFile(settings.connectionFile, file);
        if (expected == QLatin1String("embedded"))
            expected = QStringLiteral("Provider=SQLite;Data Source=") +
                       home.file(QStringLiteral("Database/tallyfold.db")) + QLatin1Char(';');
        if (!expected.startsWith(QLatin1String("error: "))) {
            QCOMPARE(settings.configuredConnectionString(), expected);
            return;
        }
        try {
            settings.configuredConnectionString();
            QFAIL("no error");
        } catch (const Error& e) {
            QCOMPARE(e.number(), errc::FileIo);
            QVERIFY2(e.description().contains(settings.connectionFile) &&
                         e.description().contains(expected.mid(QStringLiteral("error: ").size())),
                     qPrintable(e.description()));
        }
    }

    void embeddedDatabaseIsCreated_data() {
        QTest::addColumn<bool>("databaseFolder");
        QTest::newRow("folder present") << true;
        // A host folder without Database/ still gets its embedded database.
        QTest::newRow("folder missing") << false;
    }
    void embeddedDatabaseIsCreated() {
        QFETCH(bool, databaseFolder);
        TestHome home;
        if (!databaseFolder)
            QVERIFY(QDir(home.file(QStringLiteral("Database"))).removeRecursively());
        HostDatabaseTool tool(HostSettings{home.path(), QString()});
        QCOMPARE(tool.ActiveCn()->State(), int(adStateOpen));
        QVERIFY(QFileInfo(home.file(QStringLiteral("Database/tallyfold.db"))).isFile());
        for (const char* table : {"MachineInfo", "Tcon_MonTime", "Tcon_ConsumeDtl", "CtrlLog", "UserPermission"}) {
            auto rs = tool.RecordSetA(QStringLiteral("select * from ") + QString::fromLatin1(table));
            QCOMPARE(rs->RecordCount(), 0L);
        }
    }

    void oneConnectionPerProcess() {
        TestHome home;
        auto first = createComponent<DatabaseTool>(progid::DatabaseTool);
        auto second = createComponent<DatabaseTool>(progid::DatabaseTool);
        const std::shared_ptr<Connection> cn = first->ActiveCn();
        QCOMPARE(first->ActiveCn().get(), cn.get());
        QCOMPARE(second->ActiveCn().get(), cn.get());
        QCOMPARE(cn->ConnectionString(), home.connection());
        // A closed connection is replaced, not handed out again.
        cn->Close();
        QCOMPARE(second->ActiveCn()->State(), int(adStateOpen));
    }
};

QTEST_GUILESS_MAIN(TstDatabaseTool)
#include "tst_database_tool.moc"
