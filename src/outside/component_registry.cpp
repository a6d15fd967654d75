#include "outside/builtin_registration.h"

#include <QHash>
#include <QMutex>

namespace tallyfold {

namespace {
struct Registry {
    QMutex mutex;
    QHash<QString, ComponentFactory> overrides;
    QHash<QString, ComponentFactory> builtins;
};
Registry& registry() {
    static Registry r;
    return r;
}
}  // namespace

void registerComponent(const QString& progId, ComponentFactory factory) {
    Registry& r = registry();
    QMutexLocker lock(&r.mutex);
    r.overrides.insert(progId.toLower(), std::move(factory));
}

void registerBuiltinComponent(const QString& progId, ComponentFactory factory) {
    Registry& r = registry();
    QMutexLocker lock(&r.mutex);
    r.builtins.insert(progId.toLower(), std::move(factory));
}

void unregisterComponent(const QString& progId) {
    Registry& r = registry();
    QMutexLocker lock(&r.mutex);
    r.overrides.remove(progId.toLower());
}

std::unique_ptr<Component> createComponentObject(const QString& progId) {
    ComponentFactory factory;
    {
        Registry& r = registry();
        QMutexLocker lock(&r.mutex);
        factory = r.overrides.value(progId.toLower());
        if (!factory)
            factory = r.builtins.value(progId.toLower());
    }
    std::unique_ptr<Component> object = factory ? factory() : nullptr;
    if (!object)
        throw Error(errc::CannotCreateComponent, QStringLiteral("Cannot create component %1").arg(progId));
    return object;
}

}  // namespace tallyfold
