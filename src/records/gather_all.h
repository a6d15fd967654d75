#pragma once

#include "records/operations.h"
#include "records/terminal_list.h"

#include <functional>
#include <memory>
#include <vector>

namespace tallyfold {

struct TerminalOutcome {
    TerminalRow terminal;
    Outcome outcome = Outcome::Trapped;
};

// The view one terminal's events go to; called on the thread that gathers it.
using TerminalViewFactory = std::function<std::unique_ptr<OperatorView>(const TerminalRow&)>;
// Told when a terminal's run has ended, on its thread, while its view still lives.
using TerminalFinished = std::function<void(const TerminalRow&, OperatorView&, Outcome)>;

// Gathers every terminal of `rows`: terminals on different ports at the same
// time, one worker per port and at most `jobs` ports at once (0: all), those
// sharing a port one after another in list order. Each worker holds a session
// of its own (components, connection, device link and, with more than one
// port, a record file of its own), starting from a copy of `module`; with more
// than one worker their rows go through one store, one writer and connection
// for all. The outcomes come back in list order.
std::vector<TerminalOutcome> gatherAll(const Mdl_GatherData& module, const HostSettings& host,
                                       const std::vector<TerminalRow>& rows, const GatherOptions& options, int jobs,
                                       const TerminalViewFactory& makeView, const TerminalFinished& finished = {});

}  // namespace tallyfold
