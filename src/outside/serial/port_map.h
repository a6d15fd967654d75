#pragma once

#include "outside/host_folder.h"

#include <QString>
#include <optional>

namespace tallyfold::serial {

struct PortSettings {
    QString device;
    qint32 baudRate = 9600;
};

// Port number n (1-based) -> device and baud rate, read from Config/Ports.ini in
// the host folder:
//
//   [Ports]
//   baud=19200          ; every port's rate, 9600 when absent
//   1=/dev/ttyUSB0      ; port 1's device, /dev/ttyS<n-1> when absent
//   1.baud=115200       ; port 1's own rate
//
// Keys are case-insensitive, ';' and '#' start comments, other sections are
// ignored, and an unusable baud value falls back to the one below it.
// Empty for port numbers below 1. Lines are always 8N1.
std::optional<PortSettings> portSettings(const HostSettings& host, int portNumber);
std::optional<PortSettings> portSettings(const QString& iniPath, int portNumber);

QString portMapPath(const HostSettings& host);

}  // namespace tallyfold::serial
