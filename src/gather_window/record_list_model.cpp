#include "gather_window/record_list_model.h"

#include "gather_window/terminal_list_model.h"

#include <cstring>

namespace tallyfold {

namespace {
// Where each number lies in a packed row, and how many bits it has.
struct Field {
    int shift, bits;
};
constexpr quint64 PackedFlag = quint64(1) << 63;
constexpr Field Address{0, 8}, Card{8, 20}, Year{28, 7}, Month{35, 4}, Day{39, 5}, Hour{44, 5}, Minute{49, 6},
    Second{55, 6};

bool put(quint64& packed, Field field, int value) {
    if (value < 0 || value >= (1 << field.bits))
        return false;
    packed |= quint64(value) << field.shift;
    return true;
}

int get(quint64 packed, Field field) {
    return int((packed >> field.shift) & ((quint64(1) << field.bits) - 1));
}

// The number written by `digits` decimal digits at `at`, or -1.
int digitsAt(const QString& s, qsizetype at, int digits) {
    int n = 0;
    for (qsizetype i = at; i < at + digits; ++i) {
        const char16_t c = s[i].unicode();
        if (c < u'0' || c > u'9')
            return -1;
        n = n * 10 + (c - u'0');
    }
    return n;
}

// "20yy-MM-dd" or "hh:mm:ss" into three fields, when `s` has that shape.
bool putThree(quint64& packed, const QString& s, QLatin1String head, char16_t separator, const Field (&fields)[3]) {
    const qsizetype at = head.size();
    if (s.size() != at + 8 || !s.startsWith(head) || s[at + 2] != separator || s[at + 5] != separator)
        return false;
    for (int i = 0; i < 3; ++i)
        if (!put(packed, fields[i], digitsAt(s, at + 3 * i, 2)))
            return false;
    return true;
}

// An address as QString::number writes one of 0 to 255.
int addressNumber(const QString& s) {
    if (s.isEmpty() || s.size() > 3 || (s.size() > 1 && s[0] == u'0'))
        return -1;
    return digitsAt(s, 0, int(s.size()));
}

QString threeText(const char* head, int a, char separator, int b, int c) {
    char text[10];
    const std::size_t at = std::strlen(head);
    std::memcpy(text, head, at);
    char* p = text + at;
    for (int n : {a, b, c}) {
        if (p != text + at)
            *p++ = separator;
        *p++ = char('0' + n / 10);
        *p++ = char('0' + n % 10);
    }
    return QString::fromLatin1(text, p - text);
}
}  // namespace

bool RecordListModel::pack(const Row& row, Packed& packed) {
    packed = PackedFlag;
    return put(packed, Address, addressNumber(row[0])) &&
           put(packed, Card, row[1].size() == 6 ? digitsAt(row[1], 0, 6) : -1) &&
           putThree(packed, row[2], QLatin1String("20"), u'-', {Year, Month, Day}) &&
           putThree(packed, row[3], QLatin1String(), u':', {Hour, Minute, Second});
}

QString RecordListModel::text(Packed packed, int column) {
    switch (column) {
    case 0:
        return QString::number(get(packed, Address));
    case 1:
        return QStringLiteral("%1").arg(get(packed, Card), 6, 10, QLatin1Char('0'));
    case 2:
        return threeText("20", get(packed, Year), '-', get(packed, Month), get(packed, Day));
    default:
        return threeText("", get(packed, Hour), ':', get(packed, Minute), get(packed, Second));
    }
}

void RecordListModel::append(const Row& row) {
    Packed packed = 0;
    if (!pack(row, packed)) {
        packed = unpacked_.size();
        unpacked_.push_back(row);
    }
    rows_.push_back(packed);
}

void RecordListModel::clear() {
    beginResetModel();
    std::deque<Packed>().swap(rows_);
    std::vector<Row>().swap(unpacked_);
    shown_ = 0;
    endResetModel();
}

void RecordListModel::flush() {
    if (!hasPending())
        return;
    beginInsertRows({}, int(shown_), int(rows_.size() - 1));
    shown_ = rows_.size();
    endInsertRows();
}

int RecordListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(shown_);
}

int RecordListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : 4;
}

QVariant RecordListModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !index.isValid() || std::size_t(index.row()) >= shown_ || index.column() > 3)
        return {};
    const Packed packed = rows_[std::size_t(index.row())];
    if (packed & PackedFlag)
        return text(packed, index.column());
    return unpacked_[std::size_t(packed)][std::size_t(index.column())];
}

QVariant RecordListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    return listHeader(RecordHeaders, section, orientation, role);
}

}  // namespace tallyfold
