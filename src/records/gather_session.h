#pragma once

#include "outside/interfaces.h"
#include "platform/regional_datetime.h"
#include "records/business_day.h"

#include <memory>

namespace tallyfold {

// What the gathering window holds from load to unload apart from its widgets:
// its outside components, its connection and the time parameters. The
// command line holds one the same way, so both run the same operations.
struct GatherSession {
    std::unique_ptr<DatabaseTool> DbTool;
    std::shared_ptr<Connection> Conn;
    std::unique_ptr<DeviceLink> Device;
    std::unique_ptr<OnTopTool> OnTop;
    std::unique_ptr<IniFileTool> iniFile;  // only while loading
    BusinessDayTimes times;
    Clock clock = systemClock();

    // Load steps 1 and 2: DbTool, IniFile, OnTop, Device, then Conn. Raises.
    void createComponents();
    // The IniFile instance lives until the load has ended.
    void loadFinished() { iniFile.reset(); }
    // Unload: release DbTool, OnTop, Conn and Device in that order, ignoring every error.
    void release() noexcept;
};

}  // namespace tallyfold
