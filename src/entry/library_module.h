#pragma once

#include "platform/prompts.h"
#include "platform/variant.h"
#include "records/mdl_gather_data.h"

namespace tallyfold {

class F_GatherData;

// What the library keeps while it is loaded, owned here and handed to the
// window: the shared variables, which outlive every window, and the one
// gathering window, while it is open.
Mdl_GatherData& libraryModule();
F_GatherData* gatherWindow();

// What ShowA does: takes the operator into the shared variables, then shows the
// gathering window, loading it first unless it is open. `prompts` answers the
// boxes and the file dialog of a window loaded now (nullptr: its own widgets).
// Raises error 5 without a QApplication or off its thread, and when the
// operator cannot be taken or the load fails before its own trap.
F_GatherData& showGatherWindow(const Variant& user, const Variant& caption, Prompts* prompts = nullptr);

inline const QString OtherThreadText =
    QStringLiteral("ShowA was called from a thread other than the application's main thread");

}  // namespace tallyfold
