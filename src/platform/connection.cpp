#include "platform/connection_private.h"

#include "platform/error.h"
#include "platform/pg_session.h"
#include "platform/sql_failure.h"
#include "platform/sql_server_odbc.h"

#include <libpq-fe.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <QAtomicInt>
#include <QCoreApplication>
#include <QMutex>
#include <QSqlDriver>
#include <QSqlError>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <map>
#include <set>
#include <stop_token>
#include <thread>

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
std::set<ConnectionPrivate*>& liveConnections() {
    static auto* live = new std::set<ConnectionPrivate*>();  // outlives every static Connection
    return *live;
}
QMutex& liveMutex() {
    static auto* mutex = new QMutex();
    return *mutex;
}
bool applicationGone = false;

// A timeout key of the connection string in whole seconds; ADO's 0 ("wait
// forever") and nonsense fall back to the default: no wait is unbounded.
int timeoutSeconds(const ConnectionString& cs, const QString& key, int fallback) {
    bool ok = false;
    const int seconds = cs.value(key).toInt(&ok);
    return ok && seconds > 0 ? seconds : fallback;
}

// Interrupts statements that outlive their bound. Its thread runs while some
// connection is open: the last one to close stops and joins it.
class Watchdog {
public:
    static Watchdog& instance() {
        static auto* watchdog = new Watchdog();  // outlives every static Connection
        return *watchdog;
    }

    void hold() {
        std::lock_guard lock(mutex_);
        if (holders_++ == 0)
            thread_ = std::jthread([this](std::stop_token stop) { watch(stop); });
    }

    void release() {
        std::jthread ending;
        {
            std::lock_guard lock(mutex_);
            if (--holders_ == 0)
                ending = std::move(thread_);
        }
        // `ending` stops and joins the thread here, outside the lock the thread takes.
    }

    void enter(ConnectionPrivate* connection, std::chrono::steady_clock::time_point deadline) {
        std::lock_guard lock(mutex_);
        running_[connection] = deadline;
    }

    void leave(ConnectionPrivate* connection) {
        std::lock_guard lock(mutex_);
        running_.erase(connection);
    }

private:
    void watch(const std::stop_token& stop) {
        std::unique_lock lock(mutex_);
        while (!wake_.wait_for(lock, stop, std::chrono::milliseconds(100), [&] { return stop.stop_requested(); })) {
            const auto now = std::chrono::steady_clock::now();
            for (auto& [connection, deadline] : running_)
                if (now > deadline) {
                    deadline = std::chrono::steady_clock::time_point::max();  // once per statement
                    connection->interrupt();
                }
        }
    }

    std::mutex mutex_;
    std::condition_variable_any wake_;
    std::map<ConnectionPrivate*, std::chrono::steady_clock::time_point> running_;
    int holders_ = 0;
    std::jthread thread_;
};

// What a server says while it cannot take writes for a moment, or a host that is not there (yet).
bool passingConnectFailure(const QString& error) {
    static const char* const passing[] = {"shutting down",      "read-only",       "hot standby",
                                          "starting up",        "recovery mode",   "not yet accepting",
                                          "Connection refused", "timeout expired", "closed the connection"};
    return std::any_of(std::begin(passing), std::end(passing),
                       [&](const char* text) { return error.contains(QLatin1String(text)); });
}

// How much longer than Command Timeout a statement may run before the watchdog cuts it off:
// the server's own timeout comes first whenever the server still answers.
constexpr auto Grace = std::chrono::seconds(2);

void tearDownConnections() {
    QMutexLocker lock(&liveMutex());
    for (ConnectionPrivate* c : liveConnections())
        c->close();
    applicationGone = true;
}
}  // namespace

ConnectionPrivate::ConnectionPrivate(QString connectionString)
    : connectionString_(std::move(connectionString)), qtName_(nextConnectionName()) {}

Connection::Connection(QString connectionString)
    : d_(std::make_unique<ConnectionPrivate>(std::move(connectionString))) {
    static const bool registered = [] {
        qAddPostRoutine(tearDownConnections);
        return true;
    }();
    Q_UNUSED(registered);
    QMutexLocker lock(&liveMutex());
    liveConnections().insert(d_.get());
}

Connection::~Connection() {
    {
        QMutexLocker lock(&liveMutex());
        liveConnections().erase(d_.get());
    }
    d_->close();
}

QString Connection::ConnectionString() const {
    return d_->connectionString_;
}

int Connection::State() const {
    return d_->open_ ? adStateOpen : adStateClosed;
}

void Connection::Open() {
    d_->open();
}

void Connection::Close() {
    d_->close();
}

void Connection::Execute(const QString& statement) {
    d_->execute(statement);
}

QSqlDatabase Connection::database() const {
    return d_->database();
}

QSqlDatabase ConnectionPrivate::database() const {
    // On PostgreSQL the library itself needs no Qt connection: one opens when a host asks.
    if (open_ && provider_ == ProviderKind::PostgreSQL && !QSqlDatabase::contains(qtName_))
        const_cast<ConnectionPrivate*>(this)->openQtPostgres();
    if (!QSqlDatabase::contains(qtName_))
        throw Error(errc::ObjectNotSet, QStringLiteral("The connection is not open"));
    return QSqlDatabase::database(qtName_, false);
}

void ConnectionPrivate::openQtPostgres() {
    const tallyfold::ConnectionString cs(connectionString_);
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), qtName_);
    if (!db.isValid()) {
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(qtName_);
        throw Error(errc::ProviderUnavailable,
                    QStringLiteral("The database driver for provider %1 is not installed").arg(cs.provider()));
    }
    // The same parameters as the library's own session. The driver quotes the names and the
    // password itself, and turns every ';' of the options into a blank: none of those goes there.
    db.setHostName(cs.value(QStringLiteral("Host")));
    db.setDatabaseName(cs.value(QStringLiteral("Database")));
    db.setUserName(cs.value(QStringLiteral("User ID")));
    db.setPassword(cs.value(QStringLiteral("Password")));
    QStringList options;
    const PgParameters p = pgParameters(cs, connectTimeout_, commandTimeout_);
    for (std::size_t i = 0; i < p.keywords.size(); ++i) {
        const QByteArray& keyword = p.keywords[i];
        if (keyword == "host" || keyword == "dbname" || keyword == "user" || keyword == "password")
            continue;
        QString value = QString::fromUtf8(p.values[i]);
        value.replace(QLatin1Char('\\'), QStringLiteral("\\\\")).replace(QLatin1Char('\''), QStringLiteral("\\'"));
        options << QString::fromLatin1(keyword) + QStringLiteral("='") + value + QLatin1Char('\'');
    }
    db.setConnectOptions(options.join(QLatin1Char(';')));
    if (!db.open()) {
        const QString message = db.lastError().text();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(qtName_);
        throwDatabaseError(QStringLiteral("Cannot open the database (%1)").arg(cs.provider()), message, QString());
    }
}

void ConnectionPrivate::open() {
    if (open_)
        return;
    const tallyfold::ConnectionString cs(connectionString_);
    provider_ = providerKind(cs);
    connectTimeout_ = timeoutSeconds(cs, QStringLiteral("Connect Timeout"), 15);
    commandTimeout_ = timeoutSeconds(cs, QStringLiteral("Command Timeout"), 30);
    QSqlDatabase db;
    switch (provider_) {
    case ProviderKind::SQLite: {
        const QString file = cs.value(QStringLiteral("Data Source"));
        if (file.isEmpty())
            throw Error(errc::Database, QStringLiteral("Provider SQLite needs \"Data Source=\" with a file path"));
        db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), qtName_);
        db.setDatabaseName(file);
        // A lock another program holds is waited for, as long as a statement may take.
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(commandTimeout_ * 1000));
        break;
    }
    case ProviderKind::PostgreSQL: {
        // In trouble, a connect waits only for what is left of Connect Timeout, and libpq's
        // shortest wait for a host is 2 s: too little left for that is no start.
        const qsizetype hosts = std::max<qsizetype>(1, cs.value(QStringLiteral("Host")).split(QLatin1Char(',')).size());
        int connectSeconds = connectTimeout_;
        if (const auto troubleEnd = this->troubleEnd()) {
            const auto left = std::chrono::floor<std::chrono::seconds>(*troubleEnd - std::chrono::steady_clock::now());
            if (left.count() < 2 * hosts)
                throw Error(errc::Database,
                            QStringLiteral("The database did not come back within Connect Timeout (%1 s)")
                                .arg(connectTimeout_));
            connectSeconds = int(std::min<qint64>(left.count(), connectTimeout_));  // pgParameters shares it out
        }
        QString error;
        PGconn* conn = pgConnect(pgParameters(cs, connectSeconds, commandTimeout_), error);
        // With several hosts, none may take writes for a moment at the start too (a primary
        // shutting down, its standby not yet promoted): they are tried again, within Connect
        // Timeout, as a run that lost its server mid-way does. Later opens are their callers' retries.
        const bool severalHosts = cs.value(QStringLiteral("Host")).contains(QLatin1Char(','));
        const auto giveUpAt = std::chrono::steady_clock::now() + std::chrono::seconds(connectTimeout_);
        while (!conn && severalHosts && !everOpened_ && passingConnectFailure(error)) {
            const auto now = std::chrono::steady_clock::now();
            if (now >= giveUpAt)
                break;
            std::this_thread::sleep_for(
                std::min<std::chrono::steady_clock::duration>(giveUpAt - now, std::chrono::milliseconds(500)));
            // Each pass within what is left: libpq waits its connect_timeout (2 s at least) for each host.
            const int left =
                int(std::chrono::ceil<std::chrono::seconds>(giveUpAt - std::chrono::steady_clock::now()).count());
            conn = pgConnect(pgParameters(cs, std::max(1, std::min(left, connectTimeout_)), commandTimeout_), error);
        }
        if (!conn)
            throwDatabaseError(QStringLiteral("Cannot open the database (%1)").arg(cs.provider()), error, QString());
        {
            std::lock_guard lock(handleMutex_);
            cutOff_.store(false, std::memory_order_release);
            handle_ = conn;
        }
        open_ = true;
        everOpened_ = true;
        Watchdog::instance().hold();
        watched_ = true;
        return;
    }
    case ProviderKind::SqlServer:
        db = QSqlDatabase::addDatabase(QStringLiteral("QODBC"), qtName_);
        db.setDatabaseName(sqlServerOdbcString(cs));
        // Untested: no SQL Server runs in the tests.
        db.setConnectOptions(QStringLiteral("SQL_ATTR_LOGIN_TIMEOUT=%1;SQL_ATTR_CONNECTION_TIMEOUT=%2")
                                 .arg(connectTimeout_)
                                 .arg(commandTimeout_));
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
    {
        const QVariant handle = db.driver()->handle();
        std::lock_guard lock(handleMutex_);
        cutOff_.store(false, std::memory_order_release);
        handle_ = handle.isValid() ? *static_cast<void* const*>(handle.constData()) : nullptr;
    }
    Watchdog::instance().hold();
    watched_ = true;
    if (provider_ != ProviderKind::SQLite)
        return;
    db = QSqlDatabase();  // the registry's copy only, so that a failure below can remove it
    // A setting that fails (a full disk cannot take the log file) fails the open: reopening
    // from inside it would only fail the same way, one level deeper each time.
    const bool wasOpening = std::exchange(opening_, true);
    try {
        // WAL with FULL sync: every committed row is on disk before the call returns.
        execute(QStringLiteral("PRAGMA journal_mode=WAL"));
        execute(QStringLiteral("PRAGMA synchronous=FULL"));
        // Durability as above; these set the cost of a large table (bench/README.md has the figures).
        // 4 MB holds a batch's index pages from its duplicate test to its commit, new records
        // landing at the end of the date-time index, and keeps a window holding a million rows
        // small. A checkpoint every 20,000 pages (80 MB of log at most) copies a page once for
        // many commits rather than once for each.
        execute(QStringLiteral("PRAGMA cache_size=-4000"));
        execute(QStringLiteral("PRAGMA wal_autocheckpoint=20000"));
    } catch (...) {
        opening_ = wasOpening;
        close();
        throw;
    }
    opening_ = wasOpening;
}

void ConnectionPrivate::closeSession() {
    open_ = false;
    prefetched_.clear();
    {
        std::lock_guard lock(handleMutex_);
        if (provider_ == ProviderKind::PostgreSQL && handle_)
            PQfinish(static_cast<PGconn*>(handle_));  // ours, not the driver's
        handle_ = nullptr;
    }
    if (std::exchange(watched_, false))
        Watchdog::instance().release();
}

void ConnectionPrivate::close() {
    closeSession();
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

bool ConnectionPrivate::reopen() {
    // Never from inside open(): one fresh connection per failed statement, not one per level.
    if (opening_)
        return false;
    noteTrouble();
    close();
    try {
        open();
        return true;
    } catch (const Error&) {
        return false;
    }
}

void ConnectionPrivate::noteTrouble() {
    if (troubleEnd())
        return;  // the first sign of it counts
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(connectTimeout_);
    troubleEnd_.store(end.time_since_epoch().count(), std::memory_order_release);
}

std::optional<std::chrono::steady_clock::time_point> ConnectionPrivate::troubleEnd() const {
    const auto rep = troubleEnd_.load(std::memory_order_acquire);
    if (rep == 0)
        return std::nullopt;
    const std::chrono::steady_clock::time_point end{std::chrono::steady_clock::duration(rep)};
    if (std::chrono::steady_clock::now() > end + std::chrono::seconds(connectTimeout_))
        return std::nullopt;
    return end;
}

void ConnectionPrivate::interrupt() {
    std::lock_guard lock(handleMutex_);
    if (!handle_)
        return;
    noteTrouble();
    cutOff_.store(true, std::memory_order_release);
    if (provider_ == ProviderKind::SQLite) {
        sqlite3_interrupt(static_cast<sqlite3*>(handle_));
    } else if (provider_ == ProviderKind::PostgreSQL) {
        // A server that stopped answering cannot cancel anything: cutting the
        // socket ends the wait, and the statement fails as a lost connection.
        const int fd = PQsocket(static_cast<PGconn*>(handle_));
        if (fd >= 0)
            ::shutdown(fd, SHUT_RDWR);
    }
}

RunningStatement::RunningStatement(ConnectionPrivate& connection) : connection_(connection) {
    // SQLite goes on after an interrupt; a PostgreSQL connection whose socket was cut does not.
    if (connection_.provider() != ProviderKind::PostgreSQL)
        connection_.cutOff_.store(false, std::memory_order_release);
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(connection_.commandTimeoutSeconds()) + Grace;
    if (const auto troubleEnd = connection_.troubleEnd())
        deadline = std::min(deadline, *troubleEnd);
    Watchdog::instance().enter(&connection_, deadline);
}

RunningStatement::~RunningStatement() {
    Watchdog::instance().leave(&connection_);
}

void ConnectionPrivate::execute(const QString& statement) {
    if (provider_ == ProviderKind::PostgreSQL && open_) {
        pgRetried(*this, statement, {}, QStringLiteral("The database rejected the statement"));
        return;
    }
    QSqlError error;
    for (int attempt = 0; attempt < 2; ++attempt) {
        {
            QSqlQuery query(database());
            const RunningStatement running(*this);
            if (query.exec(statement))
                return;
            error = query.lastError();
        }
        if (cutOff())
            throwCutOff(statement);
        // A server restarted since the last statement: one fresh connection is worth a try.
        if (attempt > 0 || classifySqlError(provider_, error) != SqlFailure::Lost || !reopen())
            break;
    }
    throwSqlError(provider_, QStringLiteral("The database rejected the statement"), sqlError(error), statement);
}

QSqlError ConnectionPrivate::sqlError(const QSqlError& error) const {
    // A full disk that refuses SQLite's shared-memory file comes back as an I/O error: it is
    // told in SQLite's own words for a full disk, and waited for as one.
    if (provider_ != ProviderKind::SQLite || !handle_ || error.nativeErrorCode() == QLatin1String("13") ||
        sqlite3_system_errno(static_cast<sqlite3*>(handle_)) != ENOSPC)
        return error;
    return QSqlError(error.driverText(), QString::fromUtf8(sqlite3_errstr(SQLITE_FULL)), error.type(),
                     QString::number(SQLITE_FULL));
}

PgRows pgRetried(ConnectionPrivate& db, const QString& statement, const QVariantList& values, const QString& what) {
    for (int attempt = 0;; ++attempt) {
        try {
            return pgExecute(db, statement, values, what);
        } catch (const DatabaseError& e) {
            // A server restarted since the last statement: one fresh connection is worth a try.
            if (attempt > 0 || e.failure() != SqlFailure::Lost || db.cutOff() || !db.reopen())
                throw;
        }
    }
}

void ConnectionPrivate::throwCutOff(const QString& statement) const {
    const QString message =
        QStringLiteral("the database did not answer within Command Timeout (%1 s)").arg(commandTimeout_);
    QString text = QStringLiteral("The statement was stopped: ") + message;
    if (!statement.isEmpty())
        text += QStringLiteral(" [statement: ") + statement + QLatin1Char(']');
    throw DatabaseError(SqlFailure::Busy, QString(), text, message);
}

QSqlQuery& ConnectionPrivate::selectQuery() {
    if (!select_) {
        select_ = std::make_unique<QSqlQuery>(database());
        select_->setForwardOnly(true);
    }
    return *select_;
}

QSqlQuery& ConnectionPrivate::prepared(const QString& statement) {
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
