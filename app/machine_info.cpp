#include "machine_info.h"

#include "outside/serial/port_map.h"
#include "outside/serial/transport.h"
#include "platform/recordset.h"
#include "records/gather_history.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <vector>

namespace tallyfold {

namespace {

const QString CountType = QStringLiteral("计次");
const QString CountTypeVariant = QStringLiteral("记次");

struct Row {
    QString address;
    QString kind;
    QString port;
};

std::vector<Row> machineRows(const std::shared_ptr<Connection>& connection) {
    std::vector<Row> rows;
    Recordset rs;
    rs.Open(QStringLiteral("select MachAddr, MachDesc, COMX from MachineInfo"), connection);
    for (; !rs.Eof(); rs.MoveNext()) {
        const Variant address = rs.Fields(QStringLiteral("MachAddr"));
        const Variant kind = rs.Fields(QStringLiteral("MachDesc"));
        const Variant port = rs.Fields(QStringLiteral("COMX"));
        if (!address.isNull())
            rows.push_back(Row{address.toText().trimmed(), kind.isNull() ? QString() : kind.toText(),
                               port.isNull() ? QString() : port.toText().trimmed()});
    }
    rs.Close();
    return rows;
}

// The address the terminal answers to, as the device protocol carries it (one byte).
int deviceAddress(const QString& text) {
    static const QRegularExpression pattern(QStringLiteral("^(0|[1-9][0-9]{0,2})$"));
    const int value = pattern.match(text).hasMatch() ? text.toInt() : -1;
    if (value < 0 || value > 255)
        throw TerminalRefused{TerminalProblem::BadAddress,
                              QStringLiteral("\"%1\" is no terminal address: a whole number from 0 to 255, without "
                                             "leading zeros")
                                  .arg(text)};
    return value;
}

// The column widths of the host schema; a server would refuse the row, SQLite keep it whole.
void checkFields(const TerminalFields& fields) {
    if (fields.kind && *fields.kind != CountType && *fields.kind != CountTypeVariant)
        throw TerminalRefused{TerminalProblem::BadKind,
                              QStringLiteral("--desc %1 is not a count type (计次 or 记次): the terminal would not be "
                                             "listed")
                                  .arg(*fields.kind)};
    auto fits = [](const std::optional<QString>& value, const char* option, int width) {
        if (value && value->size() > width)
            throw TerminalRefused{
                TerminalProblem::TooLong,
                QStringLiteral("--%1 holds at most %2 characters").arg(QLatin1String(option)).arg(width)};
    };
    fits(fields.version, "version", 20);
    fits(fields.team, "team", 40);
}

// A device server serves one client, and many hand the line to the newest: a connection opened
// and closed at once tells whether it answers, and only on a port no terminal uses yet, which no
// follower or gather can be holding. A server that is down now may be up for the next gather.
constexpr int DeviceServerProbeMs = 2000;

QString deviceServerWarning(const HostSettings& host, int port, const serial::PortSettings& settings) {
    serial::PortSettings probe = settings;
    probe.kind = serial::PortKind::Tcp;  // a connection is enough, without RFC 2217's negotiation
    const std::unique_ptr<serial::Transport> transport =
        serial::makeNetworkTransport(probe, std::make_shared<serial::WaitReport>());
    if (transport->open(DeviceServerProbeMs)) {
        transport->close();
        return {};
    }
    return QStringLiteral(
               "port %1 is the device server %2, which did not take a connection: %3 (%4 maps ports to device "
               "servers); the terminal is listed all the same, and gathers reach it once the server answers")
        .arg(port)
        .arg(settings.device, transport->failureReason(), serial::portMapPath(host));
}

// A port the gather can open: the mapping must read, and a serial device must be there.
// A device server that does not answer now is only worth a warning, returned.
QString checkPort(const HostSettings& host, int port, const std::vector<Row>& rows) {
    const serial::PortLookup lookup = serial::lookUpPort(host, port);
    if (!lookup.settings)
        throw TerminalRefused{TerminalProblem::PortUnusable,
                              QStringLiteral("port %1: %2").arg(port).arg(lookup.problem)};
    const serial::PortSettings& settings = *lookup.settings;
    if (settings.kind == serial::PortKind::Serial && !QFileInfo::exists(settings.device))
        throw TerminalRefused{TerminalProblem::PortUnusable,
                              QStringLiteral("port %1 is the device %2, which is not there (%3 maps ports to devices)")
                                  .arg(port)
                                  .arg(settings.device, serial::portMapPath(host))};
    const bool used =
        std::any_of(rows.begin(), rows.end(), [&](const Row& r) { return r.port == QString::number(port); });
    return settings.kind == serial::PortKind::Serial || used ? QString() : deviceServerWarning(host, port, settings);
}

const Row& countTypeRow(const std::vector<Row>& rows, const QString& address) {
    const auto found = std::find_if(rows.begin(), rows.end(), [&](const Row& r) { return r.address == address; });
    if (found == rows.end())
        throw TerminalRefused{TerminalProblem::NoSuchTerminal, QStringLiteral("no terminal ") + address};
    if (found->kind != CountType && found->kind != CountTypeVariant)
        throw TerminalRefused{
            TerminalProblem::NotCountType,
            QStringLiteral("terminal %1 is of another kind (%2), not a count-type terminal").arg(address, found->kind)};
    return *found;
}

}  // namespace

int portNumber(const QString& text) {
    static const QRegularExpression pattern(QStringLiteral("^[1-9][0-9]{0,4}$"));
    if (!pattern.match(text).hasMatch())
        throw TerminalRefused{TerminalProblem::BadPort,
                              QStringLiteral("--port %1 is no port number: a whole number from 1 to 99999").arg(text)};
    return text.toInt();
}

QString addTerminal(const std::shared_ptr<Connection>& connection, const HostSettings& host, const QString& address,
                    const TerminalFields& fields) {
    const int value = deviceAddress(address);
    checkFields(fields);
    // Terminals of every kind share one bus address space and one lookup by address.
    const std::vector<Row> rows = machineRows(connection);
    for (const Row& row : rows) {
        bool numeric = false;
        const int other = row.address.toInt(&numeric);
        if (numeric ? other == value : row.address == address)
            throw TerminalRefused{
                TerminalProblem::Taken,
                QStringLiteral("the address %1 is taken by terminal %2 (%3)").arg(address, row.address, row.kind)};
    }
    if (!fields.port)
        throw TerminalRefused{TerminalProblem::BadPort, QStringLiteral("a terminal needs --port")};
    const QString warning = checkPort(host, *fields.port, rows);
    // Never a null Ver or Team: the list could not show the row, and the window would not open.
    executeBound(*connection,
                 QStringLiteral("insert into MachineInfo (MachAddr, MachDesc, COMX, Ver, Team) values (?, ?, ?, ?, ?)"),
                 {address, fields.kind.value_or(CountType), *fields.port, fields.version.value_or(QStringLiteral("")),
                  fields.team.value_or(QStringLiteral(""))});
    return warning;
}

QString changeTerminal(const std::shared_ptr<Connection>& connection, const HostSettings& host, const QString& address,
                       const TerminalFields& fields) {
    checkFields(fields);
    const std::vector<Row> rows = machineRows(connection);
    countTypeRow(rows, address);
    const QString warning = fields.port ? checkPort(host, *fields.port, rows) : QString();
    QStringList columns;
    QVariantList values;
    auto set = [&](const char* column, const QVariant& value) {
        columns << QLatin1String(column) + QStringLiteral("=?");
        values << value;
    };
    if (fields.port)
        set("COMX", *fields.port);
    if (fields.kind)
        set("MachDesc", *fields.kind);
    if (fields.version)
        set("Ver", *fields.version);
    if (fields.team)
        set("Team", *fields.team);
    if (columns.isEmpty())
        return warning;
    values << address;
    executeBound(*connection,
                 QStringLiteral("update MachineInfo set %1 where MachAddr=?").arg(columns.join(QStringLiteral(", "))),
                 values);
    return warning;
}

void removeTerminal(const std::shared_ptr<Connection>& connection, const QString& address) {
    countTypeRow(machineRows(connection), address);
    executeBound(*connection, QStringLiteral("delete from MachineInfo where MachAddr=?"), {address});
    forgetGatherState(*connection, address);
}

}  // namespace tallyfold
