#include "run.h"

#include "outside/database_tool.h"
#include "outside/host_schema.h"
#include "records/gather_history.h"
#include "store/record_store.h"
#include "stop_signals.h"

#include <sys/stat.h>
#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QProcess>
#include <QSocketNotifier>
#include <cerrno>

namespace tallyfold {

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
    // As long as the operator keeps the window open. A stop signal goes on to the window's host, which
    // closes it as "退出" does and ends with 128 + N; that is this command's status too.
    QEventLoop open;
    QObject::connect(&host, &QProcess::finished, &open, &QEventLoop::quit);
    QSocketNotifier stop(stopSignalFd(), QSocketNotifier::Read);
    QObject::connect(&stop, &QSocketNotifier::activated, &open, [&] {
        stop.setEnabled(false);
        forwardStopSignal(pid_t(host.processId()), stopSignal());
    });
    if (host.state() != QProcess::NotRunning)
        open.exec();
    return host.exitStatus() == QProcess::NormalExit ? host.exitCode() : 1;
}

void grantRights(Run& run, Connection& connection, const QString& user) {
    // The user's name and the caption are bound, never part of a statement's text.
    std::shared_ptr<Connection> shared(&connection, [](Connection*) {});
    for (const char* suffix : {".测试", ".操作", ".读取"}) {
        const QString function = run.caption + QString::fromUtf8(suffix);
        const QVariantList row{user, SystemName, function};
        bool held = false;
        try {
            Recordset rs;
            rs.Open(QStringLiteral("select count(*) as n from UserPermission "
                                   "where UserName=? and SystemName=? and FunctionName=?"),
                    row, shared);
            held = rs.Fields(QStringLiteral("n")).toQVariant().toLongLong() > 0;
        } catch (const Error& e) {
            throw CommandFailure{QStringLiteral("cannot read the rights: ") + e.description()};
        }
        try {
            if (!held)
                executeBound(connection,
                             QStringLiteral("insert into UserPermission (UserName, SystemName, FunctionName) "
                                            "values (?, ?, ?)"),
                             row);
        } catch (const Error& e) {
            throw CommandFailure{QStringLiteral("cannot grant the rights: ") + e.description()};
        }
        run.console.event(QStringLiteral("granted"), {{"user", user}, {"function", function}});
    }
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
        connection = HostDatabaseTool(run.settings).ActiveCn();
    } catch (const Error& e) {
        throw CommandFailure{cannotOpenDatabase(run.settings, e)};
    }
    createHostSchema(*connection);
    createGatherStateTable(*connection);
    createWitnessTable(*connection);
    shareWithGroup(run.settings, cs);
    if (run.has("demo"))
        addDemoData(*connection);
    addDefaultTimes(*connection);
    if (run.has("grant"))
        grantRights(run, *connection, run.value("grant"));
    run.console.event(QStringLiteral("database"), {{"connection", maskedConnectionString(cs)}});
    return 0;
}

int commandHelp(Run& run) {
    const QStringList& topic = run.invocation.arguments;
    if (topic.isEmpty()) {
        run.console.plain(overviewHelp());
    } else if (topic.first() == QLatin1String("output")) {
        run.console.plain(outputHelp());
    } else if (const CommandDef* command = findCommand(topic.first())) {
        run.console.plain(commandHelp(*command));
    } else {
        throw UsageError{QStringLiteral("no help on \"") + topic.first() + QLatin1Char('"'), QStringLiteral("help")};
    }
    return 0;
}

}  // namespace tallyfold
