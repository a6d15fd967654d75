#include "platform/regional_datetime.h"

namespace tallyfold {

QString regionalDateTimeText(const QDateTime& dt) {
    const QDate d = dt.date();
    const QTime t = dt.time();
    const bool dateOnly = t == QTime(0, 0);
    if (!d.isValid() || d.year() < 1000 || d.year() > 9999)
        return dt.toString(dateOnly ? QStringLiteral("yyyy-MM-dd") : QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    // Digit by digit: every stored record passes here, and a formatted toString() cost more than the rest of its line.
    char text[19];
    const auto put = [&text](int at, int value, int digits) {
        for (int i = digits - 1; i >= 0; --i, value /= 10)
            text[at + i] = char('0' + value % 10);
    };
    put(0, d.year(), 4);
    text[4] = '-';
    put(5, d.month(), 2);
    text[7] = '-';
    put(8, d.day(), 2);
    if (dateOnly)
        return QString::fromLatin1(text, 10);
    text[10] = ' ';
    put(11, t.hour(), 2);
    text[13] = ':';
    put(14, t.minute(), 2);
    text[16] = ':';
    put(17, t.second(), 2);
    return QString::fromLatin1(text, 19);
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
