#include "commands.h"

#include "command_line.h"
#include "entry/builtin_components.h"
#include "outside/host_schema.h"
#include "platform/log_categories.h"
#include "run.h"
#include "stop_signals.h"

#include <sys/stat.h>
#include <unistd.h>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <cerrno>

namespace tallyfold {

namespace {

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
    // Else the parent of the program's folder, bin/..: this code lies in a module of its own, one
    // folder further down than the library whose folder the core would take.
    if (settings.home.isEmpty() && QCoreApplication::instance())
        settings.home = QDir::cleanPath(QCoreApplication::applicationDirPath() + QStringLiteral("/.."));
    return settings;
}

int dispatch(Run& run) {
    const QString& command = run.invocation.command;
    if (command == QLatin1String("help"))
        return commandHelp(run);
    checkOptions(run);
    // Here, not before: help and usage errors need no connection string, and a connection file that
    // cannot be read fails as any command does.
    for (const QString& secret : connectionStringSecrets(run.settings.configuredConnectionString()))
        run.console.addSecret(secret);
    const QString folder = run.settings.folder();
    if (command != QLatin1String("init-db") && !QFileInfo(folder).isDir()) {
        const int error = ::access(QFile::encodeName(folder).constData(), F_OK) == 0 ? 0 : errno;
        if (error != 0 && error != ENOENT)
            throw CommandFailure{QStringLiteral("cannot reach the host folder %1: %2").arg(folder, systemError(error))};
        throw CommandFailure{
            QStringLiteral("no host folder %1 (tallyfold init-db creates one; --home names another)").arg(folder)};
    }
    // The log names whoever the command acts for: another operator's name is for those the folder trusts.
    if (run.user != loginName() && !mayActForOthers(folder))
        throw CommandFailure{QStringLiteral("only root and the members of the group of %1 may act for another operator "
                                            "(--user %2); %3 acts for itself")
                                 .arg(folder, run.user, loginName()),
                             QStringLiteral("refused")};
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
    if (command == QLatin1String("status"))
        return commandStatus(run);
    if (command == QLatin1String("import"))
        return commandImport(run);
    if (command == QLatin1String("gather"))
        return commandGather(run);
    if (command == QLatin1String("follow"))
        return commandFollow(run);
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
    const bool operation = QStringList{"import", "gather", "follow", "clear", "test-link"}.contains(invocation.command);
    auto failed = [&](const QString& text, const QString& outcome = QStringLiteral("failed")) {
        console.error(text);
        if (operation) {
            Summary s;
            s.operation = invocation.command;
            // Refused before the run began, it still names the terminal it was asked for.
            if (invocation.isSet(QStringLiteral("machine")))
                s.terminal = invocation.value(QStringLiteral("machine"));
            s.outcome = outcome;
            s.reason = console.masked(text);
            writeSummary(console, s);
        }
        return 1;
    };
    try {
        const int status = dispatch(run);
        // An operation's status is its summary's, and show's the window's. The other commands have
        // no place to stop at: one asked to stop says so with the shell's convention, 128 + N.
        if (operation || invocation.command == QLatin1String("show") || stopSignal() == 0)
            return status;
        return 128 + stopSignal();
    } catch (const UsageError& e) {
        console.error(usageErrorLine(e).mid(QStringLiteral("tallyfold: ").size()));
        return 2;
    } catch (const CommandFailure& e) {
        return failed(e.text, e.outcome);
    } catch (const Error& e) {
        return failed(e.description());
    } catch (const std::exception& e) {
        return failed(QString::fromLocal8Bit(e.what()));
    }
}

}  // namespace tallyfold
