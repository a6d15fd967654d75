#pragma once

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QtGlobal>

namespace tallyfold::serial {

// The client side of a telnet connection to a device server that takes the
// line settings over telnet (RFC 2217): 0xFF escaping both ways, option
// negotiation, and the baud rate and framing. Bytes in, bytes out; the socket
// belongs to the caller.
class TelnetSession {
public:
    enum class ComPort { Unknown, Accepted, Refused };

    TelnetSession();

    // What the session asks for at the start: binary data both ways, no
    // go-ahead, COM-port control.
    QByteArray greeting() const;
    // Baud rate, 8 data bits, no parity, 1 stop bit, no flow control.
    static QByteArray lineSettings(qint32 baud);
    // Doubles every 0xFF, so data bytes cannot be taken for commands.
    static QByteArray escape(const QByteArray& data);

    // Takes the telnet commands out of bytes from the server and returns the
    // data bytes. A command may be split across calls. Answers to the
    // server's negotiation collect in takeReplies().
    QByteArray receive(const QByteArray& bytes);
    QByteArray takeReplies();

    ComPort comPort() const { return comPort_; }
    // The server has confirmed a baud rate since the last lineSettings().
    bool baudConfirmed() const { return baudConfirmed_; }
    void expectBaudConfirmation() { baudConfirmed_ = false; }

private:
    enum class State { Data, Command, Option, Sub, SubCommand };

    void negotiate(quint8 verb, quint8 option);
    void subnegotiation();
    void reply(quint8 verb, quint8 option);

    State state_ = State::Data;
    quint8 verb_ = 0;
    QByteArray sub_;
    QByteArray replies_;
    // Whether an option is on at our end (WILL) and at the server's (DO);
    // negotiation answers only a change, so two ends never loop.
    QHash<quint8, bool> local_;
    QHash<quint8, bool> remote_;
    // Refusals of options the session does not know are sent once each.
    QSet<int> refused_;
    ComPort comPort_ = ComPort::Unknown;
    bool baudConfirmed_ = false;
};

}  // namespace tallyfold::serial
