#include "records/device_waiting.h"
#include "records/mdl_gather_data.h"
#include "records/operation_support.h"
#include "records/operations.h"

namespace tallyfold {

Outcome runLinkTest(GatherSession& session, OperatorView& view) {
    return trapped(
        view,
        [&] {
            Mdl_GatherData& module = session.module;
            if (refusedWithoutTerminal(module, view))
                return Outcome::Refused;
            DeviceLink& device = *session.Device;
            const DeviceWaiting waiting(device, view);
            const qint16 portNumber = module.Pub_ComX.toInt16();
            PortGuard port(device);
            if (device.SetPort(Variant(int(portNumber))) != true) {
                explainDeviceFailure(view, device);
                view.prompts().message(promptBox(QStringLiteral("提示：\r\n串口打开失败!")));
                return Outcome::Refused;
            }
            // One reading of the clock: hour, minute and second of the same moment.
            const QTime t = session.clock().time();
            const bool answered = device.ChangeTime(module.Pub_MachAddr, t.hour(), t.minute(), t.second()) == true;
            if (!answered) {
                // Cut short on request, the link is not known to be bad: no failure box.
                stopIfCancelled(
                    view, QStringLiteral("during the link test of terminal %1").arg(module.Pub_MachAddr.toText()));
                explainDeviceFailure(view, device);
            }
            view.prompts().message(promptBox(answered ? QStringLiteral("提示：\r\n通讯测试成功!")
                                                      : QStringLiteral("提示：\r\n通讯测试失败!")));
            port.close();
            return answered ? Outcome::Completed : Outcome::DeviceFailed;
        },
        descriptionBox);
}

}  // namespace tallyfold
