#pragma once

#include "outside/interfaces.h"

namespace tallyfold {

// The statement CheckPermission runs and its values, so that it can be asked ahead.
std::pair<QString, QVariantList> permissionQuery(const QString& systemName, const QString& userName,
                                                 const QString& functionName);

// Grants a right when UserPermission holds a row (UserName, SystemName, FunctionName).
class TablePermission : public PermissionAuth {
public:
    Variant CheckPermission(std::shared_ptr<Connection>& connection, const QString& systemName, QString& userName,
                            const Variant& omitted, const QString& functionName, bool flag1, bool flag2) override;
};

}  // namespace tallyfold
