#include "stop_signals.h"

#include <csignal>
#include <initializer_list>

namespace tallyfold {

namespace {
volatile std::sig_atomic_t received = 0;

void onStop(int signal) {
    received = signal;
}
}  // namespace

void installStopSignals() {
    struct sigaction action {};
    action.sa_handler = onStop;
    sigemptyset(&action.sa_mask);
    // The run's waits resume; the next signal finds the default again.
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
}

int stopSignal() {
    return received;
}

}  // namespace tallyfold
