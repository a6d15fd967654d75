#pragma once

#include "outside/host_folder.h"

#include <QString>
#include <QTemporaryDir>
#include <QtTest>

// Opens a data-driven database test: takes the backend row (failing a missing
// server under CI), makes a fresh home and empty host tables (demo data if asked).
#define TALLYFOLD_DATABASE_TEST(home, demo)             \
    QFETCH(QString, connection);                        \
    if (!::tallyfold::test::requireBackend(connection)) \
        return;                                         \
    ::tallyfold::test::TestHome home(connection);       \
    ::tallyfold::test::resetHostDatabase(home.connection(), demo)

namespace tallyfold::test {

// The databases every database test runs on: SQLite always, PostgreSQL when
// TALLYFOLD_TEST_PG names a server (the test script starts one). With CI=true
// a missing server is a failure, never a silent skip.
void addBackendRows();  // data column "connection"; one row per backend
// Call at the start of a data-driven test: fails the PostgreSQL row when CI has no server.
bool requireBackend(const QString& connection);

// A fresh host folder (Source/, Database/, Config/) with our own components
// bound to it, also named by TALLYFOLD_HOME and TALLYFOLD_CONNECTION for the
// programs a test starts and the window a test opens. The database: "sqlite"
// (a file in the folder), "postgresql" (the test server) or a connection string.
class TestHome {
public:
    explicit TestHome(const QString& connection = QString());
    ~TestHome();
    QString path() const { return dir_.path(); }
    QString file(const QString& relative) const { return dir_.path() + QLatin1Char('/') + relative; }
    QString connection() const { return connection_; }
    HostSettings settings() const { return HostSettings{path(), connection_}; }

private:
    QTemporaryDir dir_;
    QString connection_;
};

// Drops the host tables and creates them empty again; with demo, adds the demo data.
void resetHostDatabase(const QString& connection, bool demo = false);
// Runs one statement on the test database.
void execute(const QString& connection, const QString& statement);
// The first column of the first row, as text.
QString scalar(const QString& connection, const QString& select);

QString writeFile(const QString& path, const QByteArray& bytes);

}  // namespace tallyfold::test
