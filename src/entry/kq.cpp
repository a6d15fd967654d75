#include "entry/kq.h"

#include "entry/builtin_components.h"
#include "entry/library_module.h"
#include "gather_window/f_gather_data.h"
#include "gather_window/qt_translations.h"
#include "outside/database_tool.h"

#include <dlfcn.h>
#include <QApplication>
#include <QPointer>
#include <QScopedValueRollback>
#include <QThread>

namespace tallyfold {

Mdl_GatherData& libraryModule() {
    // Never destroyed: a host whose application outlives main (the one the C entry makes) lets
    // nothing close its connection before exit, and at exit Qt's own database registry may be
    // gone already.
    static auto* module = new Mdl_GatherData();
    return *module;
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

// Qt ends the process when a widget is made without a QApplication, and a widget made on
// another thread than the application's is never safe: both are refused before anything is made.
static void requireApplicationThread() {
    const QCoreApplication* application = QCoreApplication::instance();
    if (!qobject_cast<const QApplication*>(application))
        throw Error(errc::InvalidCall, QStringLiteral("ShowA needs the host's QApplication, and there is none"));
    if (QThread::currentThread() != application->thread())
        throw Error(errc::InvalidCall, OtherThreadText);
}

F_GatherData& showGatherWindow(const Variant& user, const Variant& caption, Prompts* prompts) {
    requireApplicationThread();
    // A host's event that a box of the load lets run may call ShowA again: the first call's window
    // and operator are not the second's to change.
    static bool running = false;
    if (running)
        throw Error(errc::InvalidCall, QStringLiteral("ShowA was called again before its first call returned"));
    const QScopedValueRollback<bool> inside(running, true);
    const HostSettings host = hostSettingsFromEnvironment();
    requireDatabaseFile(host);
    registerBuiltinComponents(host);
    if (F_GatherData* window = gatherWindow()) {
        enterOperator(libraryModule(), user, caption);
        window->bringToFront();
        return *window;
    }
    // Shown before its connection, controls and lists are made, so that the window system maps
    // it meanwhile; it paints, loaded, once the host's loop runs again. Nothing here runs an
    // event of the host's. A load that fails takes the window away again.
    std::unique_ptr<F_GatherData> window = F_GatherData::frame(libraryModule(), host, prompts);
    window->setAttribute(Qt::WA_DeleteOnClose);
    openWindow() = window.get();
    window->show();
    keepLibraryLoaded();
    enterOperator(libraryModule(), user, caption);
    installQtTranslations();
    window->finishLoad();
    return *window.release();
}

void KQ::ShowA(Variant& VarUser, Variant&, Variant& VarCaption, QDateTime&) {
    showGatherWindow(VarUser, VarCaption);
}

void KQ::ShowA(const Variant& user, const Variant&, const Variant& caption, const QDateTime&) {
    showGatherWindow(user, caption);
}

}  // namespace tallyfold
