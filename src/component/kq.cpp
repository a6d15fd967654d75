#include "component/kq.h"

#include "component/mdl_gather_data.h"
#include "gather_window/f_gather_data.h"
#include "outside/component_registry.h"
#include "outside/interfaces.h"

#include <dlfcn.h>

namespace tallyfold {

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
    Mdl_GatherData& module = gatherModule();
    {
        auto tool = createComponent<DatabaseTool>(progid::DatabaseTool);
        module.Pub_Conn = tool->ActiveCn();
    }
    if (!module.Pub_Conn)
        throw Error(errc::ObjectNotSet, QStringLiteral("The database tool gave no connection"));
    module.Pub_DateQuote = recognisedDateQuote(module.Pub_Conn->ConnectionString(), module.Pub_DateQuote);
    module.Pub_UserName = VarUser.toText();
    module.Pub_Caption = VarCaption.toText();
    keepLibraryLoaded();
    F_GatherData::showShared();
}

}  // namespace tallyfold
