#include "outside/component_registry.h"
#include "outside/database_tool.h"
#include "support/test_databases.h"

#include <QtTest>

using namespace tallyfold;
using namespace tallyfold::test;

class TstDatabaseTool : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void whereTheDatabaseIs_data() {
        QTest::addColumn<QString>("environment");
        QTest::addColumn<QByteArray>("ini");  // Config/Tallyfold.ini; empty: no file
        QTest::addColumn<QString>("expected");
        const QString envCs = QStringLiteral("Provider=PostgreSQL;Host=env;Database=canteen;");
        const QByteArray iniCs = "Provider=SQLOLEDB.1;Data Source=db,1433;Initial Catalog=Canteen;";
        QTest::newRow("environment over ini")
            << envCs << QByteArray("[Database]\nConnectionString=" + iniCs + "\n") << envCs;
        // Written as an operator writes it: unquoted, with ';' and ','.
        QTest::newRow("ini as written") << QString() << QByteArray("[Database]\r\nConnectionString=" + iniCs + "\r\n")
                                        << QString::fromLatin1(iniCs);
        QTest::newRow("ini quoted") << QString() << QByteArray("[Database]\nConnectionString=\"" + iniCs + "\"\n")
                                    << QString::fromLatin1(iniCs);
        QTest::newRow("ini without the key")
            << QString() << QByteArray("[Database]\nOther=1\n") << QStringLiteral("embedded");
        QTest::newRow("nothing") << QString() << QByteArray() << QStringLiteral("embedded");
    }
    void whereTheDatabaseIs() {
        QFETCH(QString, environment);
        QFETCH(QByteArray, ini);
        QFETCH(QString, expected);
        TestHome home;
        qputenv("TALLYFOLD_CONNECTION", environment.toUtf8());
        if (!ini.isEmpty())
            writeFile(home.file(QStringLiteral("Config/Tallyfold.ini")), ini);
        if (expected == QLatin1String("embedded"))
            expected = QStringLiteral("Provider=SQLite;Data Source=") +
                       home.file(QStringLiteral("Database/tallyfold.db")) + QLatin1Char(';');
        QCOMPARE(hostSettingsFromEnvironment().configuredConnectionString(), expected);
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
