#include "gather_window/record_list_model.h"

#include "gather_window/terminal_list_model.h"

#include <cstring>

namespace tallyfold {

namespace {
// The number written by two decimal digits at `at`, or -1.
int twoDigits(const QString& s, qsizetype at) {
    const char16_t high = s[at].unicode(), low = s[at + 1].unicode();
    if (high < u'0' || high > u'9' || low < u'0' || low > u'9')
        return -1;
    return (high - u'0') * 10 + (low - u'0');
}

// "20yy-MM-dd" or "hh:mm:ss": the three numbers, when `s` has that shape.
bool threeNumbers(const QString& s, QLatin1String head, char16_t separator, quint8 (&numbers)[3]) {
    const qsizetype at = head.size();
    if (s.size() != at + 8 || !s.startsWith(head) || s[at + 2] != separator || s[at + 5] != separator)
        return false;
    for (int i = 0; i < 3; ++i) {
        const int n = twoDigits(s, at + 3 * i);
        if (n < 0)
            return false;
        numbers[i] = quint8(n);
    }
    return true;
}

// An address as QString::number writes one of 0 to 255.
bool addressNumber(const QString& s, quint8& number) {
    if (s.isEmpty() || s.size() > 3 || (s.size() > 1 && s[0] == u'0'))
        return false;
    int n = 0;
    for (QChar c : s) {
        if (c < u'0' || c > u'9')
            return false;
        n = n * 10 + (c.unicode() - u'0');
    }
    number = quint8(n);
    return n <= 255;
}

QString twoDigitsText(const char* head, quint8 a, char separator, quint8 b, quint8 c) {
    char text[10];
    const std::size_t at = std::strlen(head);
    std::memcpy(text, head, at);
    char* p = text + at;
    for (quint8 n : {a, b, c}) {
        if (p != text + at)
            *p++ = separator;
        *p++ = char('0' + n / 10);
        *p++ = char('0' + n % 10);
    }
    return QString::fromLatin1(text, p - text);
}
}  // namespace

bool RecordListModel::pack(const Row& row, Packed& packed) {
    const QString& card = row[1];
    if (!addressNumber(row[0], packed.address) || card.size() > qsizetype(sizeof packed.card))
        return false;
    for (qsizetype i = 0; i < card.size(); ++i) {
        if (card[i].unicode() > 0xff)
            return false;
        packed.card[i] = char(card[i].unicode());
    }
    packed.cardLength = quint8(card.size());
    quint8 date[3], time[3];
    if (!threeNumbers(row[2], QLatin1String("20"), u'-', date) || !threeNumbers(row[3], QLatin1String(), u':', time))
        return false;
    packed.year = date[0];
    packed.month = date[1];
    packed.day = date[2];
    packed.hour = time[0];
    packed.minute = time[1];
    packed.second = time[2];
    return true;
}

QString RecordListModel::text(const Packed& packed, int column) {
    switch (column) {
    case 0:
        return QString::number(packed.address);
    case 1:
        return QString::fromLatin1(packed.card, packed.cardLength);
    case 2:
        return twoDigitsText("20", packed.year, '-', packed.month, packed.day);
    default:
        return twoDigitsText("", packed.hour, ':', packed.minute, packed.second);
    }
}

void RecordListModel::append(const Row& row) {
    Packed packed{};
    if (!pack(row, packed)) {
        const auto index = quint32(unpacked_.size());
        unpacked_.push_back(row);
        packed.cardLength = Packed::Unpacked;
        std::memcpy(packed.card, &index, sizeof index);
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
    const Packed& packed = rows_[std::size_t(index.row())];
    if (packed.cardLength != Packed::Unpacked)
        return text(packed, index.column());
    quint32 at = 0;
    std::memcpy(&at, packed.card, sizeof at);
    return unpacked_[at][std::size_t(index.column())];
}

QVariant RecordListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    return listHeader(RecordHeaders, section, orientation, role);
}

}  // namespace tallyfold
