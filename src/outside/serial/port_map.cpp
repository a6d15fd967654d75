#include "outside/serial/port_map.h"

#include "outside/host_folder.h"

#include <QFile>
#include <QHash>

namespace tallyfold::serial {

namespace {

QHash<QString, QString> readPortsSection(const QString& iniPath) {
    QHash<QString, QString> values;
    QFile file(iniPath);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return values;
    bool inPorts = false;
    while (!file.atEnd()) {
        const QString line = QString::fromLocal8Bit(file.readLine()).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char(';')) || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
            inPorts = line.mid(1, line.size() - 2).trimmed().compare(QLatin1String("Ports"), Qt::CaseInsensitive) == 0;
            continue;
        }
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (!inPorts || eq <= 0)
            continue;
        QString value = line.mid(eq + 1);
        // Device paths carry no ';', so a trailing comment can be cut safely.
        const qsizetype comment = value.indexOf(QLatin1Char(';'));
        if (comment >= 0)
            value.truncate(comment);
        values.insert(line.left(eq).trimmed().toLower(), value.trimmed());
    }
    return values;
}

std::optional<qint32> parseBaud(const QString& text) {
    bool ok = false;
    const qint32 baud = text.toInt(&ok);
    if (!ok || baud <= 0)
        return std::nullopt;
    return baud;
}

}  // namespace

QString portMapPath(const HostSettings& host) {
    return host.path(QStringLiteral("Config/Ports.ini"));
}

std::optional<PortSettings> portSettings(const HostSettings& host, int portNumber) {
    return portSettings(portMapPath(host), portNumber);
}

std::optional<PortSettings> portSettings(const QString& iniPath, int portNumber) {
    if (portNumber < 1)
        return std::nullopt;
    const QHash<QString, QString> values = readPortsSection(iniPath);
    const QString key = QString::number(portNumber);

    PortSettings settings;
    settings.device = values.value(key);
    if (settings.device.isEmpty())
        settings.device = QStringLiteral("/dev/ttyS") + QString::number(portNumber - 1);
    if (const auto baud = parseBaud(values.value(QStringLiteral("baud"))))
        settings.baudRate = *baud;
    if (const auto baud = parseBaud(values.value(key + QStringLiteral(".baud"))))
        settings.baudRate = *baud;
    return settings;
}

}  // namespace tallyfold::serial
