#define _GNU_SOURCE
#include "command_main.h"

#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

// The program tallyfold: it holds the stop signals back from its first instruction, then loads the
// command's module, whose first act installs their handlers. Until then a signal stays pending
// instead of ending the run with no summary; only the loading of the C library comes before.
static void holdStopSignals(void) {
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGHUP);
    sigprocmask(SIG_BLOCK, &stops, NULL);
}

// Before the C library's own initializers, the earliest a program's code runs.
__attribute__((used, section(".preinit_array"))) static void (*holdFirst)(void) = holdStopSignals;

int main(int argc, char** argv) {
    holdStopSignals();  // again, harmless, where the entry above is not run
    // Beside the program wherever it was installed or moved, not where it was built.
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path);
    char* slash = n > 0 && (size_t)n < sizeof path ? memrchr(path, '/', (size_t)n) : NULL;
    if (!slash) {
        fprintf(stderr, "tallyfold: cannot find the program's own folder in /proc/self/exe: %s\n",
                n < 0 ? strerror(errno) : "name too long");
        return 1;
    }
    const size_t room = sizeof path - (size_t)(slash + 1 - path);
    if ((size_t)snprintf(slash + 1, room, "%s", TALLYFOLD_COMMAND_MODULE) >= room) {
        fprintf(stderr, "tallyfold: the path of the command's module is too long\n");
        return 1;
    }
    void* module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    __typeof__(tallyfold_command_main)* entry =
        module ? (__typeof__(tallyfold_command_main)*)dlsym(module, "tallyfold_command_main") : NULL;
    if (!entry) {
        fprintf(stderr, "tallyfold: %s\n", dlerror());
        return 1;
    }
    return entry(argc, argv);
}
