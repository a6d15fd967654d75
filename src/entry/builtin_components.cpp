#include "entry/builtin_components.h"

#include "outside/builtin_registration.h"
#include "outside/database_tool.h"
#include "outside/interfaces.h"
#include "outside/serial/serial_device_link.h"
#include "outside/table_permission.h"

namespace tallyfold {

namespace {
class PlainIniFile : public IniFileTool {};
class PlainOnTop : public OnTopTool {};
}  // namespace

void registerBuiltinComponents(const HostSettings& host) {
    registerBuiltinComponent(progid::DatabaseTool, [host] { return std::make_unique<HostDatabaseTool>(host); });
    registerBuiltinComponent(progid::Permission, [] { return std::make_unique<TablePermission>(); });
    registerBuiltinComponent(progid::IniFile, [] { return std::make_unique<PlainIniFile>(); });
    registerBuiltinComponent(progid::OnTop, [] { return std::make_unique<PlainOnTop>(); });
    registerBuiltinComponent(progid::DeviceLink,
                             [host] { return std::unique_ptr<Component>(createSerialDeviceLink(host).release()); });
}

}  // namespace tallyfold
