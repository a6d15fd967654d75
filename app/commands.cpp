#include "commands.h"

#include "command_line.h"
#include "entry/builtin_components.h"
#include "outside/component_registry.h"
#include "outside/database_tool.h"
#include "outside/host_schema.h"
#include "platform/ansi_text_reader.h"
#include "platform/error.h"
#include "platform/log_categories.h"
#include "records/mdl_gather_data.h"
#include "records/operations.h"
#include "records/terminal_list.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLockFile>
#include <QProcess>
#include <QSqlError>
#include <QSqlQuery>
#include <cerrno>
#include <cstring>

namespace tallyfold {

namespace {

// The command refused or could not run what was asked; the text says why (exit status 1).
struct CommandFailure {
    QString text;
};

const QString SystemName = QStringLiteral("考勤系统");

QString systemError(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// What the operator's name defaults to: the account the command runs as, as the log should show it.
QString loginName() {
    if (const passwd* entry = getpwuid(geteuid()))
        return QString::fromLocal8Bit(entry->pw_name);
    return qEnvironmentVariable("USER");
}

// Why a path cannot be read and written, in the system's words; empty when it can.
QString accessProblem(const QString& path, int mode) {
    if (::access(QFile::encodeName(path).constData(), mode) == 0)
        return QString();
    return systemError(errno);
}

// Names the database and, for a file, what keeps it from opening (after a root
// install a normal user otherwise only reads "unable to open database file").
QString cannotOpenDatabase(const HostSettings& settings, const Error& e) {
    const QString cs = settings.configuredConnectionString();
    const ConnectionString parsed(cs);
    if (providerKind(parsed) != ProviderKind::SQLite)
        return QStringLiteral("cannot open the database %1: %2").arg(maskedConnectionString(cs), e.description());
    const QString file = QFileInfo(parsed.value(QStringLiteral("Data Source"))).absoluteFilePath();
    const QString folder = QFileInfo(file).absolutePath();
    QString problem;
    // The journal is written beside the file, so its folder must be writable too.
    if (::access(QFile::encodeName(folder).constData(), W_OK | X_OK) != 0) {
        const int error = errno;
        problem = error == ENOENT ? QStringLiteral("no folder ") + folder
                                  : QStringLiteral("its folder: ") + systemError(error);
    } else if (QFileInfo::exists(file))
        problem = accessProblem(file, R_OK | W_OK);
    if (!problem.isEmpty())
        problem = QStringLiteral(" (") + problem + QLatin1Char(')');
    return QStringLiteral("cannot open the database %1%2: %3").arg(file, problem, e.description());
}

struct Summary {
    QString operation;
    FieldValue terminal = nullptr;
    qint64 read = 0;
    std::optional<qint64> stored = 0;
    qint64 errors = 0;
    double seconds = 0;
    QString outcome = QStringLiteral("completed");
    QString reason;

    int exitStatus() const {
        if (outcome != QLatin1String("completed"))
            return 1;
        return errors > 0 ? 3 : 0;
    }
};

// 1 outranks 3, which outranks 0.
int worse(int a, int b) {
    auto rank = [](int status) { return status == 1 ? 2 : status == 3 ? 1 : status == 0 ? 0 : 3; };
    return rank(a) >= rank(b) ? a : b;
}

void writeSummary(Console& console, const Summary& s) {
    console.endProgress();
    const FieldValue stored = s.stored ? FieldValue(*s.stored) : FieldValue(nullptr);
    const FieldValue duplicates =
        s.stored ? FieldValue(std::max<qint64>(0, s.read - *s.stored - s.errors)) : FieldValue(nullptr);
    console.event(QStringLiteral("summary"),
                  {{"operation", s.operation},
                   {"terminal", s.terminal},
                   {"read", s.read},
                   {"stored", stored},
                   {"duplicates", duplicates},
                   {"errors", s.errors},
                   {"seconds", s.seconds},
                   {"outcome", s.outcome},
                   {"reason", s.reason.isEmpty() ? FieldValue(nullptr) : FieldValue(s.reason)}});
}

QString outcomeName(Outcome outcome) {
    switch (outcome) {
    case Outcome::Completed:
        return QStringLiteral("completed");
    case Outcome::DeviceFailed:
        return QStringLiteral("device-failed");
    case Outcome::Refused:
        return QStringLiteral("refused");
    case Outcome::Cancelled:
        return QStringLiteral("cancelled");
    case Outcome::Trapped:
        return QStringLiteral("trapped");
    }
    return QStringLiteral("failed");
}

// Log messages of tallyfold.* become detail events of the run (stderr with --quiet); the rest go on as before.
Console* routedConsole = nullptr;
QtMessageHandler previousHandler = nullptr;

void routeMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    const QLatin1StringView category(context.category ? context.category : "");
    if (!routedConsole || !category.startsWith(QLatin1StringView("tallyfold."))) {
        if (previousHandler)
            previousHandler(type, context, text);
        return;
    }
    if (routedConsole->quiet) {
        routedConsole->error(category + QStringLiteral(": ") + text);
        return;
    }
    const char* level = type == QtDebugMsg ? "debug" : type == QtInfoMsg ? "info" : "warning";
    routedConsole->event(QStringLiteral("detail"),
                         {{"text", text}, {"category", QString(category)}, {"level", QString::fromLatin1(level)}});
}

struct MessageRoute {
    explicit MessageRoute(Console& console) {
        routedConsole = &console;
        previousHandler = qInstallMessageHandler(routeMessage);
    }
    ~MessageRoute() {
        qInstallMessageHandler(previousHandler);
        routedConsole = nullptr;
    }
    MessageRoute(const MessageRoute&) = delete;
    MessageRoute& operator=(const MessageRoute&) = delete;
};

// Only one gather, import, clear or link test at a time works in a host folder
// (the timer's gather and an operator's import, say).
class HostLock {
public:
    explicit HostLock(const QString& folder) : file_(folder + QStringLiteral("/tallyfold.lock")) {
        // A lock counts as stale only when its process is gone: a gather may take many minutes.
        file_.setStaleLockTime(0);
        if (file_.tryLock(0))
            return;
        const QString path = folder + QStringLiteral("/tallyfold.lock");
        qint64 pid = 0;
        QString host, app;
        switch (file_.error()) {
        case QLockFile::LockFailedError:
            file_.getLockInfo(&pid, &host, &app);
            throw CommandFailure{
                QStringLiteral("another tallyfold (process %1) is working in %2; try again when it has finished")
                    .arg(pid)
                    .arg(folder)};
        case QLockFile::PermissionError:
            throw CommandFailure{QStringLiteral("cannot create the lock file %1: %2").arg(path, systemError(EACCES))};
        default:
            throw CommandFailure{QStringLiteral("cannot create the lock file %1").arg(path)};
        }
    }

private:
    QLockFile file_;
};

// One command line: its options, the host folder and database it names, the
// operator it acts for and the shared variables of its one session.
struct Run {
    Console& console;
    const Invocation& invocation;
    HostSettings settings;
    Mdl_GatherData module;
    QString user;
    QString caption;

    bool has(const char* name) const { return invocation.isSet(QString::fromLatin1(name)); }
    QString value(const char* name) const { return invocation.value(QString::fromLatin1(name)); }
};

// What ShowA and the window's load do, without widgets: the shared variables, the
// components, the first listed terminal made current, the time parameters.
std::vector<TerminalRow> loadSession(Run& run, GatherSession& session, ConsoleView& view, bool withTimes = true) {
    try {
        enterOperator(session.module, Variant(run.user), Variant(run.caption));
        session.createComponents();
    } catch (const Error& e) {
        throw CommandFailure{cannotOpenDatabase(run.settings, e)};
    }
    std::vector<TerminalRow> rows = readTerminalRows(*session.DbTool);
    makeFirstCurrent(session.module, rows);
    if (withTimes)
        getTimeBZBE(*session.DbTool, session.times, view);
    session.loadFinished();
    return rows;
}

// The rights the window checks when it loads; the command checks the one its operation needs.
void requireRight(GatherSession& session, const char* suffix, const QString& operation) {
    Mdl_GatherData& module = session.module;
    const QString function = module.Pub_Caption + QString::fromUtf8(suffix);
    const QString user = module.Pub_UserName;
    Variant granted;
    try {
        std::shared_ptr<Connection> connection = session.DbTool->ActiveCn();
        auto auth = createComponent<PermissionAuth>(progid::Permission);
        granted = auth->CheckPermission(connection, SystemName, module.Pub_UserName, Variant(), function, true, true);
    } catch (const Error& e) {
        // A command runs unattended: a right that cannot be checked is not granted.
        throw CommandFailure{QStringLiteral("the rights of %1 could not be checked: %2").arg(user, e.description())};
    }
    if (granted.equalsFalse())
        throw CommandFailure{QStringLiteral("%1 lacks the right %2 (%3) that %4 needs")
                                 .arg(user.isEmpty() ? QStringLiteral("\"\"") : user, function, SystemName, operation)};
    qCDebug(lcOps).noquote() << user << "holds" << function;
}

// --machine: the terminal the window's list would show, by its address.
void chooseMachine(GatherSession& session, ConsoleView& view, const std::vector<TerminalRow>& rows,
                   const QString& machine) {
    CurrentTerminal terminal;
    try {
        terminal = lookUpTerminal(*session.DbTool, Variant(machine));
    } catch (const Error& e) {
        if (e.number() == errc::NoCurrentRecord)
            throw CommandFailure{QStringLiteral("no terminal ") + machine};
        throw CommandFailure{QStringLiteral("terminal ") + machine + QStringLiteral(": ") + e.description()};
    }
    const bool listed = std::any_of(rows.begin(), rows.end(),
                                    [&](const TerminalRow& row) { return row.machAddr == terminal.machAddr; });
    if (!listed)
        throw CommandFailure{
            QStringLiteral("terminal %1 is not a count-type terminal (see tallyfold terminals)").arg(machine)};
    makeCurrent(session.module, terminal);
    view.setStatus(currentTerminalStatus(session.module));
}

// When a run at the terminal failed and nothing below said why: the device link's own reason.
void explainFailure(Run& run, const GatherSession& session, bool writesSource) {
    const DeviceFault fault = session.Device ? session.Device->lastError() : DeviceFault{};
    if (fault.code != DeviceError::None) {
        QString text = fault.text;
        if (!fault.osReason.isEmpty() && !text.contains(fault.osReason))
            text += QStringLiteral(": ") + fault.osReason;
        run.console.event(QStringLiteral("detail"), {{"text", text}});
    }
    const QString source = QFileInfo(session.host.sourceRecordFile()).absolutePath();
    if (writesSource && !QFileInfo(source).isDir())
        run.console.event(
            QStringLiteral("detail"),
            {{"text", QStringLiteral("no folder %1: the terminal's records are written there").arg(source)}});
}

std::optional<qint64> storedRows(GatherSession& session) {
    QSqlQuery query(session.Conn->database());
    if (!query.exec(QStringLiteral("select count(*) from Tcon_ConsumeDtl")) || !query.next()) {
        qCWarning(lcDb) << "cannot count the rows of Tcon_ConsumeDtl:" << query.lastError().text();
        return std::nullopt;
    }
    return query.value(0).toLongLong();
}

qint64 linesIn(const QString& path) {
    AnsiTextReader reader(path);
    qint64 lines = 0;
    while (!reader.atEndOfStream()) {
        reader.readLine();
        ++lines;
    }
    return lines;
}

// Runs one operation and sums it up. Until the operations hand over their counters
// (setTotals), stored rows are counted in the table and lines read in the file.
Summary measured(Run& run, GatherSession& session, ConsoleView& view, const QString& operation,
                 const QString& recordFile, const std::function<Outcome()>& body) {
    Summary s;
    s.operation = operation;
    const bool atTerminal = operation != QLatin1String("import");
    if (atTerminal)
        s.terminal = session.module.Pub_MachAddr.toText();
    view.tally = {};
    const std::optional<qint64> before = recordFile.isEmpty() ? std::optional<qint64>(0) : storedRows(session);
    const qint64 detailsBefore = run.console.detailsWritten();
    QElapsedTimer timer;
    timer.start();
    const Outcome outcome = body();
    s.seconds = timer.elapsed() / 1000.0;
    s.outcome = outcomeName(outcome);
    s.errors = view.tally.failed;
    if (const std::optional<LineCounters>& totals = view.tally.totals) {
        s.read = totals->read;
        s.stored = totals->stored;
        s.errors = totals->errors;
    } else if (!recordFile.isEmpty()) {
        const std::optional<qint64> after = storedRows(session);
        s.stored = before && after ? std::optional<qint64>(*after - *before) : std::nullopt;
        s.read = outcome == Outcome::Completed && QFileInfo(recordFile).isFile()
                     ? linesIn(recordFile)
                     : view.tally.records + view.tally.failed;
    }
    if (atTerminal && outcome != Outcome::Completed && run.console.detailsWritten() == detailsBefore)
        explainFailure(run, session, operation == QLatin1String("gather"));
    run.console.endProgress();
    return s;
}

int commandShow(Run& run) {
    const QString program = QCoreApplication::applicationDirPath() + QStringLiteral("/tallyfold-show");
    QStringList args{QStringLiteral("--user"), run.user, QStringLiteral("--caption"), run.caption};
    if (run.has("screenshot"))
        args << QStringLiteral("--screenshot") << run.value("screenshot");
    // The window is reached as a host reaches it, and a host names its folder and database this way.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TALLYFOLD_HOME"), run.settings.folder());
    if (!run.settings.connectionString.isEmpty())
        environment.insert(QStringLiteral("TALLYFOLD_CONNECTION"), run.settings.connectionString);
    QProcess host;
    host.setProcessEnvironment(environment);
    host.setProcessChannelMode(QProcess::ForwardedChannels);
    host.setInputChannelMode(QProcess::ForwardedInputChannel);
    host.start(program, args);
    if (!host.waitForStarted())
        throw CommandFailure{program + QStringLiteral(": ") + host.errorString()};
    host.waitForFinished(-1);  // as long as the operator keeps the window open
    return host.exitStatus() == QProcess::NormalExit ? host.exitCode() : 1;
}

void grantRights(Run& run, Connection& connection, const QString& user) {
    for (const char* suffix : {".测试", ".操作", ".读取"}) {
        const QString function = run.caption + QString::fromUtf8(suffix);
        QSqlQuery query(connection.database());
        query.prepare(
            QStringLiteral("select count(*) from UserPermission where UserName=? and SystemName=? and FunctionName=?"));
        query.addBindValue(user);
        query.addBindValue(SystemName);
        query.addBindValue(function);
        if (!query.exec() || !query.next())
            throw CommandFailure{QStringLiteral("cannot read the rights: ") + query.lastError().text()};
        if (query.value(0).toLongLong() == 0) {
            query.prepare(
                QStringLiteral("insert into UserPermission (UserName, SystemName, FunctionName) values (?, ?, ?)"));
            query.addBindValue(user);
            query.addBindValue(SystemName);
            query.addBindValue(function);
            if (!query.exec())
                throw CommandFailure{QStringLiteral("cannot grant the rights: ") + query.lastError().text()};
        }
        run.console.event(QStringLiteral("granted"), {{"user", user}, {"function", function}});
    }
}

bool sharedFolder(const QString& folder) {
    struct stat status {};
    return ::stat(QFile::encodeName(folder).constData(), &status) == 0 && (status.st_mode & S_ISGID);
}

// SQLite creates its file without group write whatever the umask, and its
// journals copy that; in a folder shared by a group the group must write it too.
void shareWithGroup(const HostSettings& settings, const QString& cs) {
    const ConnectionString parsed(cs);
    const QString file = parsed.value(QStringLiteral("Data Source"));
    if (providerKind(parsed) != ProviderKind::SQLite || !sharedFolder(settings.folder()))
        return;
    QFile::setPermissions(file, QFile::permissions(file) | QFileDevice::ReadGroup | QFileDevice::WriteGroup);
}

int commandInitDb(Run& run) {
    const QString folder = run.settings.folder();
    for (const QString& dir : QStringList{folder, folder + QStringLiteral("/Source"),
                                          folder + QStringLiteral("/Database"), folder + QStringLiteral("/Config")}) {
        if (QFileInfo(dir).isDir())
            continue;
        if (!QDir().mkpath(dir))
            throw CommandFailure{QStringLiteral("cannot create the folder %1: %2").arg(dir, systemError(errno))};
        run.console.event(QStringLiteral("created"), {{"path", dir}});
    }
    const QString cs = run.settings.configuredConnectionString();
    std::shared_ptr<Connection> connection;
    try {
        connection = sharedConnection(cs, cs == run.settings.embeddedConnectionString());
    } catch (const Error& e) {
        throw CommandFailure{cannotOpenDatabase(run.settings, e)};
    }
    createHostSchema(*connection);
    shareWithGroup(run.settings, cs);
    if (run.has("demo"))
        addDemoData(*connection);
    if (run.has("grant"))
        grantRights(run, *connection, run.value("grant"));
    run.console.event(QStringLiteral("database"), {{"connection", maskedConnectionString(cs)}});
    return 0;
}

int commandTerminals(Run& run) {
    ConsoleView view(run.console);
    GatherSession session(run.module, run.settings);
    const std::vector<TerminalRow> rows = loadSession(run, session, view, false);
    const Variant current = session.module.Pub_MachAddr;
    for (const TerminalRow& row : rows)
        run.console.event(QStringLiteral("terminal"), {{"address", row.machAddr.toText()},
                                                       {"port", row.comText},
                                                       {"version", row.verText},
                                                       {"team", row.teamText},
                                                       {"current", row.machAddr == current}});
    return 0;
}

bool failedShown(const Run& run) {
    const QString mode = run.value("failed");
    if (mode.isEmpty() || mode == QLatin1String("show"))
        return true;
    if (mode == QLatin1String("discard"))
        return false;
    throw UsageError{QStringLiteral("--failed takes show or discard"), run.invocation.command};
}

int commandImport(Run& run) {
    ConsoleView view(run.console);
    view.showFailed = failedShown(run);
    view.fileToChoose = QFileInfo(run.invocation.arguments.first()).absoluteFilePath();
    GatherSession session(run.module, run.settings);
    loadSession(run, session, view);
    requireRight(session, ".读取", QStringLiteral("import"));
    HostLock lock(run.settings.folder());
    const Summary s = measured(run, session, view, QStringLiteral("import"), view.fileToChoose,
                               [&] { return runImport(session, view); });
    writeSummary(run.console, s);
    return s.exitStatus();
}

int commandGather(Run& run) {
    ConsoleView view(run.console);
    view.showFailed = failedShown(run);
    const bool all = run.has("all");
    if (all && run.has("machine"))
        throw UsageError{QStringLiteral("--machine and --all exclude each other"), run.invocation.command};
    GatherOptions options;
    options.editTime = run.has("set-clock") ? 1 : 0;
    options.get = run.has("no-get") ? 0 : 1;
    options.save = run.has("no-save") ? 0 : 1;
    options.thenClear = run.has("then-clear");
    GatherSession session(run.module, run.settings);
    const std::vector<TerminalRow> rows = loadSession(run, session, view);
    requireRight(session, ".操作", QStringLiteral("gather"));
    HostLock lock(run.settings.folder());
    const QString source = options.get == 1 ? session.host.sourceRecordFile() : QString();
    auto gatherCurrent = [&] {
        return measured(run, session, view, QStringLiteral("gather"), source,
                        [&] { return runGather(session, view, options); });
    };
    if (!all) {
        if (run.has("machine"))
            chooseMachine(session, view, rows, run.value("machine"));
        const Summary s = gatherCurrent();
        writeSummary(run.console, s);
        return s.exitStatus();
    }
    Summary total;
    total.operation = QStringLiteral("gather");
    int status = 0;
    for (const TerminalRow& row : rows) {
        chooseMachine(session, view, rows, row.machAddr.toText());
        const Summary s = gatherCurrent();
        writeSummary(run.console, s);
        status = worse(status, s.exitStatus());
        total.read += s.read;
        total.stored = total.stored && s.stored ? std::optional<qint64>(*total.stored + *s.stored) : std::nullopt;
        total.errors += s.errors;
        total.seconds += s.seconds;
        if (s.exitStatus() == 1)
            total.outcome = s.outcome;
    }
    writeSummary(run.console, total);
    return status;
}

int commandClear(Run& run) {
    ConsoleView view(run.console);
    view.confirm = run.has("yes");
    if (!view.confirm)
        throw UsageError{QStringLiteral("clear erases the terminal's records: confirm with --yes"),
                         run.invocation.command};
    GatherSession session(run.module, run.settings);
    const std::vector<TerminalRow> rows = loadSession(run, session, view);
    requireRight(session, ".操作", QStringLiteral("clear"));
    HostLock lock(run.settings.folder());
    if (run.has("machine"))
        chooseMachine(session, view, rows, run.value("machine"));
    const Summary s =
        measured(run, session, view, QStringLiteral("clear"), QString(), [&] { return runClear(session, view); });
    writeSummary(run.console, s);
    return s.exitStatus();
}

int commandTestLink(Run& run) {
    ConsoleView view(run.console);
    GatherSession session(run.module, run.settings);
    const std::vector<TerminalRow> rows = loadSession(run, session, view);
    requireRight(session, ".测试", QStringLiteral("test-link"));
    HostLock lock(run.settings.folder());
    if (run.has("machine"))
        chooseMachine(session, view, rows, run.value("machine"));
    const Summary s = measured(run, session, view, QStringLiteral("test-link"), QString(),
                               [&] { return runLinkTest(session, view); });
    writeSummary(run.console, s);
    return s.exitStatus();
}

int commandHelp(Run& run) {
    const QStringList& topic = run.invocation.arguments;
    if (topic.isEmpty()) {
        run.console.plain(overviewHelp());
    } else if (topic.first() == QLatin1String("output")) {
        run.console.plain(outputHelp());
    } else if (const CommandSpec* command = findCommand(topic.first())) {
        run.console.plain(commandHelp(*command));
    } else {
        throw UsageError{QStringLiteral("no help on \"") + topic.first() + QLatin1Char('"'), QStringLiteral("help")};
    }
    return 0;
}

HostSettings settingsFor(const Invocation& invocation) {
    HostSettings settings = hostSettingsFromEnvironment();
    if (invocation.isSet(QStringLiteral("home")))
        settings.home = QDir(invocation.value(QStringLiteral("home"))).absolutePath();
    if (invocation.isSet(QStringLiteral("db")))
        settings.connectionString = invocation.value(QStringLiteral("db"));
#ifdef TALLYFOLD_DEFAULT_HOME
    // Installed under /usr the parent of the program's folder is no host folder.
    if (settings.home.isEmpty())
        settings.home = QStringLiteral(TALLYFOLD_DEFAULT_HOME);
#endif
    return settings;
}

int dispatch(Run& run) {
    const QString& command = run.invocation.command;
    if (command == QLatin1String("help"))
        return commandHelp(run);
    const QString folder = run.settings.folder();
    if (command != QLatin1String("init-db") && !QFileInfo(folder).isDir()) {
        const int error = ::access(QFile::encodeName(folder).constData(), F_OK) == 0 ? 0 : errno;
        if (error != 0 && error != ENOENT)
            throw CommandFailure{QStringLiteral("cannot reach the host folder %1: %2").arg(folder, systemError(error))};
        throw CommandFailure{
            QStringLiteral("no host folder %1 (tallyfold init-db creates one; --home names another)").arg(folder)};
    }
    // A host folder shared by a group (set-group-ID, as the package makes it): what the
    // command creates there stays writable for the service and the other members.
    if (sharedFolder(folder))
        ::umask(::umask(0) & ~S_IRWXG);
    qCDebug(lcOps).noquote() << "host folder" << folder << "database"
                             << maskedConnectionString(run.settings.configuredConnectionString()) << "operator"
                             << run.user << "caption" << run.caption;
    // Opening a SQLite file that is not there would create an empty database, quietly; only init-db creates.
    // A file that cannot be looked at (a folder of another group) is not missing: opening it says why.
    const ConnectionString database(run.settings.configuredConnectionString());
    const QString databaseFile = QFileInfo(database.value(QStringLiteral("Data Source"))).absoluteFilePath();
    if (command != QLatin1String("init-db") && command != QLatin1String("show") &&
        providerKind(database) == ProviderKind::SQLite &&
        ::access(QFile::encodeName(databaseFile).constData(), F_OK) != 0 && errno == ENOENT)
        throw CommandFailure{QStringLiteral("no database %1 (tallyfold init-db creates it)").arg(databaseFile)};
    registerBuiltinComponents(run.settings);
    if (command == QLatin1String("show"))
        return commandShow(run);
    if (command == QLatin1String("init-db"))
        return commandInitDb(run);
    if (command == QLatin1String("terminals"))
        return commandTerminals(run);
    if (command == QLatin1String("import"))
        return commandImport(run);
    if (command == QLatin1String("gather"))
        return commandGather(run);
    if (command == QLatin1String("clear"))
        return commandClear(run);
    return commandTestLink(run);
}

}  // namespace

int runCommandLine(const QStringList& args, Console& console) {
    Invocation invocation;
    try {
        invocation = parseCommandLine(args);
    } catch (const UsageError& e) {
        console.error(usageErrorLine(e).mid(QStringLiteral("tallyfold: ").size()));
        return 2;
    }
    if (invocation.command.isEmpty()) {
        console.plain(QStringLiteral("tallyfold " TALLYFOLD_VERSION_TEXT "\n"));
        return 0;
    }
    console.format = invocation.isSet(QStringLiteral("json")) ? OutputFormat::Json : OutputFormat::Text;
    console.quiet = invocation.isSet(QStringLiteral("quiet"));
    QLoggingCategory::setFilterRules(invocation.isSet(QStringLiteral("verbose"))
                                         ? QStringLiteral("tallyfold.*=true")
                                         : QStringLiteral("tallyfold.*.debug=false\ntallyfold.*.info=false"));
    MessageRoute route(console);
    Run run{console, invocation, settingsFor(invocation), {}, {}, {}};
    run.user = invocation.isSet(QStringLiteral("user")) ? invocation.value(QStringLiteral("user")) : loginName();
    run.caption =
        invocation.isSet(QStringLiteral("caption")) ? invocation.value(QStringLiteral("caption")) : DemoCaption;
    for (const QString& secret : connectionStringSecrets(run.settings.configuredConnectionString()))
        console.addSecret(secret);
    const bool operation = QStringList{"import", "gather", "clear", "test-link"}.contains(invocation.command);
    auto failed = [&](const QString& text) {
        console.error(text);
        if (operation) {
            Summary s;
            s.operation = invocation.command;
            s.outcome = QStringLiteral("failed");
            s.reason = console.masked(text);
            writeSummary(console, s);
        }
        return 1;
    };
    try {
        return dispatch(run);
    } catch (const UsageError& e) {
        console.error(usageErrorLine(e).mid(QStringLiteral("tallyfold: ").size()));
        return 2;
    } catch (const CommandFailure& e) {
        return failed(e.text);
    } catch (const Error& e) {
        return failed(e.description());
    } catch (const std::exception& e) {
        return failed(QString::fromLocal8Bit(e.what()));
    }
}

}  // namespace tallyfold
