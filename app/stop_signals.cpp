#include "stop_signals.h"

#include <fcntl.h>
#include <unistd.h>
#include <atomic>
#include <csignal>
#include <initializer_list>

namespace tallyfold {

namespace {
std::atomic<int> received = 0;
std::atomic<int> reloads = 0;
static_assert(std::atomic<int>::is_always_lock_free, "set from a signal handler");
int wakeUp[2] = {-1, -1};
// What a signal passed on by our parent carries.
constexpr int Forwarded = 0x7a11f0;

void onStop(int signal, siginfo_t* info, void*) {
    int none = 0;
    if (!received.compare_exchange_strong(none, signal)) {
        if (info && info->si_code == SI_QUEUE && info->si_value.sival_int == Forwarded)
            return;
        // Asked again: the default ends the process once this handler returns.
        ::signal(signal, SIG_DFL);
        ::raise(signal);
        return;
    }
    const char byte = char(signal);
    [[maybe_unused]] const ssize_t n = ::write(wakeUp[1], &byte, 1);
}
}  // namespace

void installStopSignals() {
    if (wakeUp[0] < 0 && ::pipe2(wakeUp, O_CLOEXEC | O_NONBLOCK) != 0)
        wakeUp[0] = wakeUp[1] = -1;
    struct sigaction action {};
    action.sa_sigaction = onStop;
    sigemptyset(&action.sa_mask);
    sigset_t stops;
    sigemptyset(&stops);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&action.sa_mask, signal);
        sigaddset(&stops, signal);
    }
    // The run's waits resume after the handler; the run looks at the flag.
    action.sa_flags = SA_RESTART | SA_SIGINFO;
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
    sigprocmask(SIG_UNBLOCK, &stops, nullptr);
}

void reloadOnHangUp() {
    struct sigaction action {};
    action.sa_handler = [](int) { ++reloads; };
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGHUP, &action, nullptr);
}

int reloadRequests() {
    return reloads.load();
}

int stopSignal() {
    return received.load();
}

int stopSignalFd() {
    return wakeUp[0];
}

void forwardStopSignal(pid_t child, int signal) {
    if (child <= 0 || signal == 0)
        return;
    sigval value{};
    value.sival_int = Forwarded;
    ::sigqueue(child, signal, value);
}

QString signalName(int signal) {
    switch (signal) {
    case SIGINT:
        return QStringLiteral("SIGINT");
    case SIGTERM:
        return QStringLiteral("SIGTERM");
    case SIGHUP:
        return QStringLiteral("SIGHUP");
    default:
        return QStringLiteral("signal %1").arg(signal);
    }
}

}  // namespace tallyfold
