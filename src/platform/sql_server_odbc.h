#pragma once

#include "platform/connection_string.h"

#include <QString>

namespace tallyfold {

// The ODBC connect string that reaches SQL Server through FreeTDS: the library's own step
// in opening a connection, not one a host takes, so it stays out of the public headers.
QString sqlServerOdbcString(const ConnectionString& cs);

}  // namespace tallyfold
