#include "commands.h"

#include "console_view.h"
#include "entry/builtin_components.h"
#include "outside/database_tool.h"
#include "outside/host_schema.h"
#include "platform/error.h"
#include "records/mdl_gather_data.h"
#include "records/operations.h"
#include "records/terminal_list.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>

namespace tallyfold {

namespace {

const char* const Usage =
    "usage: tallyfold [--home DIR] [--db CONNECTION_STRING] COMMAND [OPTIONS]\n"
    "\n"
    "commands:\n"
    "  show [--user U] [--caption C] [--screenshot FILE]\n"
    "                      open the gathering window as a host would (KQ.ShowA); with\n"
    "                      --screenshot save a picture of it and close it again\n"
    "  init-db [--demo]    create the host tables; --demo adds terminals, time parameters and rights\n"
    "  terminals           list the count-type terminals in list order and mark the current one\n"
    "  import FILE [--user U] [--failed show|discard]\n"
    "                      store the records of a record file\n"
    "  gather [--machine ADDR | --all] [--set-clock] [--no-get] [--no-save] [--failed show|discard] [--user U]\n"
    "                      gather the records of a terminal (default: the first listed)\n"
    "  clear [--machine ADDR] --yes [--user U]\n"
    "                      erase the records stored in a terminal\n"
    "  test-link [--machine ADDR]\n"
    "                      set the terminal's clock as a probe and say whether it answered\n"
    "\n"
    "--home DIR is the host folder (same as TALLYFOLD_HOME); --db the connection string\n"
    "(same as TALLYFOLD_CONNECTION), e.g. Provider=PostgreSQL;Host=127.0.0.1;Port=5432;Database=d;User ID=u;\n"
    "Output: one event a line, tab-separated: status, caption, record, failed, message, question.\n";

struct UsageError {
    QString text;
};

// Takes "--name value" out of args; "" when absent.
QString takeValue(QStringList& args, const QString& name) {
    const qsizetype i = args.indexOf(name);
    if (i < 0)
        return QString();
    if (i + 1 >= args.size())
        throw UsageError{name + QStringLiteral(" needs a value")};
    const QString value = args.at(i + 1);
    args.remove(i, 2);
    return value;
}

bool takeFlag(QStringList& args, const QString& name) {
    return args.removeAll(name) > 0;
}

void requireNoMore(const QStringList& args) {
    if (!args.isEmpty())
        throw UsageError{QStringLiteral("unexpected argument: ") + args.first()};
}

bool failedShown(QStringList& args) {
    const QString mode = takeValue(args, QStringLiteral("--failed"));
    if (mode.isEmpty() || mode == QLatin1String("show"))
        return true;
    if (mode == QLatin1String("discard"))
        return false;
    throw UsageError{QStringLiteral("--failed takes show or discard")};
}

int exitStatus(Outcome outcome) {
    return outcome == Outcome::Completed || outcome == Outcome::Cancelled ? 0 : 1;
}

// What one command line works with: the host folder and database it names,
// and the shared variables of its one session.
struct Host {
    HostSettings settings;
    Mdl_GatherData module;
};

// What ShowA and the window's load do, without widgets: the shared variables,
// the components, the first listed terminal made current, the time parameters.
// Returns the listed terminals.
std::vector<TerminalRow> loadSession(GatherSession& session, ConsoleView& view, const QString& user) {
    enterOperator(session.module, Variant(user), Variant(QString()));
    session.createComponents();
    std::vector<TerminalRow> rows = readTerminalRows(*session.DbTool);
    makeFirstCurrent(session.module, rows);
    getTimeBZBE(*session.DbTool, session.times, view);
    session.loadFinished();
    return rows;
}

// --machine: the same lookup as a click in the terminal list.
bool chooseMachine(GatherSession& session, ConsoleView& view, const QString& machine) {
    if (machine.isEmpty())
        return true;
    try {
        makeCurrent(session.module, lookUpTerminal(*session.DbTool, Variant(machine)));
        view.setStatus(currentTerminalStatus(session.module));
        return true;
    } catch (const Error& e) {
        view.setStatus(QStringLiteral("错误:") + e.description());
        return false;
    }
}

// The window runs in a host program of its own, as a host would load the library.
int commandShow(const QStringList& args) {
    const QString program = QCoreApplication::applicationDirPath() + QStringLiteral("/tallyfold-show");
    QProcess host;
    host.setProcessChannelMode(QProcess::ForwardedChannels);
    host.setInputChannelMode(QProcess::ForwardedInputChannel);
    host.start(program, args);
    if (!host.waitForStarted())
        throw Error(errc::FileNotFound, program + QStringLiteral(": ") + host.errorString());
    host.waitForFinished(-1);  // as long as the operator keeps the window open
    return host.exitStatus() == QProcess::NormalExit ? host.exitCode() : 1;
}

int commandInitDb(Host& host, QStringList args, QTextStream& out) {
    const bool demo = takeFlag(args, QStringLiteral("--demo"));
    requireNoMore(args);
    const QString cs = host.settings.configuredConnectionString();
    auto connection = sharedConnection(cs, cs == host.settings.embeddedConnectionString());
    createHostSchema(*connection);
    if (demo)
        addDemoData(*connection);
    out << "database ready\t" << cs << '\n';
    return 0;
}

int commandTerminals(Host& host, QStringList args, QTextStream& out) {
    requireNoMore(args);
    ConsoleView view(out);
    GatherSession session(host.module, host.settings);
    const std::vector<TerminalRow> rows = loadSession(session, view, QString());
    const Variant current = session.module.Pub_MachAddr;
    for (const TerminalRow& row : rows) {
        QStringList fields{QStringLiteral("terminal"), row.machAddr.toText(), row.comText, row.verText, row.teamText};
        if (row.machAddr == current)
            fields << QStringLiteral("current");
        view.line(fields);
    }
    return 0;
}

int commandImport(Host& host, QStringList args, QTextStream& out) {
    ConsoleView view(out);
    const QString user = takeValue(args, QStringLiteral("--user"));
    view.showFailed = failedShown(args);
    if (args.size() != 1)
        throw UsageError{QStringLiteral("import takes one FILE")};
    view.fileToChoose = QFileInfo(args.first()).absoluteFilePath();
    GatherSession session(host.module, host.settings);
    loadSession(session, view, user);
    return exitStatus(runImport(session, view));
}

int commandGather(Host& host, QStringList args, QTextStream& out) {
    ConsoleView view(out);
    const QString user = takeValue(args, QStringLiteral("--user"));
    const QString machine = takeValue(args, QStringLiteral("--machine"));
    const bool all = takeFlag(args, QStringLiteral("--all"));
    GatherOptions options;
    options.editTime = takeFlag(args, QStringLiteral("--set-clock")) ? 1 : 0;
    options.get = takeFlag(args, QStringLiteral("--no-get")) ? 0 : 1;
    options.save = takeFlag(args, QStringLiteral("--no-save")) ? 0 : 1;
    view.showFailed = failedShown(args);
    requireNoMore(args);
    if (all && !machine.isEmpty())
        throw UsageError{QStringLiteral("--machine and --all exclude each other")};
    GatherSession session(host.module, host.settings);
    const std::vector<TerminalRow> rows = loadSession(session, view, user);
    if (!all) {
        if (!chooseMachine(session, view, machine))
            return 1;
        return exitStatus(runGather(session, view, options));
    }
    int status = 0;
    for (const TerminalRow& row : rows) {
        if (!chooseMachine(session, view, row.machAddr.toText()) || exitStatus(runGather(session, view, options)))
            status = 1;
    }
    return status;
}

int commandClear(Host& host, QStringList args, QTextStream& out) {
    ConsoleView view(out);
    const QString user = takeValue(args, QStringLiteral("--user"));
    const QString machine = takeValue(args, QStringLiteral("--machine"));
    view.confirm = takeFlag(args, QStringLiteral("--yes"));
    requireNoMore(args);
    if (!view.confirm)
        throw UsageError{QStringLiteral("clear erases the terminal's records: confirm with --yes")};
    GatherSession session(host.module, host.settings);
    loadSession(session, view, user);
    if (!chooseMachine(session, view, machine))
        return 1;
    return exitStatus(runClear(session, view));
}

int commandTestLink(Host& host, QStringList args, QTextStream& out) {
    ConsoleView view(out);
    const QString machine = takeValue(args, QStringLiteral("--machine"));
    requireNoMore(args);
    GatherSession session(host.module, host.settings);
    loadSession(session, view, QString());
    if (!chooseMachine(session, view, machine))
        return 1;
    return exitStatus(runLinkTest(session, view));
}

}  // namespace

int runCommandLine(QStringList args, QTextStream& out, QTextStream& err) {
    try {
        Host host{hostSettingsFromEnvironment(), {}};
        const QString home = takeValue(args, QStringLiteral("--home"));
        if (!home.isEmpty())
            host.settings.home = QDir(home).absolutePath();
        const QString db = takeValue(args, QStringLiteral("--db"));
        if (!db.isEmpty())
            host.settings.connectionString = db;
        registerBuiltinComponents(host.settings);
        if (args.isEmpty() || args.first() == QLatin1String("--help") || args.first() == QLatin1String("-h") ||
            args.first() == QLatin1String("help")) {
            out << Usage;
            return args.isEmpty() ? 2 : 0;
        }
        const QString command = args.takeFirst();
        if (command == QLatin1String("show")) {
            // The window is reached as a host reaches it, and a host names its folder and database this way.
            qputenv("TALLYFOLD_HOME", host.settings.folder().toLocal8Bit());
            if (!host.settings.connectionString.isEmpty())
                qputenv("TALLYFOLD_CONNECTION", host.settings.connectionString.toUtf8());
            out.flush();
            return commandShow(args);
        }
        if (command == QLatin1String("init-db"))
            return commandInitDb(host, args, out);
        if (command == QLatin1String("terminals"))
            return commandTerminals(host, args, out);
        if (command == QLatin1String("import"))
            return commandImport(host, args, out);
        if (command == QLatin1String("gather"))
            return commandGather(host, args, out);
        if (command == QLatin1String("clear"))
            return commandClear(host, args, out);
        if (command == QLatin1String("test-link"))
            return commandTestLink(host, args, out);
        throw UsageError{QStringLiteral("unknown command: ") + command};
    } catch (const UsageError& e) {
        err << "tallyfold: " << e.text << " (see tallyfold --help)\n";
        return 2;
    } catch (const Error& e) {
        err << "tallyfold: " << e.description() << '\n';
        return 1;
    } catch (const std::exception& e) {
        err << "tallyfold: " << e.what() << '\n';
        return 1;
    }
}

}  // namespace tallyfold
