#include "outside/database_tool.h"

#include "outside/host_folder.h"
#include "outside/host_schema.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QSettings>

namespace tallyfold {

QString embeddedConnectionString() {
    return QStringLiteral("Provider=SQLite;Data Source=%1;").arg(hostFolder() + QStringLiteral("/Database/tallyfold.db"));
}

QString configuredConnectionString() {
    const QString fromEnv = qEnvironmentVariable("TALLYFOLD_CONNECTION");
    if (!fromEnv.isEmpty())
        return fromEnv;
    const QString ini = hostFolder() + QStringLiteral("/Config/Tallyfold.ini");
    if (QFileInfo::exists(ini)) {
        QSettings settings(ini, QSettings::IniFormat);
        const QString fromIni = settings.value(QStringLiteral("Database/ConnectionString")).toString();
        if (!fromIni.isEmpty())
            return fromIni;
    }
    return embeddedConnectionString();
}

namespace {
QHash<QString, std::shared_ptr<Connection>>& connections() {
    static QHash<QString, std::shared_ptr<Connection>> all;
    return all;
}
}  // namespace

std::shared_ptr<Connection> sharedConnection(const QString& connectionString) {
    auto& all = connections();
    if (auto it = all.find(connectionString); it != all.end() && (*it)->State() == adStateOpen)
        return *it;
    auto connection = std::make_shared<Connection>(connectionString);
    const ConnectionString cs(connectionString);
    bool fresh = false;
    if (providerKind(cs) == ProviderKind::SQLite) {
        const QFileInfo file(cs.value(QStringLiteral("Data Source")));
        fresh = !file.exists();
        if (fresh && connectionString == embeddedConnectionString())
            QDir().mkpath(file.absolutePath());
    }
    connection->Open();
    if (fresh)
        createHostSchema(*connection);
    all.insert(connectionString, connection);
    return connection;
}

void releaseSharedConnections() {
    connections().clear();
}

std::shared_ptr<Connection> HostDatabaseTool::ActiveCn() {
    return sharedConnection(configuredConnectionString());
}

std::unique_ptr<Recordset> HostDatabaseTool::RecordSetA(const QString& statement) {
    auto rs = std::make_unique<Recordset>();
    rs->Open(statement, ActiveCn(), adOpenDynamic, adLockOptimistic);
    return rs;
}

}  // namespace tallyfold
