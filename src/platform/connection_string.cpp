#include "platform/connection_string.h"
#include "platform/sql_server_odbc.h"

#include <QStringList>

namespace tallyfold {

ConnectionString::ConnectionString(const QString& text) {
    // Items are split on ';' outside quotes and braces, so such a value may hold one;
    // its closing character doubled inside stands for the character itself.
    QString key, value;
    bool inValue = false;
    bool quoted = false;
    QChar closing;
    qsizetype start = -1, end = -1;  // the value as written
    auto finish = [&] {
        QString k = key.trimmed().toLower();
        // "Pwd" is the other common spelling of the password key.
        if (k == QLatin1String("pwd"))
            k = QStringLiteral("password");
        if (inValue && !k.isEmpty()) {
            const QString v = quoted ? value : value.trimmed();
            items_.insert(k, v);
            if (start >= 0)
                written_.push_back(Item{k, v, start, end - start});
        }
        key.clear();
        value.clear();
        inValue = false;
        quoted = false;
        start = end = -1;
    };
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (!closing.isNull()) {
            if (c == closing && i + 1 < text.size() && text[i + 1] == closing)
                value += text[++i];
            else if (c == closing)
                closing = QChar();
            else
                value += c;
            end = i + 1;
        } else if (c == QLatin1Char(';')) {
            finish();
        } else if (!inValue && c == QLatin1Char('=')) {
            inValue = true;
        } else if (inValue && !quoted && value.trimmed().isEmpty() &&
                   (c == QLatin1Char('"') || c == QLatin1Char('\'') || c == QLatin1Char('{'))) {
            closing = c == QLatin1Char('{') ? QLatin1Char('}') : c;
            quoted = true;
            value.clear();
            start = i;
            end = i + 1;
        } else if (inValue && quoted) {
            if (!c.isSpace()) {
                value += c;
                end = i + 1;
            }
        } else if (inValue) {
            value += c;
            if (!c.isSpace()) {
                start = start < 0 ? i : start;
                end = i + 1;
            }
        } else {
            key += c;
        }
    }
    finish();
}

QString ConnectionString::value(const QString& key) const {
    return items_.value(key.toLower());
}

bool ConnectionString::has(const QString& key) const {
    return items_.contains(key.toLower());
}

ProviderKind providerKind(const ConnectionString& cs) {
    const QString p = cs.provider().toLower();
    if (p == QLatin1String("sqlite"))
        return ProviderKind::SQLite;
    if (p == QLatin1String("postgresql"))
        return ProviderKind::PostgreSQL;
    if (p == QLatin1String("sqloledb.1") || p == QLatin1String("sqloledb"))
        return ProviderKind::SqlServer;
    if (p.startsWith(QLatin1String("microsoft.jet.oledb")))
        return ProviderKind::Access;
    return ProviderKind::Unknown;
}

// An ODBC value that holds a separator goes in braces, a closing brace doubled,
// so a password like "a;b" cannot end its item and add keys of its own.
static QString odbcValue(const QString& value) {
    static const QString special = QStringLiteral(";{}=");
    bool plain = value == value.trimmed();
    for (QChar c : value)
        plain = plain && !special.contains(c);
    if (plain)
        return value;
    return QLatin1Char('{') + QString(value).replace(QStringLiteral("}"), QStringLiteral("}}")) + QLatin1Char('}');
}

QString sqlServerOdbcString(const ConnectionString& cs) {
    QString server = cs.value(QStringLiteral("Data Source"));
    QString port;
    // "host,port" is how SQL Server clients name a port.
    if (const qsizetype comma = server.indexOf(QLatin1Char(',')); comma >= 0) {
        port = server.mid(comma + 1).trimmed();
        server = server.left(comma).trimmed();
    }
    QStringList parts;
    parts << QStringLiteral("DRIVER={FreeTDS}") << QStringLiteral("SERVER=") + odbcValue(server);
    if (!port.isEmpty())
        parts << QStringLiteral("PORT=") + odbcValue(port);
    if (cs.has(QStringLiteral("Initial Catalog")))
        parts << QStringLiteral("DATABASE=") + odbcValue(cs.value(QStringLiteral("Initial Catalog")));
    if (cs.has(QStringLiteral("User ID")))
        parts << QStringLiteral("UID=") + odbcValue(cs.value(QStringLiteral("User ID")));
    if (cs.has(QStringLiteral("Password")))
        parts << QStringLiteral("PWD=") + odbcValue(cs.value(QStringLiteral("Password")));
    parts << QStringLiteral("TDS_Version=7.4") << QStringLiteral("ClientCharset=UTF-8");
    return parts.join(QLatin1Char(';')) + QLatin1Char(';');
}

}  // namespace tallyfold
