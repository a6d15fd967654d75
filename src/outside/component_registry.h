#pragma once

#include "outside/component.h"
#include "platform/error.h"
#include "platform/export.h"

#include <QString>
#include <functional>
#include <memory>

namespace tallyfold {

namespace progid {
inline const QString DeviceLink = QStringLiteral("VUDOZADOD.Connect");
inline const QString DatabaseTool = QStringLiteral("TamsaTools.Cls_DataBase");
inline const QString Permission = QStringLiteral("zev_Permission.Auth");
inline const QString IniFile = QStringLiteral("TamsaTools.IniFile");
inline const QString OnTop = QStringLiteral("TamsaTools.OnTop");
}  // namespace progid

using ComponentFactory = std::function<std::unique_ptr<Component>()>;

// Creates outside components by ProgID. Our own implementations are
// registered as built-ins by the entry layer; a host or a test may register
// its own factory for a ProgID (before ShowA) and that one wins.
TALLYFOLD_EXPORT void registerComponent(const QString& progId, ComponentFactory factory);
TALLYFOLD_EXPORT void unregisterComponent(const QString& progId);
TALLYFOLD_EXPORT std::unique_ptr<Component> createComponentObject(const QString& progId);

template <class Interface>
std::unique_ptr<Interface> createComponent(const QString& progId) {
    std::unique_ptr<Component> object = createComponentObject(progId);
    if (auto* typed = dynamic_cast<Interface*>(object.get())) {
        object.release();
        return std::unique_ptr<Interface>(typed);
    }
    throw Error(errc::CannotCreateComponent,
                QStringLiteral("Component %1 does not offer the expected interface").arg(progId));
}

}  // namespace tallyfold
