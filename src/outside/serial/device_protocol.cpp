#include "outside/serial/device_protocol.h"

#include <algorithm>
#include <array>

namespace tallyfold::serial {

namespace {

void putU16(QByteArray& out, quint16 v) {
    out.append(char(v >> 8));
    out.append(char(v & 0xFF));
}

void putU32(QByteArray& out, quint32 v) {
    putU16(out, quint16(v >> 16));
    putU16(out, quint16(v & 0xFFFF));
}

quint16 getU16(const char* p) {
    return quint16((quint8(p[0]) << 8) | quint8(p[1]));
}

quint32 getU32(const char* p) {
    return (quint32(getU16(p)) << 16) | getU16(p + 2);
}

}  // namespace

quint16 crc16(const char* data, qsizetype length) {
    // A byte at a time from a table: every record crosses this twice, once on each side of the line.
    static constexpr auto table = [] {
        std::array<quint16, 256> t{};
        for (int byte = 0; byte < 256; ++byte) {
            quint16 crc = quint16(byte << 8);
            for (int bit = 0; bit < 8; ++bit)
                crc = (crc & 0x8000) ? quint16((crc << 1) ^ 0x1021) : quint16(crc << 1);
            t[std::size_t(byte)] = crc;
        }
        return t;
    }();
    quint16 crc = 0xFFFF;
    for (qsizetype i = 0; i < length; ++i)
        crc = quint16((crc << 8) ^ table[(crc >> 8) ^ quint8(data[i])]);
    return crc;
}

quint32 crc32(const char* data, qsizetype length) {
    quint32 crc = 0xFFFFFFFF;
    for (qsizetype i = 0; i < length; ++i) {
        crc ^= quint8(data[i]);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320 : crc >> 1;
    }
    return ~crc;
}

QByteArray encodeFrame(const Frame& frame) {
    const bool wide = isWide(frame.command);
    Q_ASSERT(frame.payload.size() <= (wide ? kMaxWidePayload : kMaxPayload));
    QByteArray out;
    out.reserve(frameSize(int(frame.payload.size()), wide));
    out.append(char(kStartMarker));
    out.append(char(frame.address));
    out.append(char(frame.sequence));
    out.append(char(frame.command));
    putU16(out, quint16(frame.payload.size()));
    out.append(frame.payload);
    // The start marker stays outside the CRC so a resync can check a candidate on its own.
    if (wide)
        putU32(out, crc32(out.constData() + 1, out.size() - 1));
    else
        putU16(out, crc16(out.constData() + 1, out.size() - 1));
    return out;
}

void FrameDecoder::append(const QByteArray& bytes) {
    buffer_.append(bytes);
}

qsizetype FrameDecoder::missing() const {
    const qsizetype start = buffer_.indexOf(char(kStartMarker));
    const qsizetype have = start < 0 ? 0 : buffer_.size() - start;
    if (have < kHeaderLength)
        return kHeaderLength - have;
    const int length = getU16(buffer_.constData() + start + 4);
    const bool wide = isWide(Command(quint8(buffer_[start + 3])));
    // A length no frame can have is noise: one more byte lets next() skip it.
    if (length > (wide ? kMaxWidePayload : kMaxPayload))
        return 1;
    return std::max<qsizetype>(1, frameSize(length, wide) - have);
}

FrameDecoder::Result FrameDecoder::next() {
    const qsizetype start = buffer_.indexOf(char(kStartMarker));
    if (start < 0) {
        buffer_.clear();
        return {};
    }
    buffer_.remove(0, start);
    if (buffer_.size() < kHeaderLength)
        return {};
    const int length = getU16(buffer_.constData() + 4);
    const bool wide = isWide(Command(quint8(buffer_[3])));
    if (length > (wide ? kMaxWidePayload : kMaxPayload)) {
        buffer_.remove(0, 1);
        return {Status::Corrupt, {}};
    }
    const int total = frameSize(length, wide);
    if (buffer_.size() < total)
        return {};
    const bool intact = wide ? crc32(buffer_.constData() + 1, total - 5) == getU32(buffer_.constData() + total - 4)
                             : crc16(buffer_.constData() + 1, total - 3) == getU16(buffer_.constData() + total - 2);
    if (!intact) {
        buffer_.remove(0, 1);
        return {Status::Corrupt, {}};
    }
    Result result;
    result.status = Status::Frame;
    result.frame.address = quint8(buffer_[1]);
    result.frame.sequence = quint8(buffer_[2]);
    result.frame.command = Command(quint8(buffer_[3]));
    result.frame.payload = buffer_.mid(kHeaderLength, length);
    buffer_.remove(0, total);
    return result;
}

QByteArray encodeDate(const QDate& date) {
    QByteArray out;
    putU16(out, quint16(date.year()));
    out.append(char(date.month()));
    out.append(char(date.day()));
    return out;
}

std::optional<QDate> decodeDate(const QByteArray& payload) {
    if (payload.size() != 4)
        return std::nullopt;
    const QDate date{getU16(payload.constData()), quint8(payload[2]), quint8(payload[3])};
    if (!date.isValid())
        return std::nullopt;
    return date;
}

QByteArray encodeTime(const QTime& time) {
    QByteArray out;
    out.append(char(time.hour()));
    out.append(char(time.minute()));
    out.append(char(time.second()));
    return out;
}

std::optional<QTime> decodeTime(const QByteArray& payload) {
    if (payload.size() != 3)
        return std::nullopt;
    const QTime time{quint8(payload[0]), quint8(payload[1]), quint8(payload[2])};
    if (!time.isValid())
        return std::nullopt;
    return time;
}

QByteArray encodeCount(quint32 count) {
    QByteArray out;
    putU32(out, count);
    return out;
}

std::optional<quint32> decodeCount(const QByteArray& payload) {
    if (payload.size() != 4)
        return std::nullopt;
    return getU32(payload.constData());
}

QByteArray encodeReadRequest(const ReadRequest& request) {
    QByteArray out;
    putU32(out, request.index);
    putU16(out, request.count);
    return out;
}

std::optional<ReadRequest> decodeReadRequest(const QByteArray& payload) {
    if (payload.size() != kReadRequestPayload)
        return std::nullopt;
    return ReadRequest{getU32(payload.constData()), getU16(payload.constData() + 4)};
}

bool isValidRecord(const QByteArray& record) {
    if (record.size() != kRecordLength)
        return false;
    for (char c : record) {
        if (c < 0x20 || c > 0x7E)
            return false;
    }
    return true;
}

QByteArray encodeRecordBlock(const RecordBlock& block) {
    QByteArray out;
    out.reserve(kReadReplyHeader + block.records.size() * kRecordLength);
    putU32(out, block.index);
    putU16(out, quint16(block.records.size()));
    for (const QByteArray& record : block.records) {
        Q_ASSERT(record.size() == kRecordLength);
        out.append(record);
    }
    return out;
}

std::optional<RecordBlock> decodeRecordBlock(const QByteArray& payload) {
    if (payload.size() < kReadReplyHeader)
        return std::nullopt;
    RecordBlock block;
    block.index = getU32(payload.constData());
    const int count = getU16(payload.constData() + 4);
    if (payload.size() != kReadReplyHeader + qsizetype(count) * kRecordLength)
        return std::nullopt;
    block.records.reserve(count);
    for (int i = 0; i < count; ++i) {
        QByteArray record = payload.mid(kReadReplyHeader + i * kRecordLength, kRecordLength);
        if (!isValidRecord(record))
            return std::nullopt;
        block.records.append(record);
    }
    return block;
}

QByteArray encodeSpan(const RecordSpan& span) {
    QByteArray out;
    putU32(out, span.first);
    putU32(out, span.next);
    putU32(out, span.capacity);
    return out;
}

std::optional<RecordSpan> decodeSpan(const QByteArray& payload) {
    if (payload.size() != kSpanPayload)
        return std::nullopt;
    const RecordSpan span{getU32(payload.constData()), getU32(payload.constData() + 4),
                          getU32(payload.constData() + 8)};
    if (span.next < span.first)
        return std::nullopt;
    return span;
}

QByteArray encodeAck(Command acknowledged) {
    return QByteArray(1, char(acknowledged));
}

QByteArray encodeNak(Command refused, NakReason reason) {
    QByteArray out;
    out.append(char(refused));
    out.append(char(reason));
    return out;
}

}  // namespace tallyfold::serial
