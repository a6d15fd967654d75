#include "gather_window/operator_rights.h"

#include "outside/table_permission.h"

namespace tallyfold {

namespace {
const std::pair<const char*, Button> Rights[] = {
    {".测试", Button::LanTest}, {".操作", Button::Work}, {".读取", Button::Read}};
}  // namespace

void OperatorRights::check(PermissionAuth& auth, std::shared_ptr<Connection> connection, Mdl_GatherData& module) {
    for (const auto& [suffix, button] : Rights) {
        // The connection and the user name go by reference: what the component leaves in them stays.
        const Variant granted = auth.CheckPermission(connection, SystemName, module.Pub_UserName, Variant(),
                                                     rightFunction(module, suffix), true, true);
        if (granted.equalsFalse())
            withdrawn_.insert(button);
    }
}

std::vector<std::pair<QString, QVariantList>> OperatorRights::questions(const Mdl_GatherData& module) {
    std::vector<std::pair<QString, QVariantList>> out;
    for (const auto& right : Rights)
        out.push_back(permissionQuery(SystemName, module.Pub_UserName, rightFunction(module, right.first)));
    return out;
}

}  // namespace tallyfold
