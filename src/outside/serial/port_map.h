#pragma once

#include "outside/host_folder.h"

#include <QString>
#include <QStringList>
#include <optional>

namespace tallyfold::serial {

enum class PortKind {
    Serial,
    Tcp,      // a serial device server in raw TCP mode
    Rfc2217,  // a device server taking the line settings over telnet (RFC 2217)
};

struct PortSettings {
    PortKind kind = PortKind::Serial;
    // The device path, or the address as written in Ports.ini (tcp://HOST:PORT).
    QString device;
    QString host;
    quint16 tcpPort = 0;
    qint32 baudRate = 9600;
    // Added to every wait for an answer: the network's share of a round trip.
    int latencyMs = 0;
    // How often a gather whose transfer was cut starts it again from the first record.
    int transferRetries = 1;
};

struct PortLookup {
    std::optional<PortSettings> settings;
    // Why there are none: "FILE:LINE: TEXT: reason", or a port number below 1.
    QString problem;
};

// Port number n (1-based) -> line settings, read from Config/Ports.ini in the
// host folder:
//
//   [Ports]
//   baud=19200                     ; every port's rate, 9600 when absent
//   latency_ms=0                   ; every port's extra reply allowance
//   1=/dev/ttyUSB0                 ; port 1's device, /dev/ttyS<n-1> when absent
//   1.baud=115200                  ; port 1's own rate
//   2=tcp://10.0.0.5:4001          ; a device server in raw TCP mode
//   3=rfc2217://10.0.0.6:2217      ; a device server that takes baud and framing over telnet
//   3.latency_ms=400               ; port 3's own allowance
//   transfer_retries=1             ; a cut transfer is started again this often, 0: never
//   2.transfer_retries=3           ; port 2's own count
//
// Keys are case-insensitive, ';' and '#' start comments, other sections are
// ignored. A line of the [Ports] section that cannot be used fails, with that
// line named, the lookups it could reach: N and N.* lines port N, a default
// every port without its own value for it, a line whose key names neither
// every port. A wrong setting must not quietly reach another device or rate,
// nor stop the ports it has nothing to do with. Lines are always 8N1.
PortLookup lookUpPort(const HostSettings& host, int portNumber);
PortLookup lookUpPort(const QString& iniPath, int portNumber);
// Every unusable line of the [Ports] section; empty when there is none or no file.
QStringList portMapProblems(const QString& iniPath);

QString portMapPath(const HostSettings& host);

}  // namespace tallyfold::serial
