#include "outside/database_tool.h"

#include "outside/host_folder.h"
#include "outside/host_schema.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>

namespace tallyfold {

QString embeddedConnectionString() {
    return QStringLiteral("Provider=SQLite;Data Source=%1;")
        .arg(hostFolder() + QStringLiteral("/Database/tallyfold.db"));
}

// Read by hand: a connection string is full of ';', which INI readers take for a comment.
static QString iniConnectionString(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return QString();
    bool inDatabase = false;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            inDatabase = line.compare(QStringLiteral("[Database]"), Qt::CaseInsensitive) == 0;
            continue;
        }
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (!inDatabase || eq < 0 ||
            line.left(eq).trimmed().compare(QStringLiteral("ConnectionString"), Qt::CaseInsensitive) != 0)
            continue;
        QString value = line.mid(eq + 1).trimmed();
        if (value.size() >= 2 && value.startsWith(QLatin1Char('"')) && value.endsWith(QLatin1Char('"')))
            value = value.mid(1, value.size() - 2);
        return value;
    }
    return QString();
}

QString configuredConnectionString() {
    const QString fromEnv = qEnvironmentVariable("TALLYFOLD_CONNECTION");
    if (!fromEnv.isEmpty())
        return fromEnv;
    const QString ini = hostFolder() + QStringLiteral("/Config/Tallyfold.ini");
    const QString fromIni = iniConnectionString(ini);
    if (!fromIni.isEmpty())
        return fromIni;
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
