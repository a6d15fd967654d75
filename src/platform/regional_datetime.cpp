#include "platform/regional_datetime.h"

namespace tallyfold {

QString regionalDateTimeText(const QDateTime& dt) {
    // Four-digit years by hand: Qt's formatter goes through the calendar and the C locale
    // each time, and an import asks once per record.
    const QDate date = dt.date();
    if (dt.isValid() && date.year() >= 1000 && date.year() <= 9999) {
        const QTime time = dt.time();
        const int parts[] = {date.year(), date.month(), date.day(), time.hour(), time.minute(), time.second()};
        const bool midnight = time == QTime(0, 0);
        char text[20] = {'0', '0', '0', '0', '-', '0', '0', '-', '0', '0', ' ', '0', '0', ':', '0', '0', ':', '0', '0'};
        const int ends[] = {4, 7, 10, 13, 16, 19};
        for (int i = 0; i < 6; ++i)
            for (int n = parts[i], at = ends[i] - 1; n > 0; n /= 10, --at)
                text[at] = char('0' + n % 10);
        return QString::fromLatin1(text, midnight ? 10 : 19);
    }
    if (dt.time() == QTime(0, 0))
        return dt.toString(QStringLiteral("yyyy-MM-dd"));
    return dt.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

Clock systemClock() {
    return [] {
        QDateTime now = QDateTime::currentDateTime();
        const QTime t = now.time();
        now.setTime(QTime(t.hour(), t.minute(), t.second()));
        return now;
    };
}

}  // namespace tallyfold
