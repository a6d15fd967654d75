#pragma once

#include "outside/interfaces.h"

namespace tallyfold {

// Where the host database is: TALLYFOLD_CONNECTION, else
// Config/Tallyfold.ini ([Database] ConnectionString=), else the embedded
// SQLite file Database/tallyfold.db of the host folder.
QString configuredConnectionString();
QString embeddedConnectionString();

// The process's one open connection for a connection string, opened on first
// use (the embedded database gets the host schema when it is new).
std::shared_ptr<Connection> sharedConnection(const QString& connectionString);
// Drops the process's connections; the next use opens them again.
void releaseSharedConnections();

class HostDatabaseTool : public DatabaseTool {
public:
    std::shared_ptr<Connection> ActiveCn() override;
    std::unique_ptr<Recordset> RecordSetA(const QString& statement) override;
};

}  // namespace tallyfold
