#pragma once

#include "outside/interfaces.h"
#include "records/mdl_gather_data.h"

#include <set>

namespace tallyfold {

// The window's five buttons, for the rights, the busy rule and the tests.
enum class Button { LanTest, Work, Read, Clear, Close };

// The operator's rights over the buttons: all allowed until a check withdraws one,
// and a withdrawn one stays withdrawn for the window's life.
class OperatorRights {
public:
    bool allows(Button button) const { return !withdrawn_.count(button); }
    // Checks ".测试", ".操作" (采集 and 清空) and ".读取" in this order, each withdrawn at once
    // when denied, so a component failing part-way leaves the earlier answers in force.
    // Raises what the component raises; the component may change the
    // connection it is handed and the operator's name, as by reference.
    void check(PermissionAuth& auth, std::shared_ptr<Connection> connection, Mdl_GatherData& module);
    // The statements and values check() asks through the table's own permission component, in
    // its order, for asking them ahead.
    static std::vector<std::pair<QString, QVariantList>> questions(const Mdl_GatherData& module);
    // While an operation runs only "退出" stays pressable; otherwise what the rights allow.
    bool enabled(Button button, bool operationRunning) const {
        return allows(button) && (button == Button::Close || !operationRunning);
    }

private:
    std::set<Button> withdrawn_;
};

}  // namespace tallyfold
