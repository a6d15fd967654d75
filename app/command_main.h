#pragma once

// The command's code is a module of its own that the program tallyfold loads (launcher.c): the
// program itself loads no library but the C library, so a stop signal waits for the handlers from
// the first instant instead of killing the run while the loader maps Qt and the database clients.
#ifdef __cplusplus
extern "C" {
#endif

// The command as its main would run it; the first thing it does is to install the stop signals'
// handlers and unblock those signals, so one that came while the module loaded is acted on.
__attribute__((visibility("default"))) int tallyfold_command_main(int argc, char** argv);

#ifdef __cplusplus
}
#endif
