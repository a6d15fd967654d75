// Connection strings come from the host's configuration, typed by people.
#include "fuzz_check.h"
#include "platform/connection_string.h"
#include "platform/sql_server_odbc.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    const tallyfold::ConnectionString cs(text);

    for (const QString& key :
         {QStringLiteral("Provider"), QStringLiteral("Data Source"), QStringLiteral("Initial Catalog"),
          QStringLiteral("User ID"), QStringLiteral("Password")}) {
        const QString value = cs.value(key);
        // Keys compare without case and values come back trimmed, but for a quoted one: its blanks are its own.
        FUZZ_CHECK(value == cs.value(key.toUpper()));
        FUZZ_CHECK(cs.has(key) == cs.has(key.toLower()));
        if (!text.contains(QLatin1Char('"')) && !text.contains(QLatin1Char('\'')) && !text.contains(QLatin1Char('{')))
            FUZZ_CHECK(value == value.trimmed());
        if (!cs.has(key))
            FUZZ_CHECK(value.isEmpty());
    }
    // Where a value is written, in order, inside the text: what masks a password replaces exactly that.
    qsizetype after = 0;
    for (const tallyfold::ConnectionString::Item& item : cs.written()) {
        FUZZ_CHECK(item.start >= after && item.length > 0 && item.start + item.length <= text.size());
        after = item.start + item.length;
    }
    FUZZ_CHECK(cs.provider() == cs.value(QStringLiteral("provider")));
    const tallyfold::ProviderKind kind = tallyfold::providerKind(cs);
    if (kind != tallyfold::ProviderKind::Unknown)
        FUZZ_CHECK(cs.has(QStringLiteral("Provider")));

    const QString odbc = tallyfold::sqlServerOdbcString(cs);
    FUZZ_CHECK(odbc.startsWith(QStringLiteral("DRIVER={FreeTDS};SERVER=")));
    FUZZ_CHECK(odbc.endsWith(QStringLiteral(";TDS_Version=7.4;ClientCharset=UTF-8;")));
    return 0;
}
