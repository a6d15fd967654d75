#include "records/record_line.h"

#include "platform/error.h"

namespace tallyfold {

static bool allDigits(QStringView s) {
    for (QChar c : s)
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    return true;
}

RecordLine parseRecordLine(const QString& line) {
    RecordLine r;
    r.text = line.left(RecordTextLength);
    r.card = r.text.mid(2, 6);
    if (r.text.size() < RecordTextLength)
        return r;
    const QStringView stamp = QStringView(r.text).mid(8, 10);
    const QStringView yy = stamp.mid(0, 2), mm = stamp.mid(2, 2), dd = stamp.mid(4, 2), hh = stamp.mid(6, 2),
                      mi = stamp.mid(8, 2);
    r.dateText = QLatin1String("20") % yy % QLatin1Char('-') % mm % QLatin1Char('-') % dd;
    r.recordDateTimeText = r.dateText % QLatin1Char(' ') % hh % QLatin1Char(':') % mi;
    r.displayTime = hh % QLatin1Char(':') % mi % QLatin1String(":00");
    if (!allDigits(stamp))
        return r;
    const QDate date(2000 + yy.toInt(), mm.toInt(), dd.toInt());
    const QTime time(hh.toInt(), mi.toInt());
    if (date.isValid() && time.isValid())
        r.recordDateTime = QDateTime(date, time, Qt::UTC);  // plain wall time: no time-zone lookups
    return r;
}

int recordAddress(const QString& recordText) {
    const QString digits = recordText.left(2);
    bool ok = digits.size() == 2;
    for (QChar c : digits) {
        const char a = c.toLatin1();
        ok = ok && ((a >= '0' && a <= '9') || (a >= 'a' && a <= 'f') || (a >= 'A' && a <= 'F'));
    }
    const int value = ok ? digits.toInt(&ok, 16) : 0;
    if (!ok)
        throw Error(errc::TypeMismatch,
                    QStringLiteral("Type mismatch: terminal address \"%1\" is not two hexadecimal digits").arg(digits));
    return value;
}

}  // namespace tallyfold
