#pragma once

#include <QByteArray>
#include <QDate>
#include <QList>
#include <QTime>
#include <QtGlobal>
#include <optional>

// The wire protocol between the PC and the count terminals; docs/protocol.md
// describes it byte by byte. Shared by the device link and the simulator.
namespace tallyfold::serial {

constexpr quint8 kStartMarker = 0x02;
// Start marker, address, sequence, command, 2 length bytes, 2 CRC bytes.
constexpr int kFrameOverhead = 8;
constexpr int kHeaderLength = 6;
constexpr int kMaxPayload = 4096;
constexpr int kRecordLength = 18;
constexpr int kMaxRecordsPerBlock = 64;
constexpr int kReadRequestPayload = 6;
constexpr int kReadReplyHeader = 6;
// A long read fills a whole frame: 227 records, 14 bytes of frame and block header for 4,086 of records.
constexpr int kMaxRecordsPerLongBlock = (kMaxPayload - kReadReplyHeader) / kRecordLength;
// A wide read's answer is a wide frame: up to 600 records under a CRC-32 (16 bytes of frame and block
// header for 10,800 of records). 10,811 checked bytes keep the CRC-32's Hamming distance at 4.
constexpr int kMaxRecordsPerWideBlock = 600;
constexpr int kMaxWidePayload = kReadReplyHeader + kMaxRecordsPerWideBlock * kRecordLength;
constexpr int kWideExtraCrc = 2;  // a CRC-32 in place of the CRC-16

enum class Command : quint8 {
    SetDate = 0x01,
    SetTime = 0x02,
    CountRecords = 0x03,
    ReadRecords = 0x04,
    ClearRecords = 0x05,
    Ack = 0x06,
    // Numbered records: a terminal numbers every swipe it takes, and the PC reads from a
    // number and clears below one, so swipes taken meanwhile stay on the terminal.
    RecordSpan = 0x07,
    ReadNumbered = 0x08,
    ClearBelow = 0x09,
    // The reads by index and by number with up to kMaxRecordsPerLongBlock records, answered as
    // the short ones are; a terminal that answers them NAK 0x01 knows only the short reads.
    ReadLong = 0x0A,
    ReadNumberedLong = 0x0B,
    // The reads with up to kMaxRecordsPerWideBlock records, answered in wide frames; a terminal
    // that answers them NAK 0x01 knows at most the long reads.
    ReadWide = 0x0C,
    ReadNumberedWide = 0x0D,
    Nak = 0x15,
    CountReply = 0x83,
    ReadReply = 0x84,
    SpanReply = 0x87,
    NumberedReply = 0x88,
    WideReply = 0x8C,
    NumberedWideReply = 0x8D,
};

// A wide frame carries up to kMaxWidePayload bytes under a CRC-32; its command says it is one.
constexpr bool isWide(Command command) {
    return command == Command::WideReply || command == Command::NumberedWideReply;
}

enum class NakReason : quint8 {
    BadRequest = 0x01,
    OutOfRange = 0x02,
    Failed = 0x03,
};

struct Frame {
    quint8 address = 0;
    quint8 sequence = 0;
    Command command = Command::Ack;
    QByteArray payload;

    bool operator==(const Frame&) const = default;
};

// CRC-16/CCITT-FALSE: polynomial 0x1021, initial value 0xFFFF, no reflection.
quint16 crc16(const char* data, qsizetype length);
// CRC-32 (IEEE 802.3): reflected polynomial 0xEDB88320, initial value and final XOR 0xFFFFFFFF.
quint32 crc32(const char* data, qsizetype length);

QByteArray encodeFrame(const Frame& frame);

// Cuts frames out of a byte stream that may hold noise, partial frames and
// frames with a broken CRC. A candidate that fails its CRC costs only its
// start byte, so a real frame hidden behind noise is still found.
class FrameDecoder {
public:
    enum class Status { Frame, NeedMore, Corrupt };
    struct Result {
        Status status = Status::NeedMore;
        Frame frame;
    };

    void append(const QByteArray& bytes);
    Result next();
    void clear() { buffer_.clear(); }
    qsizetype buffered() const { return buffer_.size(); }
    // How many more bytes the frame at the head needs before next() can give or refuse it; at least 1.
    qsizetype missing() const;

private:
    QByteArray buffer_;
};

QByteArray encodeDate(const QDate& date);
std::optional<QDate> decodeDate(const QByteArray& payload);
QByteArray encodeTime(const QTime& time);
std::optional<QTime> decodeTime(const QByteArray& payload);

QByteArray encodeCount(quint32 count);
std::optional<quint32> decodeCount(const QByteArray& payload);

struct ReadRequest {
    quint32 index = 0;
    quint16 count = 0;
};
QByteArray encodeReadRequest(const ReadRequest& request);
std::optional<ReadRequest> decodeReadRequest(const QByteArray& payload);

struct RecordBlock {
    quint32 index = 0;
    QList<QByteArray> records;
};
QByteArray encodeRecordBlock(const RecordBlock& block);
// Refuses a block whose records are not all 18 printable ASCII characters.
std::optional<RecordBlock> decodeRecordBlock(const QByteArray& payload);
bool isValidRecord(const QByteArray& record);

// The numbers of what a terminal holds: records first..next-1, room for `capacity`.
struct RecordSpan {
    quint32 first = 0;
    quint32 next = 0;
    quint32 capacity = 0;

    quint32 held() const { return next - first; }
    bool operator==(const RecordSpan&) const = default;
};
constexpr int kSpanPayload = 12;
QByteArray encodeSpan(const RecordSpan& span);
// Refuses a span whose next is below its first.
std::optional<RecordSpan> decodeSpan(const QByteArray& payload);

QByteArray encodeAck(Command acknowledged);
QByteArray encodeNak(Command refused, NakReason reason);

// The bytes a frame with this payload occupies on the line.
constexpr int frameSize(int payloadLength, bool wide = false) {
    return kFrameOverhead + payloadLength + (wide ? kWideExtraCrc : 0);
}

}  // namespace tallyfold::serial
