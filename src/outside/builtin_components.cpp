#include "outside/builtin_components.h"

#include "outside/database_tool.h"
#include "outside/interfaces.h"
#include "outside/serial/serial_device_link.h"
#include "outside/table_permission.h"

namespace tallyfold {

namespace {
class PlainIniFile : public IniFileTool {};
class PlainOnTop : public OnTopTool {};
}  // namespace

ComponentFactory builtinComponentFactory(const QString& progId) {
    const QString id = progId.toLower();
    if (id == progid::DatabaseTool.toLower())
        return [] { return std::make_unique<HostDatabaseTool>(); };
    if (id == progid::Permission.toLower())
        return [] { return std::make_unique<TablePermission>(); };
    if (id == progid::IniFile.toLower())
        return [] { return std::make_unique<PlainIniFile>(); };
    if (id == progid::OnTop.toLower())
        return [] { return std::make_unique<PlainOnTop>(); };
    if (id == progid::DeviceLink.toLower())
        return [] { return std::unique_ptr<Component>(createSerialDeviceLink().release()); };
    return {};
}

}  // namespace tallyfold
