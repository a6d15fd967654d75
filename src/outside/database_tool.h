#pragma once

#include "outside/host_folder.h"
#include "outside/interfaces.h"

namespace tallyfold {

// The calling thread's one open connection for a connection string, opened on first
// use (a new SQLite file gets the host schema; the embedded one also its folder).
std::shared_ptr<Connection> sharedConnection(const QString& connectionString, bool embedded = false);
// The SQLite file a connection string names, made absolute, when it is not there; else empty.
// A file that cannot be looked at is not missing: opening it says why.
QString missingDatabaseFile(const QString& connectionString);
// Drops the process's connections; the next use opens them again.
void releaseSharedConnections();
// Drops the calling thread's connections, before the thread ends.
void releaseThreadConnections();

// On PostgreSQL, reads the statements (each with its values) in one round trip for the next
// queries of the same statements and values on the tool's connection, in the same order;
// elsewhere nothing. What cannot be read ahead is read when asked, and fails then.
void prefetchQueries(DatabaseTool& tool, const std::vector<std::pair<QString, QVariantList>>& statements);

class HostDatabaseTool : public DatabaseTool {
public:
    explicit HostDatabaseTool(HostSettings host) : host_(std::move(host)) {}
    std::shared_ptr<Connection> ActiveCn() override;
    std::unique_ptr<Recordset> RecordSetA(const QString& statement) override;
    using DatabaseTool::RecordSetA;

private:
    HostSettings host_;
};

}  // namespace tallyfold
