#pragma once

#include "platform/connection.h"

namespace tallyfold {

// Creates the host tables the system reads and writes; running it again changes nothing.
void createHostSchema(Connection& connection);
// Adds the demo terminals, time parameters and the demo operator's rights, once.
void addDemoData(Connection& connection);
// Business-day times that move no record (the limit 00:00:00 before the window's end
// 23:59:59), unless the table holds times already: a site sets its own.
void addDefaultTimes(Connection& connection);

inline const QString DemoUser = QStringLiteral("admin");
inline const QString DemoCaption = QStringLiteral("消费管理");

}  // namespace tallyfold
