#pragma once

namespace tallyfold {

// SIGINT, SIGTERM and SIGHUP ask the run to stop at the next line or frame; a
// second one ends the process at once, as the default would.
void installStopSignals();
// The signal that asked the run to stop, or 0.
int stopSignal();

}  // namespace tallyfold
