#include "outside/database_tool.h"

#include "outside/host_folder.h"
#include "outside/host_schema.h"

#include "platform/connection_private.h"
#include "platform/error.h"

#include <unistd.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QThread>
#include <cerrno>

namespace tallyfold {

namespace {
// A database connection serves only the thread that opened it, so each thread
// gets its own; the lock guards the table, which all threads share.
struct Connections {
    QMutex mutex;
    QHash<QString, std::shared_ptr<Connection>> all;
};
Connections& connections() {
    static Connections c;
    return c;
}

QString threadTag() {
    return QString::number(quintptr(QThread::currentThreadId()), 16) + QLatin1Char('\n');
}
}  // namespace

std::shared_ptr<Connection> sharedConnection(const QString& connectionString, bool embedded) {
    Connections& c = connections();
    QMutexLocker lock(&c.mutex);
    auto& all = c.all;
    const QString key = threadTag() + connectionString;
    if (auto it = all.find(key); it != all.end() && (*it)->State() == adStateOpen)
        return *it;
    auto connection = std::make_shared<Connection>(connectionString);
    const ConnectionString cs(connectionString);
    bool fresh = false;
    if (providerKind(cs) == ProviderKind::SQLite) {
        const QFileInfo file(cs.value(QStringLiteral("Data Source")));
        fresh = !file.exists();
        if (fresh && embedded)
            QDir().mkpath(file.absolutePath());
    }
    connection->Open();
    if (fresh)
        createHostSchema(*connection);
    all.insert(key, connection);
    return connection;
}

QString missingDatabaseFile(const QString& connectionString) {
    const ConnectionString cs(connectionString);
    const QString source = cs.value(QStringLiteral("Data Source"));
    if (providerKind(cs) != ProviderKind::SQLite || source == QLatin1String(":memory:"))
        return QString();
    const QString file = QFileInfo(source).absoluteFilePath();
    if (::access(QFile::encodeName(file).constData(), F_OK) == 0 || errno != ENOENT)
        return QString();
    return file;
}

void releaseSharedConnections() {
    Connections& c = connections();
    QMutexLocker lock(&c.mutex);
    c.all.clear();
}

void releaseThreadConnections() {
    Connections& c = connections();
    QMutexLocker lock(&c.mutex);
    const QString tag = threadTag();
    c.all.removeIf([&](const auto& entry) { return entry.key().startsWith(tag); });
}

std::shared_ptr<Connection> HostDatabaseTool::ActiveCn() {
    const QString cs = host_.configuredConnectionString();
    return sharedConnection(cs, cs == host_.embeddedConnectionString());
}

void prefetchQueries(DatabaseTool& tool, const std::vector<std::pair<QString, QVariantList>>& statements) {
    try {
        const std::shared_ptr<Connection> connection = tool.ActiveCn();
        ConnectionPrivate& d = ConnectionPrivate::of(*connection);
        if (d.provider() != ProviderKind::PostgreSQL)
            return;
        std::vector<PgQuery> queries;
        for (const auto& [statement, values] : statements)
            queries.emplace_back(statement, values);
        pgPrefetch(d, queries);
    } catch (const Error&) {
        // The statements themselves will say what is wrong.
    }
}

std::unique_ptr<Recordset> HostDatabaseTool::RecordSetA(const QString& statement) {
    auto rs = std::make_unique<Recordset>();
    rs->Open(statement, ActiveCn(), adOpenDynamic, adLockOptimistic);
    return rs;
}

std::unique_ptr<Recordset> DatabaseTool::RecordSetA(const QString& statement, const QVariantList& values) {
    auto rs = std::make_unique<Recordset>();
    rs->Open(statement, values, ActiveCn(), adOpenDynamic, adLockOptimistic);
    return rs;
}

}  // namespace tallyfold
