#include "records/gather_all.h"

#include "outside/component_registry.h"
#include "outside/database_tool.h"
#include "platform/error.h"
#include "records/operation_support.h"
#include "store/shared_record_store.h"

#include <QEventLoop>
#include <QMap>
#include <atomic>
#include <optional>
#include <thread>

namespace tallyfold {

namespace {

struct PortWork {
    QString port;
    std::vector<std::size_t> terminals;  // indexes into the rows, in list order
};

// What the window's load and a click in the terminal list do, then the gather
// run, for each terminal of one port.
void gatherPort(const PortWork& work, bool ownRecordFile, SharedRecordStore* store, const Mdl_GatherData& module,
                const HostSettings& host, const std::vector<TerminalRow>& rows, const GatherOptions& options,
                const TerminalViewFactory& makeView, const TerminalFinished& finished,
                std::vector<TerminalOutcome>& outcomes) {
    Mdl_GatherData own = module;
    own.Pub_Conn.reset();  // the caller's connection belongs to the caller's thread
    {
        GatherSession session(own, host);
        session.sharedStore = store;
        if (ownRecordFile)
            session.recordFile = host.path(QStringLiteral("Source/SourceRecordSet-port%1.txt").arg(work.port));
        bool loaded = false;
        for (std::size_t index : work.terminals) {
            const TerminalRow& row = rows[index];
            std::unique_ptr<OperatorView> view = makeView(row);
            if (view->cancelRequested()) {
                // Asked to stop: the terminals not yet begun are not begun.
                outcomes[index].outcome = Outcome::Cancelled;
                view->setDetail(stoppedReason(
                    *view,
                    QStringLiteral("before terminal %1 was begun; it keeps its records").arg(row.machAddr.toText())));
                if (finished)
                    finished(row, *view, Outcome::Cancelled);
                continue;
            }
            try {
                if (!loaded) {
                    session.createComponents();
                    own.Pub_Conn = session.Conn;
                    getTimeBZBE(*session.DbTool, session.times, view->prompts());
                    session.loadFinished();
                    loaded = true;
                }
                makeCurrent(own, lookUpTerminal(*session.DbTool, row.machAddr));
                view->setStatus(currentTerminalStatus(own));
                outcomes[index].outcome = runGather(session, *view, options);
            } catch (const Error& e) {
                view->setStatus(QStringLiteral("错误:") + e.description());
                view->setDetail(e.description());
                outcomes[index].outcome = Outcome::Trapped;
            } catch (const std::exception& e) {
                view->setStatus(QStringLiteral("错误:") + QString::fromLocal8Bit(e.what()));
                view->setDetail(QString::fromLocal8Bit(e.what()));
                outcomes[index].outcome = Outcome::Trapped;
            }
            if (finished)
                finished(row, *view, outcomes[index].outcome);
        }
        own.Pub_Conn.reset();
        session.release();
    }
    releaseThreadConnections();
}

}  // namespace

std::vector<TerminalOutcome> gatherAll(const Mdl_GatherData& module, const HostSettings& host,
                                       const std::vector<TerminalRow>& rows, const GatherOptions& options, int jobs,
                                       const TerminalViewFactory& makeView, const TerminalFinished& finished) {
    std::vector<TerminalOutcome> outcomes;
    QMap<QString, int> portIndex;
    std::vector<PortWork> ports;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        outcomes.push_back(TerminalOutcome{rows[i], Outcome::Trapped});
        const QString port = rows[i].comX.isNull() ? QString() : rows[i].comX.toText();
        auto found = portIndex.find(port);
        if (found == portIndex.end()) {
            found = portIndex.insert(port, int(ports.size()));
            ports.push_back(PortWork{port, {}});
        }
        ports[std::size_t(*found)].terminals.push_back(i);
    }
    std::size_t workers = jobs > 0 ? std::min<std::size_t>(std::size_t(jobs), ports.size()) : ports.size();
    // Ports gathered one after the other share the host's one Source file; ports at
    // the same time need files of their own, which not every device link can write.
    bool ownRecordFiles = false;
    if (workers > 1) {
        try {
            ownRecordFiles = createComponent<DeviceLink>(progid::DeviceLink)->setRecordFile(QString());
        } catch (const Error&) {
        }
        if (!ownRecordFiles)
            workers = 1;
    }
    // The ports' rows go through one writer and one connection, not one each.
    std::optional<SharedRecordStore> store;
    if (workers > 1)
        store.emplace();
    // Workers take the next port until none is left, so at most `workers` ports are busy at once.
    std::atomic<std::size_t> next{0};
    auto worker = [&] {
        // The ports' notifiers need Qt's event dispatcher, which a thread gets with its first event loop.
        const QEventLoop dispatcher;
        for (std::size_t p = next++; p < ports.size(); p = next++)
            gatherPort(ports[p], ownRecordFiles, store ? &*store : nullptr, module, host, rows, options, makeView,
                       finished, outcomes);
    };
    {
        // Joined as they go out of scope, before the outcomes are read.
        std::vector<std::jthread> threads;
        for (std::size_t w = 0; w < workers; ++w)
            threads.emplace_back(worker);
    }
    return outcomes;
}

}  // namespace tallyfold
