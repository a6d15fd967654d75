#pragma once

#include "outside/host_folder.h"
#include "outside/interfaces.h"
#include "platform/regional_datetime.h"
#include "records/business_day.h"
#include "records/mdl_gather_data.h"

#include <memory>

namespace tallyfold {

class SharedRecordStore;

// What the gathering window holds from load to unload apart from its widgets:
// its outside components, its connection and the time parameters, and the
// shared variables and host folder it was given. The command line holds one
// the same way, so both run the same operations.
struct GatherSession {
    GatherSession(Mdl_GatherData& module_, HostSettings host_) : module(module_), host(std::move(host_)) {}
    GatherSession(const GatherSession&) = delete;
    GatherSession& operator=(const GatherSession&) = delete;

    Mdl_GatherData& module;
    const HostSettings host;
    std::unique_ptr<DatabaseTool> DbTool;
    std::shared_ptr<Connection> Conn;
    std::unique_ptr<DeviceLink> Device;
    std::unique_ptr<OnTopTool> OnTop;
    std::unique_ptr<IniFileTool> iniFile;  // only while loading
    BusinessDayTimes times;
    // Where the device link writes a gather's records; empty: Source/SourceRecordSet.txt.
    QString recordFile;
    QString sourceRecordFile() const { return recordFile.isEmpty() ? host.sourceRecordFile() : recordFile; }
    // Where the rows go when sessions store at the same time; none: a store of the session's own.
    SharedRecordStore* sharedStore = nullptr;
    Clock clock = systemClock();

    // Load steps 1 and 2: DbTool, IniFile, OnTop, Device, then Conn. Raises.
    void createComponents();
    // The IniFile instance lives until the load has ended.
    void loadFinished() { iniFile.reset(); }
    // Unload: release DbTool, OnTop, Conn and Device in that order, ignoring every error.
    void release() noexcept;
};

}  // namespace tallyfold
