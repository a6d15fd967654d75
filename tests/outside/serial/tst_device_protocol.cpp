#include "outside/serial/device_protocol.h"

#include <QTest>

using namespace tallyfold::serial;

Q_DECLARE_METATYPE(tallyfold::serial::Frame)

namespace {

QList<QByteArray> makeRecords(int count) {
    QList<QByteArray> records;
    for (int i = 0; i < count; ++i)
        records.append(QByteArray::number(i).rightJustified(kRecordLength, '0'));
    return records;
}

QList<Frame> decodeAll(FrameDecoder& decoder, int* corrupt = nullptr) {
    QList<Frame> frames;
    for (auto r = decoder.next(); r.status != FrameDecoder::Status::NeedMore; r = decoder.next()) {
        if (r.status == FrameDecoder::Status::Frame)
            frames.append(r.frame);
        else if (corrupt)
            ++*corrupt;
    }
    return frames;
}

}  // namespace

class TestDeviceProtocol : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void crcMatchesTheStandardCheckValue() {
        const QByteArray check("123456789");
        QCOMPARE(crc16(check.constData(), check.size()), quint16(0x29B1));
    }

    void frameRoundTrip_data() {
        QTest::addColumn<Frame>("frame");
        QTest::newRow("empty payload") << Frame{0, 0, Command::CountRecords, {}};
        QTest::newRow("highest address") << Frame{255, 255, Command::Ack, encodeAck(Command::ClearRecords)};
        QTest::newRow("start marker in payload") << Frame{2, 2, Command::SetDate, QByteArray("\x02\x02\x02\x02", 4)};
        QTest::newRow("full block") << Frame{17, 9, Command::ReadReply,
                                             encodeRecordBlock({640, makeRecords(kMaxRecordsPerBlock)})};
        QTest::newRow("full long block") << Frame{17, 9, Command::ReadReply,
                                                  encodeRecordBlock({640, makeRecords(kMaxRecordsPerLongBlock)})};
        QTest::newRow("largest payload") << Frame{1, 1, Command::ReadReply, QByteArray(kMaxPayload, 'x')};
    }

    void frameRoundTrip() {
        QFETCH(Frame, frame);
        const QByteArray bytes = encodeFrame(frame);
        QCOMPARE(bytes.size(), frameSize(int(frame.payload.size())));

        FrameDecoder whole;
        whole.append(bytes);
        QCOMPARE(decodeAll(whole), QList<Frame>{frame});
        QCOMPARE(whole.buffered(), 0);

        FrameDecoder trickle;
        QList<Frame> frames;
        for (char byte : bytes) {
            trickle.append(QByteArray(1, byte));
            frames += decodeAll(trickle);
        }
        QCOMPARE(frames, QList<Frame>{frame});
    }

    void anyCorruptedByteIsRejected() {
        const QByteArray bytes = encodeFrame({5, 7, Command::CountReply, encodeCount(123456)});
        for (qsizetype at = 1; at < bytes.size(); ++at) {
            for (int flip : {0x01, 0x80, 0xFF}) {
                QByteArray damaged = bytes;
                damaged[at] = char(damaged[at] ^ flip);
                FrameDecoder decoder;
                decoder.append(damaged);
                QVERIFY2(decodeAll(decoder).isEmpty(), qPrintable(QStringLiteral("byte %1 ^ %2").arg(at).arg(flip)));
            }
        }
    }

    void framesAreFoundBehindNoiseAndBrokenFrames() {
        const Frame first{1, 1, Command::CountReply, encodeCount(3)};
        const Frame second{1, 2, Command::Ack, encodeAck(Command::SetTime)};
        QByteArray broken = encodeFrame({1, 9, Command::ReadReply, encodeRecordBlock({0, makeRecords(2)})});
        broken[10] = char(broken[10] ^ 0x40);
        // A false start claiming a payload larger than any frame may carry.
        const QByteArray falseStart("\x02\x01\x01\x84\xff\xff", 6);

        FrameDecoder decoder;
        decoder.append(QByteArray("noise\x00\x7f", 7) + falseStart + encodeFrame(first) + broken + encodeFrame(second));
        int corrupt = 0;
        QCOMPARE(decodeAll(decoder, &corrupt), (QList<Frame>{first, second}));
        QVERIFY(corrupt >= 2);
    }

    void recordBlockRoundTripAndChecks() {
        const RecordBlock block{4096, makeRecords(3)};
        const auto decoded = decodeRecordBlock(encodeRecordBlock(block));
        QVERIFY(decoded);
        QCOMPARE(decoded->index, block.index);
        QCOMPARE(decoded->records, block.records);

        QByteArray shortPayload = encodeRecordBlock(block);
        shortPayload.chop(1);
        QVERIFY(!decodeRecordBlock(shortPayload));

        QByteArray controlCharacter = encodeRecordBlock(block);
        controlCharacter[kReadReplyHeader + 5] = '\n';
        QVERIFY(!decodeRecordBlock(controlCharacter));

        QVERIFY(decodeRecordBlock(encodeRecordBlock({7, {}})));
    }

    void requestPayloads() {
        QCOMPARE(decodeDate(encodeDate(QDate(2024, 2, 29))), std::optional<QDate>(QDate(2024, 2, 29)));
        QVERIFY(!decodeDate(QByteArray("\x07\xe7\x02\x1d", 4)));  // 2023-02-29
        QCOMPARE(decodeTime(encodeTime(QTime(23, 59, 58))), std::optional<QTime>(QTime(23, 59, 58)));
        QVERIFY(!decodeTime(QByteArray("\x18\x00\x00", 3)));
        QCOMPARE(decodeCount(encodeCount(0xFFFFFFFFu)), std::optional<quint32>(0xFFFFFFFFu));

        const auto read = decodeReadRequest(encodeReadRequest({70000, 64}));
        QVERIFY(read);
        QCOMPARE(read->index, 70000u);
        QCOMPARE(read->count, quint16(64));
        QVERIFY(!decodeReadRequest(QByteArray(5, '\0')));

        const RecordSpan span{70000, 0xFFFFFFFFu, 60000};
        QCOMPARE(decodeSpan(encodeSpan(span)), std::optional<RecordSpan>(span));
        // A terminal never holds fewer than no records.
        QVERIFY(!decodeSpan(encodeSpan({5, 4, 60000})));
    }
};

QTEST_GUILESS_MAIN(TestDeviceProtocol)
#include "tst_device_protocol.moc"
