#include "gather_window/operator_rights.h"

namespace tallyfold {

void OperatorRights::check(PermissionAuth& auth, std::shared_ptr<Connection> connection, Mdl_GatherData& module) {
    const std::pair<const char*, Button> rights[] = {
        {".测试", Button::LanTest}, {".操作", Button::Work}, {".读取", Button::Read}};
    for (const auto& [suffix, button] : rights) {
        // The connection and the user name go by reference: what the component leaves in them stays.
        const Variant granted =
            auth.CheckPermission(connection, QStringLiteral("考勤系统"), module.Pub_UserName, Variant(),
                                 module.Pub_Caption + QString::fromUtf8(suffix), true, true);
        if (granted.equalsFalse())
            withdrawn_.insert(button);
    }
}

}  // namespace tallyfold
