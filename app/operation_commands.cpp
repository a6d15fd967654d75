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
    loadSession(run, session, view, ".读取");
    requireRight(session, ".读取", QStringLiteral("import"));
    HostLock lock(run.settings.folder());
    const Summary s = measured(run, session, view, QStringLiteral("import"), [&] { return runImport(session, view); });
    writeSummary(run.console, s);
    return s.exitStatus();
}

int commandGather(Run& run) {
    ConsoleView view(run.console);
    view.showFailed = failedShown(run);
    const bool all = run.has("all");
    const int jobs = jobsOption(run);
    GatherOptions options;
    options.editTime = run.has("set-clock") ? Tick::Ticked : Tick::Clear;
    options.get = run.has("no-get") ? Tick::Clear : Tick::Ticked;
    options.save = run.has("no-save") ? Tick::Clear : Tick::Ticked;
    options.thenClear = run.has("then-clear");
    GatherSession session(run.module, run.settings);
    const std::vector<TerminalRow> rows = loadSession(run, session, view, ".操作");
    requireRight(session, ".操作", QStringLiteral("gather"));
    HostLock lock(run.settings.folder());
    // Once the terminals have ended, before the last summary: the exit status follows that summary, so a
    // metrics file that cannot be written is a fault of the run, one that outranks a stop. The records stay.
    auto metricsNotWritten = [&]() -> QString {
        if (!run.has("metrics"))
            return {};
        try {
            writeMetrics(run.value("metrics"), rows, session.Conn);
        } catch (const CommandFailure& e) {
            return e.text;
        }
        return {};
    };
    auto withMetrics = [&](Summary& s) {
        const QString fault = metricsNotWritten();
        if (fault.isEmpty())
            return;
        if (s.outcome == QLatin1String("completed") || s.outcome == QLatin1String("cancelled"))
            s.outcome = QStringLiteral("failed");
        s.reason = s.reason.isEmpty() ? fault : s.reason + QStringLiteral("; ") + fault;
    };
    if (!all) {
        if (run.has("machine"))
            chooseMachine(session, view, rows, run.value("machine"));
        Summary s =
            measured(run, session, view, QStringLiteral("gather"), [&] { return runGather(session, view, options); });
        withMetrics(s);
        writeSummary(run.console, s);
        return s.exitStatus();
    }
    if (rows.empty()) {
        if (const QString fault = metricsNotWritten(); !fault.isEmpty())
            run.console.error(fault);
        throw CommandFailure{QStringLiteral("no count-type terminal is listed, so none was gathered (tallyfold "
                                            "terminals add ADDR --port N adds one)"),
                             QStringLiteral("refused")};
    }
    // Every terminal in a session of its own, the ports at the same time; each event names its terminal.
    struct TerminalView : ConsoleView {
        using ConsoleView::ConsoleView;
        QElapsedTimer started;
    };
    // In list order, whichever port ended first: the total must not depend on the ports' timing.
    std::vector<Summary> ends(rows.size());
    std::mutex writing;
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
            const Summary s = summaryOf(QStringLiteral("gather"), row.machAddr.toText(), outcome,
                                        own.started.elapsed() / 1000.0, own);
            writeSummary(run.console, s);
            const std::lock_guard lock(writing);
            ends[std::size_t(&row - rows.data())] = s;  // gatherAll hands out the rows it was given
        });
    Summary total = totalOf(ends);
    total.seconds = timer.elapsed() / 1000.0;
    withMetrics(total);
    writeSummary(run.console, total);
    return total.exitStatus();
}

namespace {
// Clearing and the link test: the right, the folder's lock, the terminal, the operation.
int atTerminal(Run& run, ConsoleView& view, const char* right, const QString& operation,
               Outcome (*body)(GatherSession&, OperatorView&)) {
    GatherSession session(run.module, run.settings);
    const std::vector<TerminalRow> rows = loadSession(run, session, view, right);
    requireRight(session, right, operation);
    HostLock lock(run.settings.folder());
    if (run.has("machine"))
        chooseMachine(session, view, rows, run.value("machine"));
    const Summary s = measured(run, session, view, operation, [&] { return body(session, view); });
    writeSummary(run.console, s);
    return s.exitStatus();
}
}  // namespace

int commandClear(Run& run) {
    ConsoleView view(run.console);
    view.confirm = run.has("yes");
    return atTerminal(run, view, ".操作", QStringLiteral("clear"), runClear);
}

int commandTestLink(Run& run) {
    ConsoleView view(run.console);
    return atTerminal(run, view, ".测试", QStringLiteral("test-link"), runLinkTest);
}

}  // namespace tallyfold
