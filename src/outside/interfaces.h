#pragma once

#include "outside/component.h"
#include "platform/connection.h"
#include "platform/export.h"
#include "platform/recordset.h"
#include "platform/variant.h"

#include <QString>
#include <memory>
#include <optional>

namespace tallyfold {

// TamsaTools.Cls_DataBase: hands out the host database's connection and recordsets.
class TALLYFOLD_EXPORT DatabaseTool : public Component {
public:
    virtual std::shared_ptr<Connection> ActiveCn() = 0;
    virtual std::unique_ptr<Recordset> RecordSetA(const QString& statement) = 0;
};

// zev_Permission.Auth: answers whether the operator holds a right.
// The fourth argument is always omitted by the system (Empty).
class TALLYFOLD_EXPORT PermissionAuth : public Component {
public:
    virtual Variant CheckPermission(std::shared_ptr<Connection>& connection, const QString& systemName,
                                    QString& userName, const Variant& omitted, const QString& functionName, bool flag1,
                                    bool flag2) = 0;
};

// VUDOZADOD.Connect: talks to the terminals. An empty result is a Null result.
class TALLYFOLD_EXPORT DeviceLink : public Component {
public:
    virtual std::optional<bool> SetPort(const Variant& port) = 0;
    virtual std::optional<bool> ChangeDate(const Variant& machine, qint16 year, qint16 month, qint16 day) = 0;
    virtual std::optional<bool> ChangeTime(const Variant& machine, double hour, double minute, double second) = 0;
    virtual std::optional<bool> GatherData(qint16 machine, QString& text1, QString& text2) = 0;
    virtual std::optional<bool> ClearRecord(const Variant& machine) = 0;
    virtual void DestoryPort() = 0;
    // Where GatherData writes the records, instead of the host's Source file,
    // so terminals on different ports can be gathered at the same time.
    // False when the link cannot (then they are gathered one after another).
    virtual bool setRecordFile(const QString& path) {
        Q_UNUSED(path);
        return false;
    }
};

// TamsaTools.IniFile and TamsaTools.OnTop: created and released, no member called.
class TALLYFOLD_EXPORT IniFileTool : public Component {};
class TALLYFOLD_EXPORT OnTopTool : public Component {};

}  // namespace tallyfold
