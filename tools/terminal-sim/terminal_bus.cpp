#include "terminal_bus.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>

namespace tallyfold::sim {

using namespace serial;

TerminalBus::TerminalBus(BusOptions options) : options_(std::move(options)), random_(options_.seed) {}

bool TerminalBus::load(QString* error) {
    for (auto it = options_.terminals.cbegin(); it != options_.terminals.cend(); ++it) {
        Terminal terminal;
        if (!it.value().isEmpty()) {
            QFile file(it.value());
            // A missing file is a terminal that has collected nothing yet.
            if (file.exists()) {
                if (!file.open(QIODevice::ReadOnly)) {
                    *error = QStringLiteral("cannot read %1").arg(it.value());
                    return false;
                }
                int lineNumber = 0;
                while (!file.atEnd()) {
                    ++lineNumber;
                    QByteArray line = file.readLine();
                    while (line.endsWith('\n') || line.endsWith('\r'))
                        line.chop(1);
                    if (line.isEmpty())
                        continue;
                    if (!isValidRecord(line)) {
                        *error = QStringLiteral("%1:%2: a record is 18 printable ASCII characters")
                                     .arg(it.value())
                                     .arg(lineNumber);
                        return false;
                    }
                    terminal.records.append(line);
                }
            }
        }
        terminals_.insert(it.key(), terminal);
        if (!dump(it.key(), terminal)) {
            *error = QStringLiteral("cannot write the state of terminal %1").arg(it.key());
            return false;
        }
    }
    return true;
}

std::optional<TerminalBus::Answer> TerminalBus::handle(const Frame& request) {
    const int address = request.address;
    if (options_.silent.contains(address))
        return std::nullopt;
    auto it = terminals_.find(address);
    if (it == terminals_.end())
        return std::nullopt;

    if (roll(options_.nakPercent)) {
        Answer answer;
        answer.bytes = encodeFrame(
            {request.address, request.sequence, Command::Nak, encodeNak(request.command, NakReason::Failed)});
        return answer;
    }
    std::optional<Answer> answer = serve(address, *it, request);
    if (answer && roll(options_.garblePercent))
        garble(answer->bytes);
    return answer;
}

std::optional<TerminalBus::Answer> TerminalBus::serve(int address, Terminal& terminal, const Frame& request) {
    Answer answer;
    auto reply = [&](Command command, const QByteArray& payload) {
        answer.bytes = encodeFrame({request.address, request.sequence, command, payload});
        return answer;
    };
    auto ack = [&] { return reply(Command::Ack, encodeAck(request.command)); };
    auto nak = [&](NakReason reason) { return reply(Command::Nak, encodeNak(request.command, reason)); };

    switch (request.command) {
    case Command::SetDate: {
        const auto date = decodeDate(request.payload);
        if (!date)
            return nak(NakReason::BadRequest);
        answer.events << QStringLiteral("date %1 %2").arg(address).arg(date->toString(Qt::ISODate));
        return ack();
    }
    case Command::SetTime: {
        const auto time = decodeTime(request.payload);
        if (!time)
            return nak(NakReason::BadRequest);
        answer.events << QStringLiteral("time %1 %2").arg(address).arg(time->toString(QStringLiteral("HH:mm:ss")));
        return ack();
    }
    case Command::CountRecords:
        terminal.passSent = 0;
        terminal.cut = false;
        return reply(Command::CountReply, encodeCount(quint32(terminal.records.size())));
    case Command::ReadRecords: {
        const auto read = decodeReadRequest(request.payload);
        if (!read || read->count > kMaxRecordsPerBlock)
            return nak(NakReason::BadRequest);
        if (terminal.cut)
            return std::nullopt;
        if (qint64(read->index) + read->count > terminal.records.size())
            return nak(NakReason::OutOfRange);
        RecordBlock block{read->index, terminal.records.mid(read->index, read->count)};
        reply(Command::ReadReply, encodeRecordBlock(block));
        const bool cutting = options_.cutAfter && cutsMade_ < options_.cutTimes;
        const std::optional<int> limit = cutting ? options_.cutAfter : dropUsed_ ? std::nullopt : options_.dropAfter;
        if (limit && read->count > *limit - terminal.passSent) {
            // The line drops in the middle of this answer.
            const qint64 room = std::max<qint64>(*limit - terminal.passSent, 0);
            answer.bytes.truncate(kHeaderLength + kReadReplyHeader + room * kRecordLength);
            if (cutting) {
                terminal.cut = true;
                ++cutsMade_;
            } else {
                answer.hangUp = true;
                dropUsed_ = true;
            }
            return answer;
        }
        terminal.passSent += read->count;
        return answer;
    }
    case Command::ClearRecords:
        if (options_.failClear.contains(address))
            return nak(NakReason::Failed);
        terminal.records.clear();
        dump(address, terminal);
        answer.events << QStringLiteral("cleared %1").arg(address);
        return ack();
    default:
        return nak(NakReason::BadRequest);
    }
}

bool TerminalBus::roll(int percent) {
    if (percent <= 0)
        return false;
    return std::uniform_int_distribution<int>(0, 99)(random_) < percent;
}

void TerminalBus::garble(QByteArray& bytes) {
    if (bytes.size() < 2)
        return;
    const qsizetype at = std::uniform_int_distribution<qsizetype>(1, bytes.size() - 1)(random_);
    bytes[at] = char(bytes[at] ^ char(std::uniform_int_distribution<int>(1, 255)(random_)));
}

bool TerminalBus::dump(int address, const Terminal& terminal) {
    if (options_.stateDir.isEmpty())
        return true;
    QSaveFile file(QDir(options_.stateDir).filePath(QString::number(address) + QStringLiteral(".txt")));
    if (!file.open(QIODevice::WriteOnly))
        return false;
    for (const QByteArray& record : terminal.records)
        file.write(record + "\n");
    return file.commit();
}

}  // namespace tallyfold::sim
