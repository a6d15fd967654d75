#include "platform/regional_datetime.h"

namespace tallyfold {

QString regionalDateTimeText(const QDateTime& dt) {
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
