#include "outside/database_tool.h"
#include "outside/host_schema.h"
#include "records/mdl_gather_data.h"
#include "records/operations.h"
#include "store/record_store.h"
#include "support/recording_view.h"
#include "support/test_databases.h"

#include "platform/connection.h"
#include "platform/recordset.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSqlQuery>
#include <QTcpServer>
#include <QtTest>
#include <csignal>

using namespace tallyfold;
using namespace tallyfold::test;

// The store under what a host's database does to it: other importers of the
// same file at the same time, a server that goes away, a database that cannot
// take rows. Imports run as the tallyfold command does them, most of them as
// that command.
class tst_record_store : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void concurrentImportsStoreEachRecordOnce_data() { addBackendRows(); }
    void concurrentImportsStoreEachRecordOnce();
    void serverStoppedMidImport();
    void primaryFailsOverMidImport();
    void commitAnswerLost_data();
    void commitAnswerLost();
    void frozenServerEndsInTime();
    void databaseTakesNoRows_data();
    void databaseTakesNoRows();
};

namespace {

struct RecordFile {
    QString path;
    int lines = 0;
    int distinct = 0;
};

// Fresh records, every third line a repeat of an earlier one from another
// terminal, every fiftieth line bad.
RecordFile writeRecords(const QString& path, int lines) {
    const QDateTime start(QDate(2024, 1, 2), QTime(6, 0));
    auto record = [&](int k, int terminal) {
        return QStringLiteral("%1%2%3\r\n")
            .arg(terminal, 2, 16, QLatin1Char('0'))
            .arg(k, 6, 10, QLatin1Char('0'))
            .arg(start.addSecs(60 * k).toString(QStringLiteral("yyMMddHHmm")))
            .toLatin1();
    };
    RecordFile file{path, lines, 0};
    QByteArray text;
    for (int i = 0; i < lines; ++i) {
        if (i % 50 == 49)
            text += "0112345624131307\r\n";
        else if (i % 3 == 2)
            text += record(file.distinct / 2, 2);
        else
            text += record(file.distinct++, 1);
    }
    writeFile(path, text);
    return file;
}

struct Finished {
    int status = -1;
    QString out;  // stdout and stderr
    qint64 ms = 0;
};

// A gathering machine's import: a host folder of its own (one run at a time works in
// a folder), the shared database, the demo operator who holds the rights.
QProcess* startImport(const TestHome& home, const QString& file, const QString& connection, QObject* parent,
                      int machine = 0) {
    const QString folder = home.file(QStringLiteral("machine%1").arg(machine));
    QDir().mkpath(folder + QStringLiteral("/Source"));
    auto* p = new QProcess(parent);
    p->setProgram(qEnvironmentVariable("TALLYFOLD_BIN_DIR") + QStringLiteral("/tallyfold"));
    p->setArguments({"--home", folder, "--db", connection, "import", file, "--failed", "discard", "--user", DemoUser});
    p->setProcessChannelMode(QProcess::MergedChannels);
    p->start();
    return p;
}

Finished finish(QProcess& p, const QElapsedTimer& since) {
    Finished f;
    if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit)
        return f;
    f.status = p.exitCode();
    f.out = QString::fromUtf8(p.readAll());
    f.ms = since.elapsed();
    return f;
}

qint64 storedIn(const QString& out) {
    static const QRegularExpression sentence(QStringLiteral("数据读取成功,记录总数：\\d+,正确处理记录数： (\\d+)"));
    const auto m = sentence.match(out);
    return m.hasMatch() ? m.captured(1).toLongLong() : -1;
}

QString rowCount(const QString& connection, const QString& what = QStringLiteral("*")) {
    return scalar(connection, QStringLiteral("select count(%1) from Tcon_ConsumeDtl").arg(what));
}

QString distinctCount(const QString& connection) {
    return scalar(connection,
                  QStringLiteral("select count(*) from (select distinct Cardid, datatime from Tcon_ConsumeDtl) d"));
}

bool postgresExpected() {
    return !qEnvironmentVariable("TALLYFOLD_TEST_PG").isEmpty() || qEnvironmentVariable("CI") == QLatin1String("true");
}

// Runs a server script as the test script does: it prints the connection string and leaves its folder's
// name in the file named by PG_THROWAWAY_DIR_FILE.
bool startServers(const QString& script, int timeoutMs, QString& connection, QString& dir) {
    QTemporaryFile dirFile;
    if (!dirFile.open())
        return false;
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PG_THROWAWAY_DIR_FILE"), dirFile.fileName());
    p.setProcessEnvironment(env);
    p.start(QStringLiteral("bash"), {script});
    if (!p.waitForFinished(timeoutMs) || p.exitCode() != 0)
        return false;
    connection = QString::fromUtf8(p.readAllStandardOutput()).trimmed();
    dir = QString::fromUtf8(dirFile.readAll()).trimmed();
    return true;
}

// A PostgreSQL server of this test's own, to stop and start again while the
// shared one keeps serving the other tests; started as the test script does.
class OwnServer {
public:
    bool start() {
        if (!startServers(QStringLiteral(TALLYFOLD_SOURCE_DIR "/scripts/pg-throwaway"), 60000, connection_, dir_))
            return false;
        port_ = QRegularExpression(QStringLiteral("Port=(\\d+)")).match(connection_).captured(1);
        const QStringList bins =
            QDir(QStringLiteral("/usr/lib/postgresql")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        if (!bins.isEmpty())
            pgCtl_ = QStringLiteral("/usr/lib/postgresql/%1/bin/pg_ctl").arg(bins.last());
        return !dir_.isEmpty() && !port_.isEmpty();
    }
    ~OwnServer() {
        if (!dir_.isEmpty())
            QProcess::execute(QStringLiteral("bash"), {QStringLiteral(TALLYFOLD_SOURCE_DIR "/scripts/pg-throwaway"),
                                                       QStringLiteral("stop"), dir_});
    }
    QString connection() const { return connection_; }
    bool stop() { return pgCtl({"-D", dir_ + "/data", "-m", "fast", "-w", "stop"}); }
    bool restart() {
        return pgCtl({"-D", dir_ + "/data", "-l", dir_ + "/server.log", "-w", "-o",
                      QStringLiteral("-p %1 -k %2 -c listen_addresses=127.0.0.1").arg(port_, dir_), "start"});
    }

private:
    bool pgCtl(const QStringList& args) {
        // The server refuses to run as root: the test script runs it as postgres too.
        const int status = geteuid() == 0 ? QProcess::execute(QStringLiteral("runuser"),
                                                              QStringList{"-u", "postgres", "--", pgCtl_} + args)
                                          : QProcess::execute(pgCtl_, args);
        return status == 0;
    }
    QString connection_, dir_, port_, pgCtl_;
};

// A primary and its synchronous standby, started by scripts/pg-standby-pair.
class StandbyPair {
public:
    bool start() {
        return startServers(Script, 120000, connection_, dir_) && !dir_.isEmpty() &&
               connection_.contains(QLatin1Char(','));
    }
    ~StandbyPair() {
        if (!dir_.isEmpty())
            QProcess::execute(QStringLiteral("bash"), {Script, QStringLiteral("stop"), dir_});
    }
    QString connection() const { return connection_; }
    bool failOver() {
        return QProcess::execute(QStringLiteral("bash"), {Script, QStringLiteral("fail-over"), dir_}) == 0;
    }

private:
    static inline const QString Script = QStringLiteral(TALLYFOLD_SOURCE_DIR "/scripts/pg-standby-pair");
    QString connection_, dir_;
};

// A TCP port that takes connections (the kernel does, into the backlog) and never says a word.
class SilentServer {
public:
    SilentServer() : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) == 0 && ::listen(fd_, 16) == 0 &&
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            port_ = ntohs(address.sin_port);
    }
    ~SilentServer() { ::close(fd_); }
    int port() const { return port_; }

private:
    int fd_;
    int port_ = 0;
};

// Stops the server once this many lines were read: mid-file, with batches committed and batches on their way.
class StoppingView : public RecordingView {
public:
    std::function<void()> stopServer;
    int stopAfter = 0;
    bool afterAVerdict = false;  // and once some row has its verdict: batches in flight may all lack one
    bool stopped = false;
    void keepAlive() override {
        RecordingView::keepAlive();
        if (!stopped && pendingEventsProcessed >= stopAfter && (!afterAVerdict || !records.isEmpty())) {
            stopped = true;
            stopServer();
        }
    }
};

}  // namespace

void tst_record_store::concurrentImportsStoreEachRecordOnce() {
    TALLYFOLD_DATABASE_TEST(home, true);
    const RecordFile file = writeRecords(home.file(QStringLiteral("r.txt")), 12000);
    QElapsedTimer clock;
    clock.start();
    QList<QProcess*> runs;
    for (int i = 0; i < 4; ++i)
        runs << startImport(home, file.path, home.connection(), this, i);
    qint64 stored = 0;
    for (QProcess* p : runs) {
        const Finished f = finish(*p, clock);
        QVERIFY2(f.status == 0 || f.status == 3, qPrintable(f.out.right(2000)));  // 3: a bad line failed
        QVERIFY(storedIn(f.out) >= 0);
        stored += storedIn(f.out);
    }
    // Every record once in the table, and counted by exactly the import that stored it.
    QCOMPARE(rowCount(home.connection()), QString::number(file.distinct));
    QCOMPARE(distinctCount(home.connection()), QString::number(file.distinct));
    QCOMPARE(stored, qint64(file.distinct));
}

// One import of `path` through a session loaded as the window loads it.
static Outcome importAsTheWindowDoes(const TestHome& home, const QString& path, RecordingView& view) {
    Mdl_GatherData module;
    module.Pub_DateQuote = QStringLiteral("'");
    GatherSession session(module, home.settings());
    session.createComponents();
    session.times = BusinessDayTimes{QTime(0, 0), QTime(0, 0), QTime(23, 59, 59), {}};  // as read: no day moves
    view.fileToChoose = path;
    return runImport(session, view);
}
void tst_record_store::serverStoppedMidImport() {
    if (!postgresExpected())
        QSKIP("no PostgreSQL for the tests (the test script starts one; CI=true requires it)");
    OwnServer server;
    QVERIFY2(server.start(), "scripts/pg-throwaway could not start a server of the test's own");
    TestHome home(server.connection() + QStringLiteral("Connect Timeout=2;"));
    resetHostDatabase(home.connection());
    const RecordFile file = writeRecords(home.file(QStringLiteral("r.txt")), 30000);
    auto importOnce = [&](RecordingView& v) { return importAsTheWindowDoes(home, file.path, v); };

    // Late enough that batches have committed even when the server counts as far (large batches).
    StoppingView stopped;
    stopped.stopAfter = 26000;
    stopped.stopServer = [&] { QVERIFY(server.stop()); };
    QCOMPARE(importOnce(stopped), Outcome::Trapped);
    QCOMPARE(stopped.boxTexts().size(), 1);
    QVERIFY2(stopped.boxTexts()[0].startsWith(QStringLiteral("出错：The database did not come back within 2 s")),
             qPrintable(stopped.boxTexts()[0]));
    QVERIFY(stopped.statuses.isEmpty());  // no sentence saying the file was read
    const auto counted = QRegularExpression(QStringLiteral("(\\d+) rows stored when the database failed"))
                             .match(stopped.details.value(0));
    QVERIFY2(counted.hasMatch(), qPrintable(stopped.details.value(0)));

    QVERIFY(server.restart());
    releaseSharedConnections();
    QCOMPARE(rowCount(home.connection()), counted.captured(1));
    QVERIFY(counted.captured(1).toInt() > 0);

    // The same file again stores exactly what is missing.
    RecordingView again;
    QCOMPARE(importOnce(again), Outcome::Completed);
    QVERIFY2(again.statuses.last().endsWith(QStringLiteral("记录总数：%1,正确处理记录数： %2")
                                                .arg(file.lines)
                                                .arg(file.distinct - counted.captured(1).toInt())),
             qPrintable(again.statuses.last()));
    QCOMPARE(distinctCount(home.connection()), QString::number(file.distinct));
    QCOMPARE(rowCount(home.connection()), QString::number(file.distinct));
}

// The primary dies mid-file and its synchronous standby takes over: the import carries on
// there, and what it says it stored is what the table holds, every record once. Batches
// whose commit was sent when the primary died are decided by the new primary.
void tst_record_store::primaryFailsOverMidImport() {
    if (!postgresExpected())
        QSKIP("no PostgreSQL for the tests (the test script starts one; CI=true requires it)");
    StandbyPair pair;
    QVERIFY2(pair.start(), "scripts/pg-standby-pair could not start a primary and a standby");
    TestHome home(pair.connection() + QStringLiteral("Connect Timeout=20;"));
    resetHostDatabase(home.connection());
    const RecordFile file = writeRecords(home.file(QStringLiteral("r.txt")), 30000);

    StoppingView failing;
    failing.stopAfter = 15000;
    failing.stopServer = [&] { QVERIFY(pair.failOver()); };
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(importAsTheWindowDoes(home, file.path, failing), Outcome::Completed);
    QVERIFY2(clock.elapsed() < 60000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(!failing.statuses.isEmpty());
    QVERIFY2(failing.statuses.last().endsWith(
                 QStringLiteral("记录总数：%1,正确处理记录数： %2").arg(file.lines).arg(file.distinct)),
             qPrintable(failing.statuses.last()));
    releaseSharedConnections();
    QCOMPARE(rowCount(home.connection()), QString::number(file.distinct));
    QCOMPARE(distinctCount(home.connection()), QString::number(file.distinct));
    QCOMPARE(scalar(home.connection(), QStringLiteral("select pg_is_in_recovery()::int")), QStringLiteral("0"));
}

// Backends that stop dead (SIGSTOP) mid-file, with their locks held: the import ends
// Command Timeout and a few seconds later, not once per statement that waits for them.
namespace {
// The client backends but the asking one's own session, whose pids `each` is given.
int otherClientBackends(const QString& connection, const std::function<void(pid_t)>& each = {}) {
    auto probe = std::make_shared<Connection>(connection);
    probe->Open();
    Recordset rs;
    rs.Open(QStringLiteral("select pid from pg_stat_activity where backend_type = 'client backend' "
                           "and pid <> pg_backend_pid()"),
            probe);
    for (; !rs.Eof(); rs.MoveNext())
        if (each)
            each(pid_t(rs.Fields(QStringLiteral("pid")).toText().toInt()));
    return int(rs.RecordCount());
}
}  // namespace

// The server commits the last batch and its answers never come back: after the cut, the
// server says that it committed, and the rows it inserted count as stored, once.
void tst_record_store::commitAnswerLost_data() {
    QTest::addColumn<bool>("witnessed");
    QTest::addColumn<int>("lines");
    // Without the witness table a batch's COMMIT waits for its transaction id; with it, batches
    // go without waiting, so that several are in flight when the answers stop.
    QTest::newRow("transaction id awaited") << false << 3000;
    QTest::newRow("batches in flight, witnessed") << true << 12000;
}

void tst_record_store::commitAnswerLost() {
    QFETCH(bool, witnessed);
    QFETCH(int, lines);
    if (!postgresExpected())
        QSKIP("no PostgreSQL for the tests (the test script starts one; CI=true requires it)");
    OwnServer server;
    QVERIFY2(server.start(), "scripts/pg-throwaway could not start a server of the test's own");
    const QString port = QRegularExpression(QStringLiteral("Port=(\\d+)")).match(server.connection()).captured(1);
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const QString relay = QString::number(probe.serverPort());
    probe.close();
    QProcess proxy;
    proxy.start(QDir(qEnvironmentVariable("TALLYFOLD_BIN_DIR")).filePath(QStringLiteral("tallyfold-delay-proxy")),
                {relay, QStringLiteral("127.0.0.1"), port, QStringLiteral("--one-way-ms"), QStringLiteral("5"),
                 QStringLiteral("--mute-on"), QStringLiteral("COMMIT")});
    QVERIFY(proxy.waitForReadyRead(10000) && proxy.readLine().startsWith("ready"));
    const auto stopProxy = qScopeGuard([&] {
        proxy.kill();
        proxy.waitForFinished();
    });
    TestHome home(
        QString(server.connection()).replace(QStringLiteral("Port=") + port, QStringLiteral("Port=") + relay) +
        QStringLiteral("Connect Timeout=5;"));
    resetHostDatabase(server.connection());
    execute(server.connection(),
            witnessed ? WitnessTableDefinition : QStringLiteral("DROP TABLE IF EXISTS Tallyfold_BatchWitness"));
    const RecordFile file = writeRecords(home.file(QStringLiteral("r.txt")), lines);
    RecordingView view;
    QCOMPARE(importAsTheWindowDoes(home, file.path, view), Outcome::Completed);
    QVERIFY2(view.statuses.last().endsWith(
                 QStringLiteral("记录总数：%1,正确处理记录数： %2").arg(file.lines).arg(file.distinct)),
             qPrintable(view.statuses.last()));
    releaseSharedConnections();
    QCOMPARE(rowCount(server.connection()), QString::number(file.distinct));
}

void tst_record_store::frozenServerEndsInTime() {
    if (!postgresExpected())
        QSKIP("no PostgreSQL for the tests (the test script starts one; CI=true requires it)");
    if (geteuid() != 0)
        QSKIP("stopping the server's backends takes root: they run as the postgres user");
    OwnServer server;
    QVERIFY2(server.start(), "scripts/pg-throwaway could not start a server of the test's own");
    // Connect Timeout bounds the waits after the cut, the settling of a COMMIT on its way included.
    TestHome home(server.connection() + QStringLiteral("Command Timeout=3;Connect Timeout=5;"));
    resetHostDatabase(home.connection());
    const RecordFile file = writeRecords(home.file(QStringLiteral("r.txt")), 30000);
    std::vector<pid_t> frozen;
    auto thaw = qScopeGuard([&] {
        for (pid_t pid : std::exchange(frozen, {}))
            ::kill(pid, SIGCONT);
    });
    QElapsedTimer sinceFrozen;
    StoppingView view;
    view.stopAfter = 20000;
    view.afterAVerdict = true;
    view.stopServer = [&] {
        otherClientBackends(server.connection(), [&](pid_t pid) { frozen.push_back(pid); });
        for (pid_t pid : frozen)
            QCOMPARE(::kill(pid, SIGSTOP), 0);
        sinceFrozen.start();
    };
    auto importOnce = [&](RecordingView& v) { return importAsTheWindowDoes(home, file.path, v); };
    QCOMPARE(importOnce(view), Outcome::Trapped);
    const qint64 ms = sinceFrozen.elapsed();
    thaw.dismiss();
    for (pid_t pid : std::exchange(frozen, {}))
        ::kill(pid, SIGCONT);
    QVERIFY(sinceFrozen.isValid());
    // The README's bound: Command Timeout + Connect Timeout + 2 s after the database's last answer.
    QVERIFY2(ms < 3000 + 5000 + 2000, qPrintable(QString::number(ms)));
    // Our watchdog usually speaks first. When the waiting statement runs in a backend that was not frozen
    // (blocked behind a frozen one), the server's own statement timeout, the same 3 s, can speak before it.
    // On a loaded machine the connection's bound can end it instead: Connect Timeout spent on reconnecting.
    const QString box = view.boxTexts().value(0);
    const QRegularExpression eitherBound(
        QStringLiteral("^出错：The database did not (answer within Command Timeout "
                       "\\(3 s\\)|come back within (Connect Timeout \\()?5 s)"));
    QVERIFY2(eitherBound.match(box).hasMatch() || box.contains(QStringLiteral("statement timeout")), qPrintable(box));
    const auto counted =
        QRegularExpression(QStringLiteral("(\\d+) rows stored when the database failed")).match(view.details.value(0));
    QVERIFY2(counted.hasMatch() && counted.captured(1).toInt() > 0, qPrintable(view.details.value(0)));

    // Thawed, the server holds at least what was counted; the same file again completes it, each record once.
    // The thawed backends still hold their cancelled transactions' locks until they notice the closed socket,
    // which on a slow build takes longer than the next run's Command Timeout: ended as an administrator would.
    releaseSharedConnections();
    otherClientBackends(server.connection(), [](pid_t pid) { ::kill(pid, SIGTERM); });
    QTRY_VERIFY_WITH_TIMEOUT(otherClientBackends(server.connection()) == 0, 60000);
    QVERIFY(rowCount(home.connection()).toInt() >= counted.captured(1).toInt());
    RecordingView again;
    QCOMPARE(importOnce(again), Outcome::Completed);
    QCOMPARE(rowCount(home.connection()), QString::number(file.distinct));
    QCOMPARE(distinctCount(home.connection()), QString::number(file.distinct));
}

void tst_record_store::databaseTakesNoRows_data() {
    QTest::addColumn<QString>("situation");
    QTest::addColumn<QString>("says");  // what the database's own message holds
    QTest::newRow("sqlite file read-only") << "read-only"
                                           << "readonly database";
    QTest::newRow("sqlite locked past Command Timeout") << "locked"
                                                        << "database is locked";
    if (geteuid() == 0)
        QTest::newRow("sqlite disk full") << "full"
                                          << "database or disk is full";
    QTest::newRow("server that never answers") << "silent"
                                               << "timeout expired";
    if (postgresExpected())
        QTest::newRow("postgresql role without insert") << "no insert"
                                                        << "permission denied";
}

// Each ends with exit status 1 and the database's reason, soon, and never says the file was read.
void tst_record_store::databaseTakesNoRows() {
    QFETCH(QString, situation);
    QFETCH(QString, says);
    const bool postgres = situation == QLatin1String("no insert");
    if (postgres && !requireBackend(QStringLiteral("postgresql")))
        return;
    TestHome home(postgres ? QStringLiteral("postgresql") : QStringLiteral("sqlite"));
    resetHostDatabase(home.connection(), true);
    QString connection = home.connection() + QStringLiteral("Connect Timeout=2;Command Timeout=1;");
    const QString db = home.file(QStringLiteral("Database/test.db"));
    std::function<void()> undo = [] {};
    QSqlDatabase lockHolder;
    std::optional<SilentServer> silent;
    if (situation == QLatin1String("read-only")) {
        releaseSharedConnections();
        // Root writes to any file whose mode says read-only; an immutable file it cannot write either.
        QVERIFY(QProcess::execute(geteuid() == 0 ? QStringLiteral("chattr") : QStringLiteral("chmod"),
                                  {geteuid() == 0 ? QStringLiteral("+i") : QStringLiteral("0444"), db}) == 0);
        undo = [db] { QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), db}); };
    } else if (situation == QLatin1String("locked")) {
        lockHolder = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("other program"));
        lockHolder.setDatabaseName(db);
        QVERIFY(lockHolder.open());
        QVERIFY(QSqlQuery(lockHolder).exec(QStringLiteral("begin immediate")));
    } else if (situation == QLatin1String("full")) {
        releaseSharedConnections();
        const QString small = home.file(QStringLiteral("Small"));
        QDir().mkpath(small);
        QCOMPARE(QProcess::execute(QStringLiteral("mount"), {"-t", "tmpfs", "-o", "size=1m", "tmpfs", small}), 0);
        undo = [small] { QProcess::execute(QStringLiteral("umount"), {small}); };
        connection = QStringLiteral("Provider=SQLite;Data Source=%1/full.db;Connect Timeout=2;").arg(small);
        Connection c(connection);
        c.Open();
        createHostSchema(c);
        addDemoData(c);
        c.Close();
        // Room for a few batches, not for the file.
        QFile filler(small + QStringLiteral("/filler"));
        QVERIFY(filler.open(QIODevice::WriteOnly));
        filler.write(QByteArray(1024 * 1024 - 400 * 1024, 'x'));
        filler.close();
    } else if (situation == QLatin1String("silent")) {
        silent.emplace();
        QVERIFY(silent->port() > 0);
        connection =
            QStringLiteral("Provider=PostgreSQL;Host=127.0.0.1;Port=%1;Database=x;User ID=x;Connect Timeout=2;")
                .arg(silent->port());
    } else if (postgres) {
        const QString role = QStringLiteral("tf_reader_%1").arg(QCoreApplication::applicationPid());
        execute(home.connection(), QStringLiteral("drop role if exists ") + role);
        execute(home.connection(), QStringLiteral("create role ") + role + QStringLiteral(" login"));
        execute(home.connection(), QStringLiteral("grant select on all tables in schema public to ") + role);
        connection =
            QString(home.connection()).replace(QStringLiteral("User ID=postgres"), QStringLiteral("User ID=") + role) +
            QStringLiteral("Connect Timeout=2;");
        const QString admin = home.connection();
        undo = [admin, role] {
            execute(admin, QStringLiteral("drop owned by ") + role);
            execute(admin, QStringLiteral("drop role ") + role);
        };
    }
    const RecordFile file = writeRecords(home.file(QStringLiteral("r.txt")), 20000);
    QElapsedTimer clock;
    clock.start();
    QProcess* run = startImport(home, file.path, connection, this);
    const Finished f = finish(*run, clock);
    undo();
    if (lockHolder.isOpen()) {
        lockHolder.close();
        lockHolder = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("other program"));
    }
    QCOMPARE(f.status, 1);
    // The listed rows would bury the reason.
    const QString told = f.out.split(QLatin1Char('\n'))
                             .filter(QRegularExpression(QStringLiteral("^(?!record\t)")))
                             .join(QLatin1Char('\n'));
    QVERIFY2(f.out.contains(says, Qt::CaseInsensitive), qPrintable(told.right(2000)));
    QVERIFY(!f.out.contains(QStringLiteral("数据读取成功")));
    QVERIFY2(f.ms < 20000, qPrintable(QString::number(f.ms)));
}

QTEST_GUILESS_MAIN(tst_record_store)
#include "tst_record_store.moc"
