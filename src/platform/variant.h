#pragma once

#include <QDateTime>
#include <QString>
#include <QVariant>
#include <variant>
#include "platform/export.h"

namespace tallyfold {

// A value that may be Empty (never set) or Null (a database null), besides the
// plain kinds; database columns and the shared terminal variables hold these.
class TALLYFOLD_EXPORT Variant {
public:
    enum class Kind { Empty, Null, Boolean, Integer, Double, Text, DateTime };

    Variant() = default;
    Variant(bool b) : value_(b) {}
    Variant(int i) : value_(qint64(i)) {}
    Variant(qint64 i) : value_(i) {}
    Variant(double d) : value_(d) {}
    Variant(const QString& s) : value_(s) {}
    Variant(const char* s) : value_(QString::fromUtf8(s)) {}
    Variant(const QDateTime& dt) : value_(dt) {}

    static Variant null();
    static Variant fromQVariant(const QVariant& v);

    Kind kind() const;
    bool isEmpty() const { return kind() == Kind::Empty; }
    bool isNull() const { return kind() == Kind::Null; }

    // Empty gives "", numbers plain decimal; Null raises "Invalid use of Null".
    QString toText() const;
    // Rounds half to even like the platform's integer conversion; raises on
    // text that is no number and on values outside -32768..32767.
    qint16 toInt16() const;
    double toDouble() const;
    QDateTime toDateTime() const;
    QVariant toQVariant() const;

    // True for Empty and for the empty text: "no terminal chosen".
    bool equalsEmptyText() const;
    // The platform's "= False" test: Empty, False and 0 compare equal to False; Null does not.
    bool equalsFalse() const;

    bool operator==(const Variant& other) const { return value_ == other.value_; }

private:
    struct NullTag {
        bool operator==(const NullTag&) const { return true; }
    };
    std::variant<std::monostate, NullTag, bool, qint64, double, QString, QDateTime> value_;
};

}  // namespace tallyfold
