#include "outside/host_schema.h"

#include "platform/connection_private.h"
#include "platform/recordset.h"

#include <QStringList>
#include <initializer_list>

namespace tallyfold {

static bool hasRows(const std::shared_ptr<Connection>& connection, const QString& select);

// The duplicate test looks a record up by card and date-time; either column order serves it. Time first,
// because new records are the newest: they land at the index's end instead of dirtying a page anywhere in
// it, so the cost of a row stays flat as the table grows to millions. A database made by an earlier
// version keeps the card-first index it has (a host may use it): a second index would double every insert.
static void addDuplicateIndex(Connection& connection, ProviderKind provider) {
    std::shared_ptr<Connection> shared(&connection, [](Connection*) {});
    const QString catalog = provider == ProviderKind::PostgreSQL
                                ? QStringLiteral("select indexname from pg_indexes where indexname = '%1'")
                            : provider == ProviderKind::SqlServer
                                ? QStringLiteral("select name from sys.indexes where name = '%1'")
                                : QStringLiteral("select name from sqlite_master where type = 'index' and name = '%1'");
    if (hasRows(shared, catalog.arg(QStringLiteral("ix_consumedtl_card_time"))))
        return;
    connection.Execute(
        QStringLiteral("create index if not exists ix_consumedtl_time_card on Tcon_ConsumeDtl (datatime, Cardid)"));
}

void createHostSchema(Connection& connection) {
    // A plain integer key on SQLite is the rowid: no sequence table to rewrite with every row.
    const ProviderKind provider = ConnectionPrivate::of(connection).provider();
    const QString autoId = provider == ProviderKind::PostgreSQL ? QStringLiteral("serial primary key")
                                                                : QStringLiteral("integer primary key");
    const bool sqlServer = provider == ProviderKind::SqlServer;
    const QString text = sqlServer ? QStringLiteral("nvarchar(max)") : QStringLiteral("text");
    const QStringList statements = {
        QStringLiteral("create table if not exists MachineInfo (MachAddr varchar(10) not null, "
                       "MachDesc varchar(20), COMX integer, Ver varchar(20), Team varchar(40))"),
        QStringLiteral("create table if not exists Tcon_MonTime (ParaName integer primary key, "
                       "ParaTimeValue varchar(30))"),
        QStringLiteral("create table if not exists Tcon_ConsumeDtl (ConsumeID %1, MachAddr integer, "
                       "Cardid varchar(20), datadate varchar(10), datatime timestamp, "
                       "ConsumeType varchar(10) default '计次', Amount numeric(10,2) default 0, "
                       "Flag integer default 0)")
            .arg(autoId),
        // Text, not a width: an action holds a file's full path, of any length.
        QStringLiteral("create table if not exists CtrlLog (LogID %1, UserA %2, TimeA timestamp, "
                       "ObjectA %2, ActionA %2, ResultA %2)")
            .arg(autoId, text),
        QStringLiteral("create table if not exists UserPermission (UserName varchar(50) not null, "
                       "SystemName varchar(50) not null, FunctionName varchar(100) not null)"),
    };
    for (const QString& s : statements)
        connection.Execute(s);
    addDuplicateIndex(connection, provider);
    // A log made by an earlier version had fixed widths; SQLite never enforced them.
    if (provider == ProviderKind::SQLite)
        return;
    for (const char* column : {"UserA", "ObjectA", "ActionA", "ResultA"})
        connection.Execute(
            sqlServer ? QStringLiteral("alter table CtrlLog alter column %1 nvarchar(max)").arg(QLatin1String(column))
                      : QStringLiteral("alter table CtrlLog alter column %1 type text").arg(QLatin1String(column)));
}

static bool hasRows(const std::shared_ptr<Connection>& connection, const QString& select) {
    Recordset rs;
    rs.Open(select, connection);
    const bool any = rs.RecordCount() > 0;
    rs.Close();
    return any;
}

void addDefaultTimes(Connection& connection) {
    std::shared_ptr<Connection> shared(&connection, [](Connection*) {});
    if (hasRows(shared, QStringLiteral("select ParaName from Tcon_MonTime")))
        return;
    for (const char* row : {"(1, '00:00:00')", "(7, '00:00:00')", "(8, '23:59:59')"})
        connection.Execute(QStringLiteral("insert into Tcon_MonTime (ParaName, ParaTimeValue) values ") +
                           QLatin1String(row));
}

void addDemoData(Connection& connection) {
    // A non-owning handle so Recordset can share the caller's connection.
    std::shared_ptr<Connection> shared(&connection, [](Connection*) {});
    if (!hasRows(shared, QStringLiteral("select MachAddr from MachineInfo"))) {
        connection.Execute(
            QStringLiteral("insert into MachineInfo (MachAddr, MachDesc, COMX, Ver, Team) values "
                           "('1', '计次', 1, 'V1.0', '一楼餐厅')"));
        connection.Execute(
            QStringLiteral("insert into MachineInfo (MachAddr, MachDesc, COMX, Ver, Team) values "
                           "('2', '记次', 1, 'V1.0', '二楼餐厅')"));
        connection.Execute(
            QStringLiteral("insert into MachineInfo (MachAddr, MachDesc, COMX, Ver, Team) values "
                           "('3', '考勤', 2, 'V2.1', '大门')"));
    }
    if (!hasRows(shared, QStringLiteral("select ParaName from Tcon_MonTime"))) {
        connection.Execute(QStringLiteral("insert into Tcon_MonTime (ParaName, ParaTimeValue) values (1, '05:00:00')"));
        connection.Execute(QStringLiteral("insert into Tcon_MonTime (ParaName, ParaTimeValue) values (7, '00:30:00')"));
        connection.Execute(QStringLiteral("insert into Tcon_MonTime (ParaName, ParaTimeValue) values (8, '03:00:00')"));
    }
    if (!hasRows(shared, QStringLiteral("select UserName from UserPermission where UserName='admin'"))) {
        for (const char* suffix : {".测试", ".操作", ".读取"})
            connection.Execute(QStringLiteral("insert into UserPermission (UserName, SystemName, FunctionName) "
                                              "values ('%1', '考勤系统', '%2%3')")
                                   .arg(DemoUser, DemoCaption, QString::fromUtf8(suffix)));
    }
}

}  // namespace tallyfold
