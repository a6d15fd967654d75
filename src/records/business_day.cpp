#include "records/business_day.h"

#include "platform/error.h"

#include <QDateTime>
#include <algorithm>
#include <vector>

namespace tallyfold {

int businessDayOffset(const BusinessDayTimes& times, const QTime& t) {
    if (times.paraTime1 < times.paraTime8)
        return 0;
    if (times.paraTime7 < times.paraTime8)
        return (times.paraTime7 <= t && t <= times.paraTime8) ? 1 : 0;
    // A window across midnight: only its part after midnight counts.
    return (QTime(0, 0) <= t && t <= times.paraTime8) ? 1 : 0;
}

QTime parameterTime(const Variant& value) {
    if (value.kind() == Variant::Kind::DateTime) {
        const QTime t = value.toDateTime().time();
        return QTime(t.hour(), t.minute(), t.second());
    }
    const QString text = value.toText().trimmed();
    for (const char* format : {"HH:mm:ss", "H:mm:ss", "HH:mm", "H:mm"}) {
        const QTime t = QTime::fromString(text, QLatin1String(format));
        if (t.isValid())
            return t;
    }
    for (const char* format : {"yyyy-MM-dd HH:mm:ss", "yyyy-MM-ddTHH:mm:ss", "yyyy-MM-dd HH:mm", "yyyy-M-d H:mm:ss",
                               "yyyy-MM-dd HH:mm:ss.zzz"}) {
        const QDateTime dt = QDateTime::fromString(text, QLatin1String(format));
        if (dt.isValid())
            return QTime(dt.time().hour(), dt.time().minute(), dt.time().second());
    }
    throw Error(errc::TypeMismatch, QStringLiteral("Type mismatch: \"%1\" is not a time").arg(text));
}

void loadBusinessDayTimes(DatabaseTool& tool, BusinessDayTimes& times) {
    // One query for the three: a far server costs a round trip each.
    auto rs = tool.RecordSetA(BusinessDayTimesStatement);
    std::vector<std::pair<int, Variant>> rows;
    for (; !rs->Eof(); rs->MoveNext())
        rows.emplace_back(rs->Fields(QStringLiteral("ParaName")).toText().trimmed().toInt(),
                          rs->Fields(QStringLiteral("ParaTimeValue")));
    const std::pair<int, QTime*> parameters[] = {{1, &times.paraTime1}, {7, &times.paraTime7}, {8, &times.paraTime8}};
    for (const auto& [name, target] : parameters) {
        const auto row =
            std::find_if(rows.begin(), rows.end(), [name = name](const auto& r) { return r.first == name; });
        if (row == rows.end())
            throw Error(errc::NoCurrentRecord,
                        QStringLiteral("Either BOF or EOF is True, or the current record has been deleted"));
        *target = parameterTime(row->second);
    }
}

static MessageRequest numberedErrorBox(const Error& e) {
    return plainBox(QString::number(e.number()) + QStringLiteral(" : ") + e.description());
}

void getTimeBZBE(DatabaseTool& tool, BusinessDayTimes& times, Prompts& prompts) {
    try {
        loadBusinessDayTimes(tool, times);
        times.unreadable.reset();
    } catch (const Error& e) {
        times.unreadable = e;
        prompts.message(numberedErrorBox(e));
    } catch (const std::exception& e) {
        times.unreadable = Error(-1, QString::fromLocal8Bit(e.what()));
        prompts.message(numberedErrorBox(*times.unreadable));
    }
}

void requireBusinessDayTimes(const BusinessDayTimes& times) {
    if (times.unreadable)
        throw Error(times.unreadable->number(),
                    QStringLiteral("the business-day times in Tcon_MonTime cannot be read (%1); nothing was stored")
                        .arg(times.unreadable->description()));
}

qint16 getGatherDay(const BusinessDayTimes& times, const QString& recordDateTime, Prompts& prompts) {
    // Fixed positions of "yyyy-MM-dd hh:mm"; read by hand, it is asked once per record.
    const QStringView text(recordDateTime);
    bool ok = text.size() == 16;
    const QDate date = ok ? QDate(text.mid(0, 4).toInt(&ok), text.mid(5, 2).toInt(), text.mid(8, 2).toInt()) : QDate();
    const QTime time = ok ? QTime(text.mid(11, 2).toInt(), text.mid(14, 2).toInt()) : QTime();
    if (!date.isValid() || !time.isValid()) {
        prompts.message(numberedErrorBox(
            Error(errc::TypeMismatch, QStringLiteral("Type mismatch: \"%1\" is not a date-time").arg(recordDateTime))));
        return 0;
    }
    return qint16(businessDayOffset(times, time));
}

}  // namespace tallyfold
