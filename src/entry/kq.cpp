#include "entry/kq.h"

#include "entry/builtin_components.h"
#include "entry/library_module.h"
#include "gather_window/f_gather_data.h"
#include "gather_window/qt_translations.h"
#include "outside/database_tool.h"

#include <dlfcn.h>
#include <QPointer>

namespace tallyfold {

Mdl_GatherData& libraryModule() {
    static Mdl_GatherData module;
    return module;
}

static QPointer<F_GatherData>& openWindow() {
    static QPointer<F_GatherData> window;
    return window;
}

F_GatherData* gatherWindow() {
    F_GatherData* window = openWindow().data();
    return window && window->isLoaded() ? window : nullptr;
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

// Opening a SQLite file that is not there would create an empty database, and the
// load would then fail on its empty tables; only the command's init-db creates one.
static void requireDatabaseFile(const HostSettings& host) {
    const QString missing = missingDatabaseFile(host.configuredConnectionString());
    if (!missing.isEmpty())
        throw Error(errc::FileNotFound, QStringLiteral("找不到数据库文件：") + missing);
}

F_GatherData& showGatherWindow(const Variant& user, const Variant& caption, Prompts* prompts) {
    const HostSettings host = hostSettingsFromEnvironment();
    requireDatabaseFile(host);
    registerBuiltinComponents(host);
    enterOperator(libraryModule(), user, caption);
    keepLibraryLoaded();
    if (F_GatherData* window = gatherWindow()) {
        window->bringToFront();
        return *window;
    }
    installQtTranslations();
    std::unique_ptr<F_GatherData> loaded = F_GatherData::load(libraryModule(), host, prompts);
    loaded->setAttribute(Qt::WA_DeleteOnClose);
    openWindow() = loaded.get();
    loaded->show();
    return *loaded.release();
}

void KQ::ShowA(Variant& VarUser, Variant&, Variant& VarCaption, QDateTime&) {
    showGatherWindow(VarUser, VarCaption);
}

void KQ::ShowA(const Variant& user, const Variant&, const Variant& caption, const QDateTime&) {
    showGatherWindow(user, caption);
}

}  // namespace tallyfold
