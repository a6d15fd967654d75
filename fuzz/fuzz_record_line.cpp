// One line of a record file, as read from disk: CP936 bytes -> text -> record ->
// terminal address and business day.
#include "fuzz_check.h"
#include "platform/ansi_text_reader.h"
#include "platform/error.h"
#include "platform/prompts.h"
#include "records/business_day.h"
#include "records/record_line.h"

#include <iconv.h>
#include <cstdint>

namespace {

class CountingPrompts : public tallyfold::Prompts {
public:
    int messages = 0;
    tallyfold::MessageAnswer message(const tallyfold::MessageRequest& request) override {
        FUZZ_CHECK(!request.text.isEmpty());
        ++messages;
        return tallyfold::MessageAnswer::Ok;
    }
    QString chooseOpenFile(const QString&) override { return {}; }
};

void* converter() {
    // Opened once: the reader keeps one per file too, and reopening would dominate the run.
    static iconv_t cd = iconv_open("UTF-8", "CP936");
    FUZZ_CHECK(cd != iconv_t(-1));
    return cd;
}

tallyfold::BusinessDayTimes fixedTimes() {
    // A limit after the window's end, so that records between 00:00 and 04:00 move on a day.
    tallyfold::BusinessDayTimes times;
    times.paraTime1 = QTime(4, 0);
    times.paraTime7 = QTime(0, 0);
    times.paraTime8 = QTime(4, 0);
    return times;
}

bool isAscii(const QByteArray& bytes) {
    for (char c : bytes)
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    const QString line = tallyfold::decodeAnsi(bytes, converter());
    if (isAscii(bytes))
        FUZZ_CHECK(line == QString::fromLatin1(bytes));
    // Every byte gives at most one character (or a replacement for it).
    FUZZ_CHECK(line.size() <= bytes.size());

    const tallyfold::RecordLine record = tallyfold::parseRecordLine(line);
    FUZZ_CHECK(record.text == line.left(tallyfold::RecordTextLength));
    FUZZ_CHECK(record.card == record.text.mid(2, 6));
    if (record.text.size() == tallyfold::RecordTextLength) {
        FUZZ_CHECK(record.recordDateTimeText.size() == 16);
        FUZZ_CHECK(record.dateText.size() == 10);
        FUZZ_CHECK(record.recordDateTimeText.startsWith(record.dateText));
    } else {
        FUZZ_CHECK(!record.hasValidDateTime());
    }
    if (record.hasValidDateTime()) {
        // The text the store step shows and the date-time it writes must agree.
        FUZZ_CHECK(record.recordDateTime.toString(QStringLiteral("yyyy-MM-dd hh:mm")) == record.recordDateTimeText);
        FUZZ_CHECK(record.recordDateTime.time().second() == 0);
        FUZZ_CHECK(record.displayTime == record.recordDateTime.toString(QStringLiteral("hh:mm:00")));
    }

    try {
        const int address = tallyfold::recordAddress(record.text);
        FUZZ_CHECK(address >= 0 && address <= 0xFF);
        bool ok = false;
        FUZZ_CHECK(record.text.left(2).toInt(&ok, 16) == address && ok);
    } catch (const tallyfold::Error& e) {
        FUZZ_CHECK(!e.description().isEmpty());
    }

    CountingPrompts prompts;
    const tallyfold::BusinessDayTimes times = fixedTimes();
    const qint16 offset = tallyfold::getGatherDay(times, record.recordDateTimeText, prompts);
    FUZZ_CHECK(offset == 0 || offset == 1);
    FUZZ_CHECK(prompts.messages <= 1);
    if (prompts.messages == 1)
        FUZZ_CHECK(offset == 0);
    if (record.hasValidDateTime()) {
        FUZZ_CHECK(prompts.messages == 0);
        FUZZ_CHECK(offset == tallyfold::businessDayOffset(times, record.recordDateTime.time()));
    }
    return 0;
}
