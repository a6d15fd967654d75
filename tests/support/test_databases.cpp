#include "support/test_databases.h"

#include "entry/builtin_components.h"
#include "outside/database_tool.h"
#include "outside/host_schema.h"
#include "platform/connection_string.h"
#include "platform/recordset.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSqlQuery>

namespace tallyfold::test {

namespace {
// Each test program gets a database of its own on the shared server.
QString postgresConnection() {
    static QString connection = []() -> QString {
        const QString server = qEnvironmentVariable("TALLYFOLD_TEST_PG");
        if (server.isEmpty())
            return QString();
        const QString name = QStringLiteral("tf_%1_%2")
                                 .arg(QCoreApplication::applicationName().toLower().remove(QLatin1Char('-')))
                                 .arg(QCoreApplication::applicationPid());
        {
            Connection admin(server);
            admin.Open();
            admin.Execute(QStringLiteral("drop database if exists ") + name);
            admin.Execute(QStringLiteral("create database ") + name);
        }
        QString cs = server;
        if (!cs.endsWith(QLatin1Char(';')))
            cs += QLatin1Char(';');
        return cs + QStringLiteral("Database=") + name + QLatin1Char(';');
    }();
    return connection;
}
}  // namespace

void addBackendRows() {
    QTest::addColumn<QString>("connection");
    QTest::newRow("sqlite") << QStringLiteral("sqlite");
    if (!qEnvironmentVariable("TALLYFOLD_TEST_PG").isEmpty() || qEnvironmentVariable("CI") == QLatin1String("true"))
        QTest::newRow("postgresql") << QStringLiteral("postgresql");
}

bool requireBackend(const QString& connection) {
    if (connection == QLatin1String("postgresql") && qEnvironmentVariable("TALLYFOLD_TEST_PG").isEmpty()) {
        QTest::qFail("CI=true but TALLYFOLD_TEST_PG names no PostgreSQL server", __FILE__, __LINE__);
        return false;
    }
    return true;
}

TestHome::TestHome(const QString& connection) {
    for (const char* sub : {"Source", "Database", "Config"})
        QDir(dir_.path()).mkpath(QString::fromLatin1(sub));
    if (connection == QLatin1String("postgresql"))
        connection_ = postgresConnection();
    else if (connection.startsWith(QLatin1String("Provider="), Qt::CaseInsensitive))
        connection_ = connection;
    else
        connection_ = QStringLiteral("Provider=SQLite;Data Source=%1;").arg(file(QStringLiteral("Database/test.db")));
    qputenv("TALLYFOLD_HOME", dir_.path().toLocal8Bit());
    qputenv("TALLYFOLD_CONNECTION", connection_.toUtf8());
    registerBuiltinComponents(settings());
    releaseSharedConnections();
}

TestHome::~TestHome() {
    releaseSharedConnections();
    qunsetenv("TALLYFOLD_HOME");
    qunsetenv("TALLYFOLD_CONNECTION");
}

void resetHostDatabase(const QString& connection, bool demo) {
    releaseSharedConnections();
    Connection c(connection);
    c.Open();
    for (const char* table :
         {"MachineInfo", "Tcon_MonTime", "Tcon_ConsumeDtl", "CtrlLog", "UserPermission", "Tallyfold_GatherState"})
        c.Execute(QStringLiteral("drop table if exists ") + QString::fromLatin1(table));
    createHostSchema(c);
    if (demo)
        addDemoData(c);
}

void execute(const QString& connection, const QString& statement) {
    sharedConnection(connection)->Execute(statement);
}

QString scalar(const QString& connection, const QString& select) {
    QSqlQuery query(sharedConnection(connection)->database());
    if (!query.exec(select))
        qFatal("query failed: %s", qPrintable(select));
    return query.next() ? query.value(0).toString() : QString();
}

QString writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        qFatal("cannot write %s", qPrintable(path));
    f.write(bytes);
    return path;
}

}  // namespace tallyfold::test
