#include "outside/serial/port_map.h"

#include "outside/host_folder.h"

#include <QFile>
#include <QHash>
#include <QRegularExpression>
#include <QUrl>

namespace tallyfold::serial {

namespace {

constexpr qint32 kMaxBaud = 4'000'000;
constexpr int kMaxLatencyMs = 600'000;
constexpr int kMaxTransferRetries = 100;

// An unusable line and whom it concerns.
struct LineProblem {
    // The port the line is about; none when it is a default or cannot be told.
    std::optional<int> port;
    // The default's name (baud, latency_ms, transfer_retries); empty when the line cannot be told apart.
    QString setting;
    QString text;
};

struct PortsSection {
    QHash<QString, QString> values;
    QList<LineProblem> problems;

    // The first unusable line port n would depend on: its own, a default it
    // takes because it has no value of its own, or a line nobody can place.
    const LineProblem* problemFor(int n) const {
        const QString own = QString::number(n);
        for (const LineProblem& p : problems) {
            if (p.port ? *p.port == n
                       : p.setting.isEmpty() || !values.contains(own + QLatin1Char('.') + p.setting))
                return &p;
        }
        return nullptr;
    }
};

std::optional<int> wholeNumber(const QString& text, int min, int max) {
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < min || value > max)
        return std::nullopt;
    return value;
}

// Fills the network part of `settings` from tcp://HOST:PORT or rfc2217://HOST:PORT;
// the reason when the address cannot be used.
QString parseAddress(const QString& value, PortSettings& settings) {
    const QUrl url(value, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("tcp"))
        settings.kind = PortKind::Tcp;
    else if (scheme == QLatin1String("rfc2217"))
        settings.kind = PortKind::Rfc2217;
    else
        return QStringLiteral("a network port is tcp://HOST:PORT or rfc2217://HOST:PORT");
    if (!url.isValid() || url.host().isEmpty() || !url.userInfo().isEmpty() || url.hasQuery() || url.hasFragment() ||
        (!url.path().isEmpty() && url.path() != QLatin1String("/")))
        return QStringLiteral("the address is not HOST:PORT");
    if (url.port() < 1 || url.port() > 65535)
        return QStringLiteral("the address needs a TCP port from 1 to 65535");
    settings.host = url.host();
    settings.tcpPort = quint16(url.port());
    return {};
}

// The reason a value cannot be used for `key`, empty when it can.
QString checkValue(const QString& key, const QString& value) {
    static const QRegularExpression keyPattern(
        QStringLiteral("^(?:([1-9][0-9]{0,4})(?:\\.(baud|latency_ms|transfer_retries))?|baud|latency_ms|transfer_retries)$"));
    const QRegularExpressionMatch match = keyPattern.match(key);
    if (!match.hasMatch())
        return QStringLiteral("unknown key; keys are N, N.baud, N.latency_ms, N.transfer_retries, baud, latency_ms "
                              "and transfer_retries");
    if (key.endsWith(QLatin1String("baud")))
        return wholeNumber(value, 1, kMaxBaud)
                   ? QString()
                   : QStringLiteral("a baud rate is a whole number from 1 to %1").arg(kMaxBaud);
    if (key.endsWith(QLatin1String("latency_ms")))
        return wholeNumber(value, 0, kMaxLatencyMs)
                   ? QString()
                   : QStringLiteral("latency_ms is a whole number of milliseconds from 0 to %1").arg(kMaxLatencyMs);
    if (key.endsWith(QLatin1String("transfer_retries")))
        return wholeNumber(value, 0, kMaxTransferRetries)
                   ? QString()
                   : QStringLiteral("transfer_retries is a whole number from 0 to %1").arg(kMaxTransferRetries);
    if (value.isEmpty())
        return QStringLiteral("no device");
    if (value.contains(QLatin1String("://"))) {
        PortSettings scratch;
        return parseAddress(value, scratch);
    }
    return {};
}

PortsSection readPortsSection(const QString& iniPath) {
    PortsSection section;
    QFile file(iniPath);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return section;
    bool inPorts = false;
    int lineNumber = 0;
    while (!file.atEnd()) {
        ++lineNumber;
        const QString line = QString::fromLocal8Bit(file.readLine()).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char(';')) || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
            inPorts = line.mid(1, line.size() - 2).trimmed().compare(QLatin1String("Ports"), Qt::CaseInsensitive) == 0;
            continue;
        }
        if (!inPorts)
            continue;
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        const QString key = eq > 0 ? line.left(eq).trimmed().toLower() : QString();
        auto problem = [&](const QString& why) {
            static const QRegularExpression portKey(QStringLiteral("^([1-9][0-9]{0,4})(?:\\.|$)"));
            static const QRegularExpression defaultKey(QStringLiteral("^(baud|latency_ms|transfer_retries)$"));
            LineProblem p;
            p.text = QStringLiteral("%1:%2: %3: %4").arg(iniPath).arg(lineNumber).arg(line, why);
            if (const auto m = portKey.match(key); m.hasMatch()) {
                p.port = m.captured(1).toInt();
            } else if (const auto d = defaultKey.match(key); d.hasMatch()) {
                p.setting = d.captured(1);
                p.text += QStringLiteral("; every port without its own N.%1 is refused").arg(p.setting);
            } else {
                p.text += QStringLiteral("; every port is refused, the line may be meant for any");
            }
            section.problems << p;
        };
        if (eq <= 0) {
            problem(QStringLiteral("not KEY=VALUE"));
            continue;
        }
        QString value = line.mid(eq + 1);
        // Device paths and addresses carry no ';', so a trailing comment can be cut safely.
        const qsizetype comment = value.indexOf(QLatin1Char(';'));
        if (comment >= 0)
            value.truncate(comment);
        value = value.trimmed();
        if (const QString why = checkValue(key, value); !why.isEmpty()) {
            problem(why);
            continue;
        }
        section.values.insert(key, value);
    }
    return section;
}

}  // namespace

QString portMapPath(const HostSettings& host) {
    return host.path(QStringLiteral("Config/Ports.ini"));
}

PortLookup lookUpPort(const HostSettings& host, int portNumber) {
    return lookUpPort(portMapPath(host), portNumber);
}

PortLookup lookUpPort(const QString& iniPath, int portNumber) {
    if (portNumber < 1)
        return {std::nullopt, QStringLiteral("there is no port %1; ports count from 1").arg(portNumber)};
    const PortsSection section = readPortsSection(iniPath);
    if (const LineProblem* problem = section.problemFor(portNumber))
        return {std::nullopt, problem->text};
    const QString key = QString::number(portNumber);
    auto number = [&](const QString& name, int fallback) {
        const auto own = section.values.constFind(key + QLatin1Char('.') + name);
        if (own != section.values.cend())
            return own->toInt();
        const auto all = section.values.constFind(name);
        return all != section.values.cend() ? all->toInt() : fallback;
    };

    PortSettings settings;
    settings.device = section.values.value(key);
    if (settings.device.isEmpty())
        settings.device = QStringLiteral("/dev/ttyS") + QString::number(portNumber - 1);
    else if (settings.device.contains(QLatin1String("://")))
        parseAddress(settings.device, settings);
    settings.baudRate = number(QStringLiteral("baud"), settings.baudRate);
    settings.latencyMs = number(QStringLiteral("latency_ms"), settings.latencyMs);
    settings.transferRetries = number(QStringLiteral("transfer_retries"), settings.transferRetries);
    return {settings, {}};
}

QStringList portMapProblems(const QString& iniPath) {
    QStringList texts;
    for (const LineProblem& p : readPortsSection(iniPath).problems)
        texts << p.text;
    return texts;
}

}  // namespace tallyfold::serial
