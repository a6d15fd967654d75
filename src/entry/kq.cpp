#include "entry/kq.h"

#include "entry/builtin_components.h"
#include "entry/library_module.h"
#include "gather_window/f_gather_data.h"

#include <dlfcn.h>

namespace tallyfold {

Mdl_GatherData& libraryModule() {
    static Mdl_GatherData module;
    return module;
}

// The window outlives KQ and the call that opened it, so the library pins
// itself in memory once a window was shown: a host may unload its handle at once.
static void keepLibraryLoaded() {
    static bool pinned = false;
    if (pinned)
        return;
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&keepLibraryLoaded), &info) && info.dli_fname)
        pinned = dlopen(info.dli_fname, RTLD_NOW | RTLD_NODELETE | RTLD_NOLOAD) != nullptr ||
                 dlopen(info.dli_fname, RTLD_NOW | RTLD_NODELETE) != nullptr;
}

void KQ::ShowA(Variant& VarUser, Variant&, Variant& VarCaption, QDateTime&) {
    const HostSettings host = hostSettingsFromEnvironment();
    registerBuiltinComponents(host);
    enterOperator(libraryModule(), VarUser, VarCaption);
    keepLibraryLoaded();
    F_GatherData::showShared(libraryModule(), host);
}

}  // namespace tallyfold
