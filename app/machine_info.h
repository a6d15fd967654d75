#pragma once

// The host's terminal table, MachineInfo, written as the host application writes it:
// a count-type kind, an address the device protocol can reach, a port that opens.

#include "outside/host_folder.h"
#include "platform/connection.h"

#include <QString>
#include <memory>
#include <optional>

namespace tallyfold {

enum class TerminalProblem {
    BadAddress,      // not a whole number from 0 to 255 without leading zeros
    Taken,           // another row has the address
    NoSuchTerminal,  // no row has the address
    NotCountType,    // the row is a terminal of another kind: not ours to change
    BadPort,         // not a port number
    PortUnusable,    // Config/Ports.ini or the default mapping cannot open it
    BadKind,         // a description that is not a count type
    TooLong,         // longer than the column holds
};

struct TerminalRefused {
    TerminalProblem problem;
    QString text;
};

// What add and set write; an empty field keeps the row's value (add: the default).
struct TerminalFields {
    std::optional<int> port;
    std::optional<QString> kind;  // MachDesc; 计次 when added without one
    std::optional<QString> team;
    std::optional<QString> version;
};

// The port number of --port, or TerminalRefused.
int portNumber(const QString& text);

// Each raises TerminalRefused before anything is written, Error when the database fails.
// add and set return a warning, empty when there is none: a device server on a port no
// terminal uses yet that did not take a connection now (the OS's reason) does not keep the
// terminal from the list.
QString addTerminal(const std::shared_ptr<Connection>& connection, const HostSettings& host, const QString& address,
                    const TerminalFields& fields);
QString changeTerminal(const std::shared_ptr<Connection>& connection, const HostSettings& host, const QString& address,
                       const TerminalFields& fields);
void removeTerminal(const std::shared_ptr<Connection>& connection, const QString& address);

}  // namespace tallyfold
