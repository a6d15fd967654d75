#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <functional>
#include <string_view>
#include <vector>

struct sqlite3_stmt;

namespace tallyfold {

class ConnectionPrivate;

// A batch writer's statements on SQLite through SQLite's own calls, each text prepared once:
// a batch binds thousands of values, which Qt's driver would each wrap in a QVariant and hand
// over as UTF-16 for SQLite to convert back. Errors come as Qt's driver reports them.
class SqliteStatements {
public:
    SqliteStatements() = default;
    ~SqliteStatements() { clear(); }
    SqliteStatements(const SqliteStatements&) = delete;
    SqliteStatements& operator=(const SqliteStatements&) = delete;

    // Before the connection closes: a statement left prepared keeps it open.
    void clear();
    // Runs `text` on the open connection `db`, `bind` setting its values (from 1), and gives
    // the first column of every row; raises DatabaseError as `what`.
    std::vector<qint64> run(ConnectionPrivate& db, const QString& text, const char* what,
                            const std::function<void(sqlite3_stmt*)>& bind);

    // UTF-8 texts bound as they are: they must outlive the statement's run.
    static void bindText(sqlite3_stmt* statement, int at, std::string_view text);
    static void bindNumber(sqlite3_stmt* statement, int at, qint64 n);

private:
    QHash<QString, sqlite3_stmt*> prepared_;
    void* db_ = nullptr;  // the connection they were prepared on
};

}  // namespace tallyfold
