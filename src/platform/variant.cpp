#include "platform/variant.h"

#include "platform/error.h"

#include <cmath>

namespace tallyfold {

Variant Variant::null() {
    Variant v;
    v.value_ = NullTag{};
    return v;
}

Variant Variant::fromQVariant(const QVariant& v) {
    if (!v.isValid() || v.isNull())
        return null();
    switch (v.typeId()) {
    case QMetaType::Bool:
        return Variant(v.toBool());
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Long:
        return Variant(v.toLongLong());
    case QMetaType::Double:
    case QMetaType::Float:
        return Variant(v.toDouble());
    case QMetaType::QDateTime:
        return Variant(v.toDateTime());
    case QMetaType::QDate:
        return Variant(QDateTime(v.toDate(), QTime(0, 0)));
    case QMetaType::QTime:
        return Variant(QDateTime(QDate(1899, 12, 30), v.toTime()));
    default:
        return Variant(v.toString());
    }
}

Variant::Kind Variant::kind() const {
    return static_cast<Kind>(value_.index());
}

static QString doubleText(double d) {
    if (std::isfinite(d) && d == std::floor(d) && std::fabs(d) < 1e15)
        return QString::number(qint64(d));
    return QString::number(d, 'g', 15);
}

QString Variant::toText() const {
    switch (kind()) {
    case Kind::Empty:
        return QString();
    case Kind::Null:
        throw Error(errc::InvalidUseOfNull, QStringLiteral("Invalid use of Null"));
    case Kind::Boolean:
        return std::get<bool>(value_) ? QStringLiteral("True") : QStringLiteral("False");
    case Kind::Integer:
        return QString::number(std::get<qint64>(value_));
    case Kind::Double:
        return doubleText(std::get<double>(value_));
    case Kind::Text:
        return std::get<QString>(value_);
    case Kind::DateTime: {
        const QDateTime dt = std::get<QDateTime>(value_);
        if (dt.time() == QTime(0, 0))
            return dt.toString(QStringLiteral("yyyy-MM-dd"));
        return dt.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    }
    }
    return QString();
}

double Variant::toDouble() const {
    switch (kind()) {
    case Kind::Empty:
        return 0;
    case Kind::Null:
        throw Error(errc::InvalidUseOfNull, QStringLiteral("Invalid use of Null"));
    case Kind::Boolean:
        return std::get<bool>(value_) ? -1 : 0;
    case Kind::Integer:
        return double(std::get<qint64>(value_));
    case Kind::Double:
        return std::get<double>(value_);
    case Kind::Text: {
        bool ok = false;
        const double d = std::get<QString>(value_).trimmed().toDouble(&ok);
        if (!ok)
            throw Error(errc::TypeMismatch,
                        QStringLiteral("Type mismatch: \"%1\" is not a number").arg(std::get<QString>(value_)));
        return d;
    }
    case Kind::DateTime:
        throw Error(errc::TypeMismatch, QStringLiteral("Type mismatch: a date-time is not a number"));
    }
    return 0;
}

qint16 Variant::toInt16() const {
    const double d = toDouble();
    const double r = std::nearbyint(d);  // default rounding mode: half to even
    if (!(r >= -32768.0 && r <= 32767.0))
        throw Error(errc::Overflow, QStringLiteral("Overflow: %1 is outside -32768..32767").arg(toText()));
    return static_cast<qint16>(r);
}

QDateTime Variant::toDateTime() const {
    switch (kind()) {
    case Kind::DateTime:
        return std::get<QDateTime>(value_);
    case Kind::Null:
        throw Error(errc::InvalidUseOfNull, QStringLiteral("Invalid use of Null"));
    default:
        throw Error(errc::TypeMismatch, QStringLiteral("Type mismatch: \"%1\" is not a date-time").arg(toText()));
    }
}

QVariant Variant::toQVariant() const {
    switch (kind()) {
    case Kind::Empty:
    case Kind::Null:
        return QVariant();
    case Kind::Boolean:
        return std::get<bool>(value_);
    case Kind::Integer:
        return std::get<qint64>(value_);
    case Kind::Double:
        return std::get<double>(value_);
    case Kind::Text:
        return std::get<QString>(value_);
    case Kind::DateTime:
        return std::get<QDateTime>(value_);
    }
    return QVariant();
}

bool Variant::equalsEmptyText() const {
    if (isEmpty())
        return true;
    return kind() == Kind::Text && std::get<QString>(value_).isEmpty();
}

bool Variant::equalsFalse() const {
    switch (kind()) {
    case Kind::Empty:
        return true;
    case Kind::Boolean:
        return !std::get<bool>(value_);
    case Kind::Integer:
        return std::get<qint64>(value_) == 0;
    case Kind::Double:
        return std::get<double>(value_) == 0;
    default:
        return false;
    }
}

}  // namespace tallyfold
