#include "records/device_waiting.h"
#include "records/mdl_gather_data.h"
#include "records/operation_support.h"
#include "records/operations.h"

namespace tallyfold {

bool clearRecords(GatherSession& session, OperatorView& view, std::optional<quint32> below) {
    const QString m = session.module.Pub_MachAddr.toText();
    view.setStatus(QStringLiteral("正在进行机器[") + m + QStringLiteral("]的数据清理"));
    auto* numbered = below ? dynamic_cast<NumberedRecordLink*>(session.Device.get()) : nullptr;
    const bool cleared = numbered ? numbered->clearBelow(session.module.Pub_MachAddr.toInt16(), *below)
                                  : session.Device->ClearRecord(session.module.Pub_MachAddr) == true;
    if (!cleared)
        explainDeviceFailure(view, *session.Device);
    view.setStatus(QStringLiteral("机器[") + m +
                   (cleared ? QStringLiteral("]的数据清理成功") : QStringLiteral("]的数据清理失败")));
    return cleared;
}

void logClearing(GatherSession& session, OperatorView& view, bool cleared) {
    WriteCtrlLog(view, session.module.Pub_UserName, session.clock(), QStringLiteral("清除机器"),
                 QStringLiteral("机器:") + session.module.Pub_MachAddr.toText(),
                 cleared ? QStringLiteral("数据清理成功！") : QStringLiteral("数据清理失败！"));
}

Outcome runClear(GatherSession& session, OperatorView& view) {
    return trapped(
        view,
        [&] {
            Mdl_GatherData& module = session.module;
            // Clearing erases a terminal's records: never send it to no terminal at all.
            if (refusedWithoutTerminal(module, view))
                return Outcome::Refused;
            const QString m = module.Pub_MachAddr.toText();
            const MessageAnswer answer = view.prompts().message(
                MessageRequest{QStringLiteral("确认要清除机器：[") + m + QStringLiteral("] 的打卡记录吗？"),
                               MessageIcon::None, MessageButtons::OkCancel, MessageAnswer::Cancel, QString()});
            if (answer != MessageAnswer::Ok) {
                view.setDetail(QStringLiteral("the clearing of terminal %1 was not confirmed").arg(m));
                return Outcome::Cancelled;
            }
            DeviceLink& device = *session.Device;
            const DeviceWaiting waiting(device, view);
            PortGuard port(device);
            const std::optional<bool> portOpen = device.SetPort(module.Pub_ComX);
            if (portOpen.has_value() && !*portOpen) {
                explainDeviceFailure(view, device);
                view.prompts().message(plainBox(QStringLiteral("机器[") + m + QStringLiteral("]的串口打开失败")));
                view.setStatus(QStringLiteral("机器[") + m + QStringLiteral("]的任务处理中止。原因：{串口打开失败}"));
                return Outcome::Refused;
            }
            stopIfCancelled(view, QStringLiteral("before terminal %1 was cleared; it keeps its records").arg(m));
            const bool cleared = clearRecords(session, view);
            port.close();
            logClearing(session, view, cleared);
            return cleared ? Outcome::Completed : Outcome::DeviceFailed;
        },
        numberedBox);
}

}  // namespace tallyfold
