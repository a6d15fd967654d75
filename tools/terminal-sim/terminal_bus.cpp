#include "terminal_bus.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tallyfold::sim {

using namespace serial;

namespace {

constexpr int kCards = 1'000'000;

QByteArray hexAddress(int address) {
    return QByteArray::number(address, 16).toUpper().rightJustified(2, '0');
}

}  // namespace

SwipeLog::~SwipeLog() {
    if (fd_ >= 0)
        ::close(fd_);
}

bool SwipeLog::open(const QString& path, QString* error) {
    path_ = path;
    fd_ = ::open(path.toLocal8Bit().constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd_ < 0)
        *error = QStringLiteral("cannot open %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
    return fd_ >= 0;
}

bool SwipeLog::append(const QByteArray& record) {
    const QByteArray line = record + '\n';
    const std::lock_guard lock(mutex_);
    ssize_t written;
    do
        written = ::write(fd_, line.constData(), size_t(line.size()));
    while (written < 0 && errno == EINTR);
    const bool ok = written == line.size();
    // Said once per run of failures: a full disk would otherwise repeat it at every swipe.
    if (!ok && !failing_)
        std::fprintf(stderr, "tallyfold-terminal-sim: cannot append to %s: %s; swipes are refused until it works\n",
                     path_.toLocal8Bit().constData(), written < 0 ? std::strerror(errno) : "short write");
    failing_ = !ok;
    return ok;
}

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
        terminal.next = quint32(terminal.records.size());
        // Seeded by the address too, so another terminal on the line does not change this one's cards.
        std::seed_seq seed{options_.seed, quint32(it.key())};
        terminal.cards.seed(seed);
        terminal.clockOffset = options_.clockOffset;
        terminals_.insert(it.key(), terminal);
        if (!write({{it.key(), 0, terminal.records}})) {
            *error = QStringLiteral("cannot write the state of terminal %1").arg(it.key());
            return false;
        }
    }
    return true;
}

std::optional<TerminalBus::Answer> TerminalBus::handle(const Frame& request) {
    const std::lock_guard lock(mutex_);
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
        const QDateTime now = QDateTime::currentDateTime();
        terminal.clockOffset = now.secsTo(QDateTime(*date, now.addSecs(terminal.clockOffset).time()));
        return ack();
    }
    case Command::SetTime: {
        const auto time = decodeTime(request.payload);
        if (!time)
            return nak(NakReason::BadRequest);
        answer.events << QStringLiteral("time %1 %2").arg(address).arg(time->toString(QStringLiteral("HH:mm:ss")));
        const QDateTime now = QDateTime::currentDateTime();
        terminal.clockOffset = now.secsTo(QDateTime(now.addSecs(terminal.clockOffset).date(), *time));
        return ack();
    }
    case Command::CountRecords:
        terminal.passSent = 0;
        terminal.cut = false;
        return reply(Command::CountReply, encodeCount(quint32(terminal.records.size())));
    case Command::RecordSpan:
        terminal.passSent = 0;
        terminal.cut = false;
        return reply(Command::SpanReply, encodeSpan({terminal.first, terminal.next, options_.capacity}));
    case Command::ReadRecords:
        return read(terminal, request, 0, Command::ReadReply, kMaxRecordsPerBlock);
    case Command::ReadNumbered:
        return read(terminal, request, terminal.first, Command::NumberedReply, kMaxRecordsPerBlock);
    case Command::ReadLong:
        if (!options_.longReads)
            return nak(NakReason::BadRequest);
        return read(terminal, request, 0, Command::ReadReply, kMaxRecordsPerLongBlock);
    case Command::ReadNumberedLong:
        if (!options_.longReads)
            return nak(NakReason::BadRequest);
        return read(terminal, request, terminal.first, Command::NumberedReply, kMaxRecordsPerLongBlock);
    case Command::ReadWide:
        if (!options_.longReads)
            return nak(NakReason::BadRequest);
        return read(terminal, request, 0, Command::WideReply, kMaxRecordsPerWideBlock);
    case Command::ReadNumberedWide:
        if (!options_.longReads)
            return nak(NakReason::BadRequest);
        return read(terminal, request, terminal.first, Command::NumberedWideReply, kMaxRecordsPerWideBlock);
    case Command::ClearRecords:
        if (options_.failClear.contains(address))
            return nak(NakReason::Failed);
        terminal.records.clear();
        terminal.first = terminal.next;
        cleared(address, terminal);
        answer.events << QStringLiteral("cleared %1").arg(address);
        return ack();
    case Command::ClearBelow: {
        const auto below = decodeCount(request.payload);
        if (!below)
            return nak(NakReason::BadRequest);
        if (options_.failClear.contains(address))
            return nak(NakReason::Failed);
        const quint32 to = std::min(*below, terminal.next);
        if (to > terminal.first) {
            terminal.records.remove(0, to - terminal.first);
            terminal.first = to;
            cleared(address, terminal);
        }
        answer.events << QStringLiteral("cleared %1 below %2").arg(address).arg(*below);
        return ack();
    }
    default:
        return nak(NakReason::BadRequest);
    }
}

// Every read, by index (base 0) and by number (base first), short, long or wide, with the same cut and drop faults.
std::optional<TerminalBus::Answer> TerminalBus::read(Terminal& terminal, const Frame& request, quint32 base,
                                                     Command replyCommand, int maxCount) {
    Answer answer;
    const auto wanted = decodeReadRequest(request.payload);
    if (!wanted || wanted->count > maxCount) {
        answer.bytes = encodeFrame(
            {request.address, request.sequence, Command::Nak, encodeNak(request.command, NakReason::BadRequest)});
        return answer;
    }
    if (terminal.cut)
        return std::nullopt;
    if (wanted->index < base || qint64(wanted->index - base) + wanted->count > terminal.records.size()) {
        answer.bytes = encodeFrame(
            {request.address, request.sequence, Command::Nak, encodeNak(request.command, NakReason::OutOfRange)});
        return answer;
    }
    RecordBlock block{wanted->index, terminal.records.mid(wanted->index - base, wanted->count)};
    answer.bytes = encodeFrame({request.address, request.sequence, replyCommand, encodeRecordBlock(block)});
    const bool cutting = options_.cutAfter && cutsMade_ < options_.cutTimes;
    const std::optional<int> limit = cutting ? options_.cutAfter : dropUsed_ ? std::nullopt : options_.dropAfter;
    if (limit && wanted->count > *limit - terminal.passSent) {
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
    terminal.passSent += wanted->count;
    return answer;
}

QStringList TerminalBus::swipe() {
    const std::lock_guard lock(mutex_);
    // Taken under the lock: a request served meanwhile cannot see a swipe older than its answer.
    const QDateTime now = QDateTime::currentDateTime();
    QStringList events;
    for (auto it = terminals_.begin(); it != terminals_.end(); ++it)
        if (!options_.silent.contains(it.key()))
            events << takeSwipe(it.key(), *it, now);
    return events;
}

QStringList TerminalBus::takeSwipe(int address, Terminal& terminal, const QDateTime& now) {
    // Full: the card holder is turned away and nothing held is overwritten.
    if (terminal.next - terminal.first >= options_.capacity) {
        if (terminal.fullTold)
            return {};
        terminal.fullTold = true;
        return {QStringLiteral("full %1").arg(address)};
    }
    const QByteArray prefix = hexAddress(address);
    const QByteArray stamp = now.addSecs(terminal.clockOffset).toString(QStringLiteral("yyMMddHHmm")).toLatin1();
    MinuteCards& used = *options_.minuteCards;
    if (stamp != terminal.usedStamp) {
        terminal.usedStamp = stamp;
        // Loaded records may be of this minute too.
        for (const QByteArray& record : std::as_const(terminal.records))
            if (record.endsWith(stamp))
                used.claim(stamp, record.mid(2, 6).toInt());
    }
    // Ends: 128 terminals swiping every 10 ms use 768,000 of the million cards in a minute.
    std::uniform_int_distribution<int> cards(0, kCards - 1);
    int card;
    do
        card = cards(terminal.cards);
    while (!used.claim(stamp, card));
    const QByteArray record = prefix + QByteArray::number(card).rightJustified(6, '0') + stamp;
    if (options_.swipeLog && !options_.swipeLog->append(record))
        return {};
    terminal.records.append(record);
    ++terminal.next;
    ++terminal.version;
    return {};
}

// A clear's state file is written before the terminal answers, so a PC that got the ACK finds it exact.
void TerminalBus::cleared(int address, Terminal& terminal) {
    if (terminal.next - terminal.first < options_.capacity)
        terminal.fullTold = false;
    terminal.queuedVersion = ++terminal.version;
    if (!options_.stateDir.isEmpty())
        write({{address, terminal.version, terminal.records}});
}

void TerminalBus::saveState() {
    if (options_.stateDir.isEmpty())
        return;
    QList<Snapshot> snapshots;
    {
        const std::lock_guard lock(mutex_);
        for (auto it = terminals_.begin(); it != terminals_.end(); ++it) {
            if (it->version == it->queuedVersion)
                continue;
            it->queuedVersion = it->version;
            // Shares the list: swipes taken while it is written copy it instead.
            snapshots.append({it.key(), it->version, it->records});
        }
    }
    write(snapshots);
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

bool TerminalBus::write(const QList<Snapshot>& snapshots) {
    if (options_.stateDir.isEmpty())
        return true;
    const std::lock_guard lock(stateMutex_);
    bool ok = true;
    for (const Snapshot& snapshot : snapshots) {
        const auto written = writtenVersion_.constFind(snapshot.address);
        if (written != writtenVersion_.cend() && *written >= snapshot.version)
            continue;
        QSaveFile file(QDir(options_.stateDir).filePath(QString::number(snapshot.address) + QStringLiteral(".txt")));
        if (!file.open(QIODevice::WriteOnly)) {
            ok = false;
            continue;
        }
        QByteArray bytes;
        bytes.reserve(snapshot.records.size() * (kRecordLength + 1));
        for (const QByteArray& record : snapshot.records)
            bytes += record + '\n';
        file.write(bytes);
        if (file.commit())
            writtenVersion_.insert(snapshot.address, snapshot.version);
        else
            ok = false;
    }
    return ok;
}

}  // namespace tallyfold::sim
