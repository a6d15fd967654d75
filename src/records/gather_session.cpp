#include "records/gather_session.h"

#include "outside/component_registry.h"

namespace tallyfold {

void GatherSession::createComponents() {
    DbTool = createComponent<DatabaseTool>(progid::DatabaseTool);
    iniFile = createComponent<IniFileTool>(progid::IniFile);
    OnTop = createComponent<OnTopTool>(progid::OnTop);
    Device = createComponent<DeviceLink>(progid::DeviceLink);
    if (!recordFile.isEmpty() && !Device->setRecordFile(recordFile))
        throw Error(errc::CannotCreateComponent, QStringLiteral("The device link cannot write to %1").arg(recordFile));
    Conn = DbTool->ActiveCn();
    if (!Conn)
        throw Error(errc::ObjectNotSet, QStringLiteral("The database tool gave no connection"));
}

void GatherSession::release() noexcept {
    iniFile.reset();
    DbTool.reset();
    OnTop.reset();
    Conn.reset();
    Device.reset();
}

}  // namespace tallyfold
