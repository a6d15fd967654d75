#include "outside/table_permission.h"

#include "platform/connection_private.h"
#include "platform/error.h"

#include <QSqlError>
#include <QSqlQuery>

namespace tallyfold {

Variant TablePermission::CheckPermission(std::shared_ptr<Connection>& connection, const QString& systemName,
                                         QString& userName, const Variant&, const QString& functionName, bool, bool) {
    if (!connection)
        throw Error(errc::ObjectNotSet, QStringLiteral("The permission check has no connection"));
    const QString select =
        QStringLiteral("select count(*) from UserPermission where UserName=? and SystemName=? and FunctionName=?");
    QSqlQuery query(connection->database());
    query.prepare(select);
    query.addBindValue(userName);
    query.addBindValue(systemName);
    query.addBindValue(functionName);
    if (!query.exec() || !query.next())
        throwDatabaseError(QStringLiteral("The permission check failed"), query.lastError().text(), select);
    return Variant(query.value(0).toLongLong() > 0);
}

}  // namespace tallyfold
