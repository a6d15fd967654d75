#include "outside/serial/telnet_session.h"

#include <initializer_list>
#include <utility>

namespace tallyfold::serial {

namespace {

constexpr quint8 kIac = 0xFF;
constexpr quint8 kDont = 0xFE;
constexpr quint8 kDo = 0xFD;
constexpr quint8 kWont = 0xFC;
constexpr quint8 kWill = 0xFB;
constexpr quint8 kSb = 0xFA;
constexpr quint8 kSe = 0xF0;

constexpr quint8 kBinary = 0;
constexpr quint8 kSuppressGoAhead = 3;
constexpr quint8 kComPort = 44;

// COM-port commands from the client; the server answers each with the code plus 100.
constexpr quint8 kSetBaud = 1;
constexpr quint8 kSetDataSize = 2;
constexpr quint8 kSetParity = 3;
constexpr quint8 kSetStopSize = 4;
constexpr quint8 kSetControl = 5;
constexpr quint8 kServerOffset = 100;
constexpr quint8 kParityNone = 1;
constexpr quint8 kOneStopBit = 1;
constexpr quint8 kNoFlowControl = 1;

bool weOffer(quint8 option) {
    return option == kBinary || option == kSuppressGoAhead || option == kComPort;
}

bool weAccept(quint8 option) {
    return option == kBinary || option == kSuppressGoAhead;
}

QByteArray octets(std::initializer_list<quint8> values) {
    QByteArray result;
    for (quint8 value : values)
        result.append(char(value));
    return result;
}

QByteArray command(quint8 verb, quint8 option) {
    return octets({kIac, verb, option});
}

QByteArray comPortCommand(quint8 code, const QByteArray& value) {
    return octets({kIac, kSb, kComPort, code}) + TelnetSession::escape(value) + octets({kIac, kSe});
}

}  // namespace

TelnetSession::TelnetSession() {
    for (quint8 option : {kBinary, kSuppressGoAhead, kComPort})
        local_.insert(option, true);
    for (quint8 option : {kBinary, kSuppressGoAhead})
        remote_.insert(option, true);
}

QByteArray TelnetSession::greeting() const {
    return command(kWill, kComPort) + command(kWill, kBinary) + command(kDo, kBinary) +
           command(kWill, kSuppressGoAhead) + command(kDo, kSuppressGoAhead);
}

QByteArray TelnetSession::lineSettings(qint32 baud) {
    const quint32 rate = quint32(baud);
    const QByteArray rateBytes = octets({quint8(rate >> 24), quint8(rate >> 16), quint8(rate >> 8), quint8(rate)});
    return comPortCommand(kSetBaud, rateBytes) + comPortCommand(kSetDataSize, QByteArray(1, char(8))) +
           comPortCommand(kSetParity, QByteArray(1, char(kParityNone))) +
           comPortCommand(kSetStopSize, QByteArray(1, char(kOneStopBit))) +
           comPortCommand(kSetControl, QByteArray(1, char(kNoFlowControl)));
}

QByteArray TelnetSession::escape(const QByteArray& data) {
    if (!data.contains(char(kIac)))
        return data;
    QByteArray escaped;
    escaped.reserve(data.size() + 8);
    for (char byte : data) {
        escaped.append(byte);
        if (quint8(byte) == kIac)
            escaped.append(byte);
    }
    return escaped;
}

QByteArray TelnetSession::receive(const QByteArray& bytes) {
    QByteArray data;
    data.reserve(bytes.size());
    for (char c : bytes) {
        const quint8 byte = quint8(c);
        switch (state_) {
        case State::Data:
            if (byte == kIac)
                state_ = State::Command;
            else
                data.append(c);
            break;
        case State::Command:
            if (byte == kIac) {
                data.append(c);
                state_ = State::Data;
            } else if (byte >= kWill && byte <= kDont) {
                verb_ = byte;
                state_ = State::Option;
            } else if (byte == kSb) {
                sub_.clear();
                state_ = State::Sub;
            } else {
                // NOP, go-ahead, data mark and the like carry nothing for us.
                state_ = State::Data;
            }
            break;
        case State::Option:
            negotiate(verb_, byte);
            state_ = State::Data;
            break;
        case State::Sub:
            if (byte == kIac)
                state_ = State::SubCommand;
            else
                sub_.append(c);
            break;
        case State::SubCommand:
            if (byte == kIac) {
                sub_.append(c);
                state_ = State::Sub;
            } else {
                // IAC SE ends it; anything else is a server that forgot to, so end it too.
                subnegotiation();
                state_ = State::Data;
            }
            break;
        }
    }
    return data;
}

QByteArray TelnetSession::takeReplies() {
    return std::exchange(replies_, {});
}

void TelnetSession::negotiate(quint8 verb, quint8 option) {
    switch (verb) {
    case kDo:
        if (option == kComPort)
            comPort_ = ComPort::Accepted;
        if (local_.value(option))
            return;
        if (weOffer(option)) {
            local_.insert(option, true);
            reply(kWill, option);
        } else if (!refused_.contains(option)) {
            refused_.insert(option);
            reply(kWont, option);
        }
        return;
    case kDont:
        if (option == kComPort)
            comPort_ = ComPort::Refused;
        if (local_.value(option)) {
            local_.insert(option, false);
            reply(kWont, option);
        }
        return;
    case kWill:
        if (remote_.value(option))
            return;
        if (weAccept(option)) {
            remote_.insert(option, true);
            reply(kDo, option);
        } else if (!refused_.contains(0x100 | option)) {
            refused_.insert(0x100 | option);
            reply(kDont, option);
        }
        return;
    case kWont:
        if (remote_.value(option)) {
            remote_.insert(option, false);
            reply(kDont, option);
        }
        return;
    default:
        return;
    }
}

void TelnetSession::subnegotiation() {
    if (sub_.size() >= 2 && quint8(sub_[0]) == kComPort && quint8(sub_[1]) == kServerOffset + kSetBaud)
        baudConfirmed_ = true;
}

void TelnetSession::reply(quint8 verb, quint8 option) {
    replies_ += command(verb, option);
}

}  // namespace tallyfold::serial
