#include "outside/table_permission.h"

#include "platform/error.h"
#include "platform/recordset.h"

namespace tallyfold {

Variant TablePermission::CheckPermission(std::shared_ptr<Connection>& connection, const QString& systemName,
                                         QString& userName, const Variant&, const QString& functionName, bool, bool) {
    if (!connection)
        throw Error(errc::ObjectNotSet, QStringLiteral("The permission check has no connection"));
    // The operator's name and the function's are bound, never part of the statement's text.
    Recordset rs;
    rs.Open(QStringLiteral("select count(*) as n from UserPermission "
                           "where UserName=? and SystemName=? and FunctionName=?"),
            {userName, systemName, functionName}, connection);
    const bool granted = rs.Fields(QStringLiteral("n")).toQVariant().toLongLong() > 0;
    rs.Close();
    return Variant(granted);
}

}  // namespace tallyfold
