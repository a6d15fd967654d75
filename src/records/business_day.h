#pragma once

#include "outside/interfaces.h"
#include "platform/error.h"
#include "platform/prompts.h"

#include <QTime>
#include <optional>

namespace tallyfold {

// The three times of day from Tcon_MonTime: the limit (1) and the window (7 to 8).
struct BusinessDayTimes {
    QTime paraTime1{0, 0};
    QTime paraTime7{0, 0};
    QTime paraTime8{0, 0};
    // Why the last load failed; while set, no record may be stored: its day would be a guess,
    // and once the setting is mended the same swipe would be stored again on another day.
    // Set until a load has read them: a load that stopped before them leaves these zeros unread.
    std::optional<Error> unreadable = Error(errc::InvalidCall, QStringLiteral("the load stopped before it read them"));
};

// Raises why the times could not be read, if they could not.
void requireBusinessDayTimes(const BusinessDayTimes& times);

// 1 when a record at time of day t moves on by one business day, else 0.
int businessDayOffset(const BusinessDayTimes& times, const QTime& t);

// A ParaTimeValue as a time of day: a time, a full date-time or text that reads as either.
QTime parameterTime(const Variant& value);

// The one query that reads them.
inline const QString BusinessDayTimesStatement =
    QStringLiteral("Select ParaName, ParaTimeValue From Tcon_MonTime where ParaName in (1,7,8) ");

// Loads parameters 1, 7 and 8 in that order; a failure raises after the
// earlier ones were stored, leaving the later ones as they were.
void loadBusinessDayTimes(DatabaseTool& tool, BusinessDayTimes& times);

// getTimeBZBE: loads the times; a failure shows "number : description".
void getTimeBZBE(DatabaseTool& tool, BusinessDayTimes& times, Prompts& prompts);
// getGatherDay: the offset for a "yyyy-MM-dd hh:mm" text; a failure shows the box and gives 0.
qint16 getGatherDay(const BusinessDayTimes& times, const QString& recordDateTime, Prompts& prompts);

}  // namespace tallyfold
