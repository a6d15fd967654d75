#include "outside/table_permission.h"

#include "platform/error.h"
#include "platform/recordset.h"

namespace tallyfold {

std::pair<QString, QVariantList> permissionQuery(const QString& systemName, const QString& userName,
                                                 const QString& functionName) {
    // The operator's name and the function's are bound, never part of the statement's text.
    return {QStringLiteral("select count(*) as n from UserPermission "
                           "where UserName=? and SystemName=? and FunctionName=?"),
            {userName, systemName, functionName}};
}

Variant TablePermission::CheckPermission(std::shared_ptr<Connection>& connection, const QString& systemName,
                                         QString& userName, const Variant&, const QString& functionName, bool, bool) {
    if (!connection)
        throw Error(errc::ObjectNotSet, QStringLiteral("The permission check has no connection"));
    const auto [statement, values] = permissionQuery(systemName, userName, functionName);
    Recordset rs;
    rs.Open(statement, values, connection);
    const bool granted = rs.Fields(QStringLiteral("n")).toQVariant().toLongLong() > 0;
    rs.Close();
    return Variant(granted);
}

}  // namespace tallyfold
