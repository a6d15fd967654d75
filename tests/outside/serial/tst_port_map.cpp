#include "outside/serial/port_map.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace tallyfold::serial;

class TestPortMap : public QObject {
    Q_OBJECT

private:
    QTemporaryDir home_;

    QString iniPath() const { return home_.filePath(QStringLiteral("Config/Ports.ini")); }

    void writePorts(const QByteArray& text) {
        QFile file(iniPath());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text);
    }

    // kind device host:port baud latency, or the problem.
    tallyfold::HostSettings host() const { return {home_.path(), {}}; }

    static QString describe(const PortLookup& found) {
        if (!found.settings)
            return QStringLiteral("problem ") + found.problem;
        const PortSettings& s = *found.settings;
        static const char* kinds[] = {"serial", "tcp", "rfc2217"};
        return QStringLiteral("%1 %2 %3:%4 %5 %6")
            .arg(QLatin1String(kinds[int(s.kind)]), s.device, s.host)
            .arg(s.tcpPort)
            .arg(s.baudRate)
            .arg(s.latencyMs);
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(home_.isValid());
        QVERIFY(QDir(home_.path()).mkpath(QStringLiteral("Config")));
    }

    void init() { QFile::remove(iniPath()); }

    void withoutAMapPortsAreTheStandardDevices() {
        QCOMPARE(portMapPath(host()), iniPath());
        QCOMPARE(describe(lookUpPort(host(), 1)), QStringLiteral("serial /dev/ttyS0 :0 9600 0"));
        QCOMPARE(describe(lookUpPort(host(), 12)), QStringLiteral("serial /dev/ttyS11 :0 9600 0"));
        QVERIFY(!lookUpPort(host(), 0).settings);
        QVERIFY(!lookUpPort(host(), -3).settings);
        QVERIFY(portMapProblems(iniPath()).isEmpty());
    }

    void mappedPorts() {
        writePorts(
            "; line speeds\r\n"
            "[Other]\r\n"
            "2=/dev/wrong\r\n"
            "9=nonsense without equals\r\n"
            "[ports]\r\n"
            "BAUD = 19200\r\n"
            "latency_ms=50\r\n"
            "1 = /dev/ttyUSB0 ; the canteen line\r\n"
            "1.baud=115200\r\n"
            "3=tcp://10.0.0.5:4001\r\n"
            "3.Latency_ms=400\r\n"
            "4=RFC2217://[fe80::1]:2217/\r\n"
            "5=rfc2217://canteen-server.local:7000\r\n");
        QCOMPARE(describe(lookUpPort(host(), 1)), QStringLiteral("serial /dev/ttyUSB0 :0 115200 50"));
        QCOMPARE(describe(lookUpPort(host(), 2)), QStringLiteral("serial /dev/ttyS1 :0 19200 50"));
        QCOMPARE(describe(lookUpPort(host(), 3)), QStringLiteral("tcp tcp://10.0.0.5:4001 10.0.0.5:4001 19200 400"));
        QCOMPARE(describe(lookUpPort(host(), 4)),
                 QStringLiteral("rfc2217 RFC2217://[fe80::1]:2217/ fe80::1:2217 19200 50"));
        QCOMPARE(describe(lookUpPort(host(), 5)),
                 QStringLiteral("rfc2217 rfc2217://canteen-server.local:7000 canteen-server.local:7000 19200 50"));
    }

    void unusableLineIsNamed_data() {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("reason");
        QTest::newRow("baud not a number") << QByteArray("3.baud=fast") << QStringLiteral("baud rate");
        QTest::newRow("baud zero") << QByteArray("baud=0") << QStringLiteral("baud rate");
        QTest::newRow("baud negative") << QByteArray("4.baud=-5") << QStringLiteral("baud rate");
        QTest::newRow("latency negative") << QByteArray("2.latency_ms=-1") << QStringLiteral("latency_ms");
        QTest::newRow("latency in seconds") << QByteArray("latency_ms=0.4") << QStringLiteral("latency_ms");
        QTest::newRow("no equals sign") << QByteArray("1 /dev/ttyUSB0") << QStringLiteral("KEY=VALUE");
        QTest::newRow("misspelt key") << QByteArray("1.baudrate=9600") << QStringLiteral("unknown key");
        QTest::newRow("empty device") << QByteArray("1=") << QStringLiteral("no device");
        QTest::newRow("unknown scheme") << QByteArray("1=udp://10.0.0.5:4001") << QStringLiteral("tcp://");
        QTest::newRow("address without port") << QByteArray("1=tcp://10.0.0.5") << QStringLiteral("TCP port");
        QTest::newRow("port out of range") << QByteArray("1=tcp://10.0.0.5:70000") << QStringLiteral("not HOST");
        QTest::newRow("address with a path")
            << QByteArray("1=rfc2217://10.0.0.5:4001/ttyS0") << QStringLiteral("not HOST");
    }

    void unusableLineIsNamed() {
        QFETCH(QByteArray, line);
        QFETCH(QString, reason);
        writePorts("[Ports]\n1=/dev/ttyUSB0\n\n" + line + "\n");
        const QString problem = QStringLiteral("%1:4: %2: ").arg(iniPath(), QString::fromLatin1(line));
        // Every port refuses, not only the one the line is about.
        for (int port : {1, 2}) {
            const PortLookup found = lookUpPort(host(), port);
            QVERIFY(!found.settings);
            QVERIFY2(found.problem.startsWith(problem) && found.problem.contains(reason), qPrintable(found.problem));
        }
        QCOMPARE(portMapProblems(iniPath()).size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestPortMap)
#include "tst_port_map.moc"
