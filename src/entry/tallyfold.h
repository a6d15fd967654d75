/* C entry point of the Tallyfold library, for hosts that are not C++. */
#ifndef TALLYFOLD_H
#define TALLYFOLD_H

#include "tallyfold_version.h"

#define TALLYFOLD_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

typedef struct tallyfold_kq tallyfold_kq;

TALLYFOLD_API tallyfold_kq* tallyfold_kq_create(void);
TALLYFOLD_API void tallyfold_kq_release(tallyfold_kq* kq);

/* Opens the gathering window; texts are UTF-8, sys_date "yyyy-MM-dd" or NULL.
   user or caption NULL stand for a Null value. Returns 0, or the error number
   (tallyfold_last_error() then describes it): 5 from a thread other than the
   application's (the process's main thread when there is none yet), when the host's
   application is no QApplication, or from inside another call; 13 for a sys_date
   that is no such date; 94 for a Null user or caption. Creates the Qt application
   object when the host has none. */
TALLYFOLD_API long tallyfold_kq_show_a(tallyfold_kq* kq, const char* user, const char* title, const char* caption,
                                       const char* sys_date);

/* The description of the last failed call on this thread, UTF-8. */
TALLYFOLD_API const char* tallyfold_last_error(void);

/* For hosts without a Qt event loop: runs it until the window is closed. */
TALLYFOLD_API int tallyfold_run_until_closed(void);

#ifdef __cplusplus
}
#endif

#endif
