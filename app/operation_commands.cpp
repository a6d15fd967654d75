#include "run.h"

#include <QFileInfo>

namespace tallyfold {

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

}  // namespace tallyfold
