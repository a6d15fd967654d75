#include "run.h"

#include "outside/component_registry.h"
#include "outside/database_tool.h"
#include "outside/table_permission.h"
#include "platform/log_categories.h"
#include "records/business_day.h"
#include "stop_signals.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QElapsedTimer>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <vector>

namespace tallyfold {

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

bool sharedFolder(const QString& folder) {
    struct stat status {};
    return ::stat(QFile::encodeName(folder).constData(), &status) == 0 && (status.st_mode & S_ISGID);
}

bool mayActForOthers(const QString& folder) {
    if (::geteuid() == 0)
        return true;
    struct stat status {};
    if (::stat(QFile::encodeName(folder).constData(), &status) != 0)
        return false;
    if (::getegid() == status.st_gid)
        return true;
    const int count = ::getgroups(0, nullptr);
    std::vector<gid_t> groups(std::size_t(std::max(count, 0)));
    if (count > 0 && ::getgroups(count, groups.data()) == count)
        return std::find(groups.begin(), groups.end(), status.st_gid) != groups.end();
    return false;
}

void writeSummary(Console& console, const Summary& s) {
    console.endProgress();
    console.event(QStringLiteral("summary"),
                  {{"operation", s.operation},
                   {"terminal", s.terminal},
                   {"read", s.read},
                   {"stored", s.stored},
                   {"duplicates", s.duplicates},
                   {"errors", s.errors},
                   {"seconds", s.seconds},
                   {"outcome", s.outcome},
                   {"reason", s.reason.isEmpty() ? FieldValue(nullptr) : FieldValue(s.reason)},
                   {"unstored", s.unstored()}});
}

// What ShowA and the window's load do, without widgets: the shared variables, the
// components, the first listed terminal made current, the time parameters.
std::vector<TerminalRow> loadSession(Run& run, GatherSession& session, ConsoleView& view, const char* rightSuffix,
                                     bool withTimes) {
    try {
        enterOperator(session.module, Variant(run.user), Variant(run.caption));
        session.createComponents();
    } catch (const Error& e) {
        throw CommandFailure{cannotOpenDatabase(run.settings, e)};
    }
    // Asked at once, a far server costing a round trip for each: the terminals, the business day's times
    // and the right that requireRight checks next (with another permission component it goes unused).
    std::vector<std::pair<QString, QVariantList>> ahead{{TerminalListStatement, {}}};
    if (withTimes)
        ahead.emplace_back(BusinessDayTimesStatement, QVariantList());
    if (rightSuffix)
        ahead.push_back(
            permissionQuery(SystemName, session.module.Pub_UserName, rightFunction(session.module, rightSuffix)));
    prefetchQueries(*session.DbTool, ahead);
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
    const QString function = rightFunction(module, suffix);
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
                                 .arg(user.isEmpty() ? QStringLiteral("\"\"") : user, function, SystemName, operation),
                             QStringLiteral("refused")};
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
            throw CommandFailure{QStringLiteral("no terminal ") + machine, QStringLiteral("refused")};
        throw CommandFailure{QStringLiteral("terminal ") + machine + QStringLiteral(": ") + e.description()};
    }
    const bool listed = std::any_of(rows.begin(), rows.end(),
                                    [&](const TerminalRow& row) { return row.machAddr == terminal.machAddr; });
    if (!listed)
        throw CommandFailure{
            QStringLiteral("terminal %1 is not a count-type terminal (see tallyfold terminals)").arg(machine),
            QStringLiteral("refused")};
    makeCurrent(session.module, terminal);
    view.setStatus(currentTerminalStatus(session.module));
}

Summary summaryOf(const QString& operation, const FieldValue& terminal, Outcome outcome, double seconds,
                  const ConsoleView& view) {
    // A run that stored no file (refused, or the terminal gave none) hands over no counters.
    const LineCounters counted = view.totals.value_or(LineCounters{});
    Summary s;
    s.operation = operation;
    s.terminal = terminal;
    s.read = counted.read;
    s.stored = counted.stored;
    s.duplicates = counted.duplicates;
    s.errors = counted.errors;
    s.seconds = seconds;
    s.outcome = outcomeName(outcome);
    if (outcome != Outcome::Completed)
        s.reason = view.failureReason();
    return s;
}

int Summary::exitStatus() const {
    if (outcome == QLatin1String("completed"))
        return errors > 0 ? 3 : 0;
    // Cancelled by the operator's no rather than a signal: the run did not do what was asked.
    if (outcome == QLatin1String("cancelled") && stopSignal() != 0)
        return 128 + stopSignal();
    return 1;
}

Summary totalOf(const std::vector<Summary>& terminals) {
    Summary total;
    total.operation = QStringLiteral("gather");
    QString fault;
    QStringList reasons;
    for (const Summary& s : terminals) {
        total.read += s.read;
        total.stored += s.stored;
        total.duplicates += s.duplicates;
        total.errors += s.errors;
        if (s.outcome == QLatin1String("completed"))
            continue;
        // A fault outranks a stop: the site must look at it, whereas a stop is what was asked for.
        if (fault.isEmpty() && s.outcome != QLatin1String("cancelled"))
            fault = s.outcome;
        const QString address = s.terminal.index() == 1 ? std::get<QString>(s.terminal) : QString();
        reasons << QStringLiteral("terminal %1 %2: %3").arg(address, s.outcome, s.reason);
    }
    if (!reasons.isEmpty()) {
        total.outcome = fault.isEmpty() ? QStringLiteral("cancelled") : fault;
        total.reason = reasons.join(QStringLiteral("; "));
    }
    return total;
}

Summary measured(Run& run, GatherSession& session, ConsoleView& view, const QString& operation,
                 const std::function<Outcome()>& body) {
    const FieldValue terminal =
        operation == QLatin1String("import") ? FieldValue(nullptr) : FieldValue(session.module.Pub_MachAddr.toText());
    view.totals.reset();
    QElapsedTimer timer;
    timer.start();
    const Outcome outcome = body();
    const Summary s = summaryOf(operation, terminal, outcome, timer.elapsed() / 1000.0, view);
    run.console.endProgress();
    return s;
}

bool failedShown(const Run& run) {
    const QString mode = run.value("failed");
    if (mode.isEmpty() || mode == QLatin1String("show"))
        return true;
    if (mode == QLatin1String("discard"))
        return false;
    throw UsageError{QStringLiteral("--failed takes show or discard"), run.invocation.command};
}

int jobsOption(const Run& run) {
    if (!run.has("jobs"))
        return 0;
    bool number = false;
    const int jobs = run.value("jobs").toInt(&number);
    if (!run.has("all"))
        throw UsageError{QStringLiteral("--jobs goes with --all"), run.invocation.command};
    if (!number || jobs < 1)
        throw UsageError{QStringLiteral("--jobs takes a whole number from 1"), run.invocation.command};
    return jobs;
}

void checkOptions(const Run& run) {
    const QString& command = run.invocation.command;
    if (run.has("failed"))
        failedShown(run);
    if (command == QLatin1String("gather")) {
        if (run.has("all") && run.has("machine"))
            throw UsageError{QStringLiteral("--machine and --all exclude each other"), command};
        jobsOption(run);
    }
    if (run.has("tsv") && run.has("json"))
        throw UsageError{QStringLiteral("--tsv and --json exclude each other"), command};
    if (command == QLatin1String("terminals"))
        checkTerminalsArguments(run);
    if (command == QLatin1String("follow"))
        checkFollowOptions(run);
    if (command == QLatin1String("status") && run.has("max-age"))
        maxAgeSeconds(run);
    if (command == QLatin1String("clear") && !run.has("yes"))
        throw UsageError{QStringLiteral("clear erases the terminal's records: confirm with --yes"), command};
    // An erasure names its terminal: the first listed one is whichever the list happens to begin with.
    if (command == QLatin1String("clear") && !run.has("machine"))
        throw UsageError{QStringLiteral("clear erases a terminal's records: name it with --machine ADDR"), command};
}

}  // namespace tallyfold
