#include "gather_window/operator_rights.h"

#include "outside/table_permission.h"

#include <vector>

namespace tallyfold {

namespace {
struct Right {
    const char* suffix;
    std::vector<Button> buttons;
};
// ".操作" covers clearing as well as gathering, as the command asks it for both: erasing a
// terminal's records is no less an operation than reading them.
const Right Rights[] = {{".测试", {Button::LanTest}},
                        {".操作", {Button::Work, Button::Clear}},
                        {".读取", {Button::Read}}};
}  // namespace

void OperatorRights::check(PermissionAuth& auth, std::shared_ptr<Connection> connection, Mdl_GatherData& module) {
    for (const auto& [suffix, buttons] : Rights) {
        // The connection and the user name go by reference: what the component leaves in them stays.
        const Variant granted = auth.CheckPermission(connection, SystemName, module.Pub_UserName, Variant(),
                                                     rightFunction(module, suffix), true, true);
        if (granted.equalsFalse())
            withdrawn_.insert(buttons.begin(), buttons.end());
    }
}

std::vector<std::pair<QString, QVariantList>> OperatorRights::questions(const Mdl_GatherData& module) {
    std::vector<std::pair<QString, QVariantList>> out;
    for (const auto& right : Rights)
        out.push_back(permissionQuery(SystemName, module.Pub_UserName, rightFunction(module, right.suffix)));
    return out;
}

}  // namespace tallyfold
