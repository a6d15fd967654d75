// Bytes from a serial line: noise, cut frames, broken CRCs, arriving in pieces of any size.
#include "fuzz_check.h"
#include "outside/serial/device_protocol.h"

#include <cstdint>

using namespace tallyfold::serial;

namespace {

// The input's last bytes choose the piece sizes, its first bytes are the line,
// so a mutation of one does not shift the other.
class Splitter {
public:
    Splitter(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool empty() const { return size_ == 0; }

    QByteArray piece() {
        size_t want = 1;
        if (size_ > 1) {
            want = size_t(data_[size_ - 1]) + 1;
            --size_;
        }
        const size_t take = want < size_ ? want : size_;
        QByteArray out(reinterpret_cast<const char*>(data_), qsizetype(take));
        data_ += take;
        size_ -= take;
        return out;
    }

private:
    const uint8_t* data_;
    size_t size_;
};

// Takes every frame the decoder can give now; each other answer must shrink the buffer.
void drain(FrameDecoder& decoder, QList<Frame>& frames) {
    for (;;) {
        const qsizetype before = decoder.buffered();
        const FrameDecoder::Result result = decoder.next();
        if (result.status == FrameDecoder::Status::NeedMore) {
            FUZZ_CHECK(decoder.buffered() <= before);
            return;
        }
        FUZZ_CHECK(decoder.buffered() < before);
        if (result.status == FrameDecoder::Status::Frame)
            frames.append(result.frame);
        else
            FUZZ_CHECK(result.frame == Frame{});
    }
}

template <typename T, typename Decode, typename Encode>
void checkPayloadRoundTrip(const QByteArray& payload, Decode decode, Encode encode) {
    const std::optional<T> value = decode(payload);
    if (value)
        FUZZ_CHECK(encode(*value) == payload);
}

void checkPayloads(const QByteArray& payload) {
    checkPayloadRoundTrip<QDate>(payload, decodeDate, encodeDate);
    checkPayloadRoundTrip<QTime>(payload, decodeTime, encodeTime);
    checkPayloadRoundTrip<quint32>(payload, decodeCount, encodeCount);
    checkPayloadRoundTrip<ReadRequest>(payload, decodeReadRequest, encodeReadRequest);
    if (const std::optional<RecordBlock> block = decodeRecordBlock(payload)) {
        FUZZ_CHECK(encodeRecordBlock(*block) == payload);
        for (const QByteArray& record : block->records)
            FUZZ_CHECK(isValidRecord(record));
    }
}

void checkReencodes(const Frame& frame) {
    const bool wide = isWide(frame.command);
    FUZZ_CHECK(frame.payload.size() <= (wide ? kMaxWidePayload : kMaxPayload));
    const QByteArray wire = encodeFrame(frame);
    FUZZ_CHECK(wire.size() == frameSize(int(frame.payload.size()), wide));
    FrameDecoder again;
    again.append(wire);
    const FrameDecoder::Result result = again.next();
    FUZZ_CHECK(result.status == FrameDecoder::Status::Frame);
    FUZZ_CHECK(result.frame == frame);
    FUZZ_CHECK(again.buffered() == 0);
    FUZZ_CHECK(again.next().status == FrameDecoder::Status::NeedMore);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FrameDecoder pieces;
    QList<Frame> fromPieces;
    QByteArray line;
    Splitter splitter(data, size);
    while (!splitter.empty()) {
        const QByteArray piece = splitter.piece();
        line.append(piece);
        pieces.append(piece);
        drain(pieces, fromPieces);
    }

    // How the bytes were cut must not change which frames come out.
    FrameDecoder whole;
    whole.append(line);
    QList<Frame> fromWhole;
    drain(whole, fromWhole);
    FUZZ_CHECK(fromPieces == fromWhole);
    FUZZ_CHECK(pieces.buffered() == whole.buffered());

    for (const Frame& frame : fromPieces) {
        checkReencodes(frame);
        checkPayloads(frame.payload);
    }
    checkPayloads(line);
    return 0;
}
