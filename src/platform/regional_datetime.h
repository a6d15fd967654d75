#pragma once

#include <QDateTime>
#include <QString>
#include <functional>

namespace tallyfold {

// The regional date-time text of this port: short date, a blank, long time;
// the time is left out when it is exactly midnight.
QString regionalDateTimeText(const QDateTime& dt);

// Reads the computer's clock; operations take one so tests can fix the time.
using Clock = std::function<QDateTime()>;
Clock systemClock();

}  // namespace tallyfold
