#include "platform/connection.h"

#include "platform/error.h"

#include <QAtomicInt>
#include <QCoreApplication>
#include <QMutex>
#include <QSqlError>
#include <set>

namespace tallyfold {

static QString nextConnectionName() {
    static QAtomicInt counter;
    return QStringLiteral("tallyfold-%1").arg(counter.fetchAndAddRelaxed(1) + 1);
}

void throwDatabaseError(const QString& what, const QString& dbMessage, const QString& statement) {
    QString text = what;
    // One line: the message goes into status bars, boxes and single-line logs.
    if (!dbMessage.trimmed().isEmpty())
        text += QStringLiteral(": ") + dbMessage.simplified();
    if (!statement.isEmpty())
        text += QStringLiteral(" [statement: ") + statement + QLatin1Char(']');
    throw Error(errc::Database, text);
}

namespace {
// Connections can outlive the application object (a host's static data); Qt's
// database registry is gone then, so they are torn down when it quits.
std::set<Connection*>& liveConnections() {
    static auto* live = new std::set<Connection*>();  // outlives every static Connection
    return *live;
}
QMutex& liveMutex() {
    static auto* mutex = new QMutex();
    return *mutex;
}
bool applicationGone = false;

void tearDownConnections() {
    QMutexLocker lock(&liveMutex());
    for (Connection* c : liveConnections())
        c->Close();
    applicationGone = true;
}
}  // namespace

Connection::Connection(QString connectionString)
    : connectionString_(std::move(connectionString)), qtName_(nextConnectionName()) {
    static const bool registered = [] {
        qAddPostRoutine(tearDownConnections);
        return true;
    }();
    Q_UNUSED(registered);
    QMutexLocker lock(&liveMutex());
    liveConnections().insert(this);
}

Connection::~Connection() {
    {
        QMutexLocker lock(&liveMutex());
        liveConnections().erase(this);
    }
    Close();
}

int Connection::State() const {
    return open_ ? adStateOpen : adStateClosed;
}

QSqlDatabase Connection::database() const {
    if (!QSqlDatabase::contains(qtName_))
        throw Error(errc::ObjectNotSet, QStringLiteral("The connection is not open"));
    return QSqlDatabase::database(qtName_, false);
}

void Connection::Open() {
    if (State() == adStateOpen)
        return;
    const tallyfold::ConnectionString cs(connectionString_);
    provider_ = providerKind(cs);
    QSqlDatabase db;
    switch (provider_) {
    case ProviderKind::SQLite: {
        const QString file = cs.value(QStringLiteral("Data Source"));
        if (file.isEmpty())
            throw Error(errc::Database, QStringLiteral("Provider SQLite needs \"Data Source=\" with a file path"));
        db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), qtName_);
        db.setDatabaseName(file);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000"));
        break;
    }
    case ProviderKind::PostgreSQL: {
        db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), qtName_);
        db.setHostName(cs.value(QStringLiteral("Host")));
        if (cs.has(QStringLiteral("Port")))
            db.setPort(cs.value(QStringLiteral("Port")).toInt());
        db.setDatabaseName(cs.value(QStringLiteral("Database")));
        db.setUserName(cs.value(QStringLiteral("User ID")));
        db.setPassword(cs.value(QStringLiteral("Password")));
        break;
    }
    case ProviderKind::SqlServer:
        db = QSqlDatabase::addDatabase(QStringLiteral("QODBC"), qtName_);
        db.setDatabaseName(sqlServerOdbcString(cs));
        break;
    case ProviderKind::Access:
        throw Error(
            errc::ProviderUnavailable,
            QStringLiteral("Provider %1 (Microsoft Access) is not available on this platform").arg(cs.provider()));
    case ProviderKind::Unknown:
        throw Error(
            errc::ProviderUnavailable,
            QStringLiteral("Provider \"%1\" is not known; use SQLite, PostgreSQL or SQLOLEDB.1").arg(cs.provider()));
    }
    if (!db.isValid())
        throw Error(errc::ProviderUnavailable,
                    QStringLiteral("The database driver for provider %1 is not installed").arg(cs.provider()));
    if (!db.open()) {
        const QString message = db.lastError().text();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(qtName_);
        throwDatabaseError(QStringLiteral("Cannot open the database (%1)").arg(cs.provider()), message, QString());
    }
    open_ = true;
    if (provider_ == ProviderKind::SQLite) {
        // WAL with FULL sync: every committed row is on disk before the call returns.
        Execute(QStringLiteral("PRAGMA journal_mode=WAL"));
        Execute(QStringLiteral("PRAGMA synchronous=FULL"));
    }
}

void Connection::Close() {
    open_ = false;
    if (applicationGone)
        return;
    prepared_.clear();
    select_.reset();
    if (QSqlDatabase::contains(qtName_)) {
        {
            QSqlDatabase db = QSqlDatabase::database(qtName_, false);
            db.close();
        }
        QSqlDatabase::removeDatabase(qtName_);
    }
}

void Connection::Execute(const QString& statement) {
    QSqlQuery query(database());
    if (!query.exec(statement))
        throwDatabaseError(QStringLiteral("The database rejected the statement"), query.lastError().text(), statement);
}

QSqlQuery& Connection::selectQuery() {
    if (!select_) {
        select_ = std::make_unique<QSqlQuery>(database());
        select_->setForwardOnly(true);
    }
    return *select_;
}

QSqlQuery& Connection::prepared(const QString& statement) {
    auto it = prepared_.find(statement);
    if (it == prepared_.end()) {
        auto query = std::make_shared<QSqlQuery>(database());
        if (!query->prepare(statement))
            throwDatabaseError(QStringLiteral("The database rejected the statement"), query->lastError().text(),
                               statement);
        it = prepared_.insert(statement, query);
    }
    return **it;
}

}  // namespace tallyfold
