#include "run.h"

#include "records/gather_all.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <mutex>

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
    int jobs = 0;
    if (run.has("jobs")) {
        bool number = false;
        jobs = run.value("jobs").toInt(&number);
        if (!all)
            throw UsageError{QStringLiteral("--jobs goes with --all"), run.invocation.command};
        if (!number || jobs < 1)
            throw UsageError{QStringLiteral("--jobs takes a whole number from 1"), run.invocation.command};
    }
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
    // Every terminal in a session of its own, the ports at the same time; each event names its terminal.
    struct TerminalView : ConsoleView {
        using ConsoleView::ConsoleView;
        QElapsedTimer started;
    };
    Summary total;
    total.operation = QStringLiteral("gather");
    int status = 0;
    std::mutex totals;
    QElapsedTimer timer;
    timer.start();
    gatherAll(
        session.module, run.settings, rows, options, jobs,
        [&](const TerminalRow& row) {
            auto own = std::make_unique<TerminalView>(run.console);
            own->showFailed = view.showFailed;
            own->terminal = row.machAddr.toText();
            own->started.start();
            return std::unique_ptr<OperatorView>(std::move(own));
        },
        [&](const TerminalRow& row, OperatorView& finished, Outcome outcome) {
            auto& own = static_cast<TerminalView&>(finished);
            Summary s;
            s.operation = QStringLiteral("gather");
            s.terminal = row.machAddr.toText();
            s.seconds = own.started.elapsed() / 1000.0;
            s.outcome = outcomeName(outcome);
            if (const std::optional<LineCounters>& counted = own.tally.totals) {
                s.read = counted->read;
                s.stored = counted->stored;
                s.errors = counted->errors;
            } else {
                s.read = own.tally.records + own.tally.failed;
                s.stored = outcome == Outcome::Completed && options.get == 1 ? std::nullopt : std::optional<qint64>(0);
                s.errors = own.tally.failed;
            }
            writeSummary(run.console, s);
            std::lock_guard lock(totals);
            status = worse(status, s.exitStatus());
            total.read += s.read;
            total.stored = total.stored && s.stored ? std::optional<qint64>(*total.stored + *s.stored) : std::nullopt;
            total.errors += s.errors;
            if (s.exitStatus() == 1)
                total.outcome = s.outcome;
        });
    total.seconds = timer.elapsed() / 1000.0;
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
