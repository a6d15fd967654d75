#include "platform/connection.h"
#include "platform/connection_string.h"
#include "platform/error.h"
#include "platform/sql_server_odbc.h"

#include <QtTest>

using namespace tallyfold;

Q_DECLARE_METATYPE(tallyfold::ProviderKind)

class TstConnectionString : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void items_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::newRow("key case ignored") << QStringLiteral("provider=SQLite;DATA SOURCE=/a.db;")
                                          << QStringLiteral("Data Source") << QStringLiteral("/a.db");
        QTest::newRow("blanks around") << QStringLiteral(" Provider = PostgreSQL ; Host = h ") << QStringLiteral("Host")
                                       << QStringLiteral("h");
        QTest::newRow("last repeat wins")
            << QStringLiteral("Host=a;Host=b") << QStringLiteral("host") << QStringLiteral("b");
        // A password may itself hold '='.
        QTest::newRow("equals in value") << QStringLiteral("Password=a=b;") << QStringLiteral("Password")
                                         << QStringLiteral("a=b");
        QTest::newRow("quotes stripped") << QStringLiteral("Data Source='/x y.db'") << QStringLiteral("Data Source")
                                         << QStringLiteral("/x y.db");
        // Quoting exists so a value can hold ';'.
        QTest::newRow("quoted semicolon")
            << QStringLiteral("Password=\"a;b\";User ID=u") << QStringLiteral("Password") << QStringLiteral("a;b");
        QTest::newRow("pwd is the password")
            << QStringLiteral("pwd=x") << QStringLiteral("Password") << QStringLiteral("x");
        // A doubled quote is the quote itself; the other quote and ';' are plain inside.
        QTest::newRow("doubled quote") << QStringLiteral("Password='a''b;\"c';Host=h") << QStringLiteral("Password")
                                       << QStringLiteral("a'b;\"c");
        QTest::newRow("quoted blanks kept")
            << QStringLiteral("Password=\" a \" ;") << QStringLiteral("Password") << QStringLiteral(" a ");
        // Braces as ODBC writes them: ';' inside, "}}" for '}', blanks around dropped.
        QTest::newRow("braced") << QStringLiteral("PWD= {a;b}}c} ;Host=h") << QStringLiteral("Password")
                                << QStringLiteral("a;b}c");
        QTest::newRow("missing key") << QStringLiteral("Provider=SQLite") << QStringLiteral("Host") << QString();
    }
    void items() {
        QFETCH(QString, text);
        QFETCH(QString, key);
        QFETCH(QString, value);
        QCOMPARE(ConnectionString(text).value(key), value);
    }

    void provider_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<ProviderKind>("kind");
        QTest::newRow("sqlite") << QStringLiteral("Provider=SQLite;Data Source=a") << ProviderKind::SQLite;
        QTest::newRow("postgresql upper") << QStringLiteral("PROVIDER=POSTGRESQL;") << ProviderKind::PostgreSQL;
        QTest::newRow("sql server") << QStringLiteral("Provider=SQLOLEDB.1;Data Source=h") << ProviderKind::SqlServer;
        QTest::newRow("jet") << QStringLiteral("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=a.mdb")
                             << ProviderKind::Access;
        QTest::newRow("no provider") << QStringLiteral("Data Source=a") << ProviderKind::Unknown;
        QTest::newRow("other") << QStringLiteral("Provider=MSDAORA;") << ProviderKind::Unknown;
    }
    void provider() {
        QFETCH(QString, text);
        QFETCH(ProviderKind, kind);
        QCOMPARE(providerKind(ConnectionString(text)), kind);
    }

    void sqlServerOdbc_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("expected");  // items that must appear
        QTest::addColumn<QStringList>("absent");    // item prefixes that must not
        QTest::newRow("full") << QStringLiteral(
                                     "Provider=SQLOLEDB.1;Password=pw;Persist Security Info=True;"
                                     "User ID=sa;Initial Catalog=Canteen;Data Source=db.local,1433")
                              << QStringList{QStringLiteral("DRIVER={FreeTDS}"), QStringLiteral("SERVER=db.local"),
                                             QStringLiteral("PORT=1433"),        QStringLiteral("DATABASE=Canteen"),
                                             QStringLiteral("UID=sa"),           QStringLiteral("PWD=pw")}
                              << QStringList();
        // Without ",port" and credentials, nothing empty may be passed on.
        QTest::newRow("server only") << QStringLiteral("Provider=SQLOLEDB.1;Data Source=db")
                                     << QStringList{QStringLiteral("SERVER=db")}
                                     << QStringList{QStringLiteral("PORT="), QStringLiteral("UID="),
                                                    QStringLiteral("PWD="), QStringLiteral("DATABASE=")};
    }
    void odbcValuesCannotAddKeys() {
        // A password holding ';' and braces stays one value instead of adding a driver of its own.
        const QString odbc = sqlServerOdbcString(
            ConnectionString(QStringLiteral("Provider=SQLOLEDB.1;Data Source=db;Password=\"x;DRIVER={SQL Server}\"")));
        QVERIFY2(odbc.contains(QStringLiteral(";PWD={x;DRIVER={SQL Server}}};")), qPrintable(odbc));
        QCOMPARE(odbc.count(QStringLiteral("DRIVER=")), 2);  // FreeTDS's, and the text inside the braced value
        QVERIFY(odbc.startsWith(QStringLiteral("DRIVER={FreeTDS};")));
    }
    void sqlServerOdbc() {
        QFETCH(QString, text);
        QFETCH(QStringList, expected);
        QFETCH(QStringList, absent);
        const QStringList items = sqlServerOdbcString(ConnectionString(text)).split(QLatin1Char(';'));
        for (const QString& item : expected)
            QVERIFY2(items.contains(item), qPrintable(item + QStringLiteral(" not in ") + items.join(u';')));
        for (const QString& prefix : absent)
            for (const QString& item : items)
                QVERIFY2(!item.startsWith(prefix), qPrintable(item));
    }

    void unavailableProviderRaises_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("mentions");
        QTest::newRow("jet") << QStringLiteral("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=c:\\a.mdb")
                             << QStringList{QStringLiteral("Microsoft.Jet.OLEDB.4.0"),
                                            QStringLiteral("not available on this platform")};
        QTest::newRow("unknown") << QStringLiteral("Provider=Nothing.1;") << QStringList{QStringLiteral("Nothing.1")};
    }
    void unavailableProviderRaises() {
        QFETCH(QString, text);
        QFETCH(QStringList, mentions);
        Connection c(text);
        try {
            c.Open();
            QFAIL("opened");
        } catch (const Error& e) {
            QCOMPARE(e.number(), errc::ProviderUnavailable);
            for (const QString& m : mentions)
                QVERIFY2(e.description().contains(m), qPrintable(e.description()));
        }
        QCOMPARE(c.State(), int(adStateClosed));
    }
};

QTEST_GUILESS_MAIN(TstConnectionString)
#include "tst_connection_string.moc"
