#pragma once

#include <QMap>
#include <QString>
#include "platform/export.h"

namespace tallyfold {

// An ADO-style "Provider=...;Key=Value;..." string split into its items.
// Keys compare without regard to case ("Pwd" is "Password"); the last of repeated
// keys wins. A value in "..." or '...' may hold ';', its quote doubled inside.
class TALLYFOLD_EXPORT ConnectionString {
public:
    explicit ConnectionString(const QString& text);

    QString value(const QString& key) const;
    bool has(const QString& key) const;
    QString provider() const { return value(QStringLiteral("Provider")); }

private:
    QMap<QString, QString> items_;  // lower-case key -> value
};

enum class ProviderKind { SQLite, PostgreSQL, SqlServer, Access, Unknown };

TALLYFOLD_EXPORT ProviderKind providerKind(const ConnectionString& cs);

// The ODBC connect string that reaches SQL Server through FreeTDS.
QString sqlServerOdbcString(const ConnectionString& cs);

}  // namespace tallyfold
