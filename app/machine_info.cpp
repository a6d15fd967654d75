#include "machine_info.h"

#include "outside/serial/port_map.h"
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
};

std::vector<Row> machineRows(const std::shared_ptr<Connection>& connection) {
    std::vector<Row> rows;
    Recordset rs;
    rs.Open(QStringLiteral("select MachAddr, MachDesc from MachineInfo"), connection);
    for (; !rs.Eof(); rs.MoveNext()) {
        const Variant address = rs.Fields(QStringLiteral("MachAddr"));
        const Variant kind = rs.Fields(QStringLiteral("MachDesc"));
        if (!address.isNull())
            rows.push_back(Row{address.toText().trimmed(), kind.isNull() ? QString() : kind.toText()});
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

// A port the gather can open: the mapping must read, and a serial device must be there.
void checkPort(const HostSettings& host, int port) {
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

void addTerminal(const std::shared_ptr<Connection>& connection, const HostSettings& host, const QString& address,
                 const TerminalFields& fields) {
    const int value = deviceAddress(address);
    checkFields(fields);
    // Terminals of every kind share one bus address space and one lookup by address.
    for (const Row& row : machineRows(connection)) {
        bool numeric = false;
        const int other = row.address.toInt(&numeric);
        if (numeric ? other == value : row.address == address)
            throw TerminalRefused{
                TerminalProblem::Taken,
                QStringLiteral("the address %1 is taken by terminal %2 (%3)").arg(address, row.address, row.kind)};
    }
    if (!fields.port)
        throw TerminalRefused{TerminalProblem::BadPort, QStringLiteral("a terminal needs --port")};
    checkPort(host, *fields.port);
    // Never a null Ver or Team: the list could not show the row, and the window would not open.
    executeBound(*connection,
                 QStringLiteral("insert into MachineInfo (MachAddr, MachDesc, COMX, Ver, Team) values (?, ?, ?, ?, ?)"),
                 {address, fields.kind.value_or(CountType), *fields.port, fields.version.value_or(QStringLiteral("")),
                  fields.team.value_or(QStringLiteral(""))});
}

void changeTerminal(const std::shared_ptr<Connection>& connection, const HostSettings& host, const QString& address,
                    const TerminalFields& fields) {
    checkFields(fields);
    countTypeRow(machineRows(connection), address);
    if (fields.port)
        checkPort(host, *fields.port);
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
        return;
    values << address;
    executeBound(*connection,
                 QStringLiteral("update MachineInfo set %1 where MachAddr=?").arg(columns.join(QStringLiteral(", "))),
                 values);
}

void removeTerminal(const std::shared_ptr<Connection>& connection, const QString& address) {
    countTypeRow(machineRows(connection), address);
    executeBound(*connection, QStringLiteral("delete from MachineInfo where MachAddr=?"), {address});
    forgetGatherState(*connection, address);
}

}  // namespace tallyfold
