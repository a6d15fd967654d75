#pragma once

#include <QDateTime>
#include <QString>

namespace tallyfold {

constexpr int RecordTextLength = 18;

// What one line of a record file says: positions 1-2 the terminal address in
// hexadecimal, 3-8 the card, 9-18 yymmddhhmm (seconds are always 00).
struct RecordLine {
    QString text;                // the first 18 characters
    QString recordDateTimeText;  // "yyyy-MM-dd hh:mm"
    QDateTime recordDateTime;    // invalid when the line's date-time is not a real one
    QString card;
    QString dateText;     // "20yy-MM-dd" as written, never moved
    QString displayTime;  // "hh:mm:00"

    bool hasValidDateTime() const { return recordDateTime.isValid(); }
};

RecordLine parseRecordLine(const QString& line);

// The address read as two hexadecimal digits; raises when they are not.
int recordAddress(const QString& recordText);

}  // namespace tallyfold
