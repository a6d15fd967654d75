#pragma once

#include <QString>

#include <sys/types.h>

namespace tallyfold {

// SIGINT, SIGTERM and SIGHUP ask the run to stop at the next line or frame; a
// second one ends the process at once, as the default would. Installed first
// thing in main: a signal that finds the default action kills the run with no
// summary. A spawner that left them blocked is overruled: they are unblocked.
void installStopSignals();
// The signal that asked the run to stop, or 0.
int stopSignal();
// Readable once a stop signal came (a byte a signal), for an event loop to watch.
int stopSignalFd();
// Passes a stop signal on to a child of ours. A terminal's Ctrl-C or systemd's stop reaches the child
// as well; the copy passed on is not a second signal to it, so it does not end it at once.
void forwardStopSignal(pid_t child, int signal);
// For a service: from now on SIGHUP asks it to read its configuration again instead of stopping.
void reloadOnHangUp();
// How many reloads SIGHUP asked for so far.
int reloadRequests();
// "SIGTERM", "SIGINT", "SIGHUP" or "signal N".
QString signalName(int signal);

}  // namespace tallyfold
