#pragma once

#include <QMap>
#include <QString>
#include <vector>
#include "platform/export.h"

namespace tallyfold {

// An ADO-style "Provider=...;Key=Value;..." string split into its items.
// Keys compare without regard to case ("Pwd" is "Password"); the last of repeated
// keys wins. A value in "...", '...' or {...} may hold ';', its closing character
// doubled inside.
class TALLYFOLD_EXPORT ConnectionString {
public:
    explicit ConnectionString(const QString& text);

    QString value(const QString& key) const;
    bool has(const QString& key) const;
    QString provider() const { return value(QStringLiteral("Provider")); }

    // An item as the text holds it, so that what prints the text can hide a value
    // exactly where this grammar found it.
    struct Item {
        QString key;  // lower case, "pwd" as "password"
        QString value;
        qsizetype start = 0;  // the value as written, quotes or braces included, blanks around it not
        qsizetype length = 0;
    };
    // Every item with a value, in the text's order, repeated keys included.
    const std::vector<Item>& written() const { return written_; }

private:
    QMap<QString, QString> items_;  // lower-case key -> value
    std::vector<Item> written_;
};

enum class ProviderKind { SQLite, PostgreSQL, SqlServer, Access, Unknown };

TALLYFOLD_EXPORT ProviderKind providerKind(const ConnectionString& cs);

}  // namespace tallyfold
