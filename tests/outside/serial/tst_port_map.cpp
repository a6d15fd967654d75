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

    // kind device host:port baud latency transfer-retries, or the problem.
    tallyfold::HostSettings host() const { return {home_.path(), {}}; }

    static QString describe(const PortLookup& found) {
        if (!found.settings)
            return QStringLiteral("problem ") + found.problem;
        const PortSettings& s = *found.settings;
        static const char* kinds[] = {"serial", "tcp", "rfc2217"};
        return QStringLiteral("%1 %2 %3:%4 %5 %6 %7")
            .arg(QLatin1String(kinds[int(s.kind)]), s.device, s.host)
            .arg(s.tcpPort)
            .arg(s.baudRate)
            .arg(s.latencyMs)
            .arg(s.transferRetries);
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(home_.isValid());
        QVERIFY(QDir(home_.path()).mkpath(QStringLiteral("Config")));
    }

    void init() { QFile::remove(iniPath()); }

    void withoutAMapPortsAreTheStandardDevices() {
        QCOMPARE(portMapPath(host()), iniPath());
        QCOMPARE(describe(lookUpPort(host(), 1)), QStringLiteral("serial /dev/ttyS0 :0 9600 0 1"));
        QCOMPARE(describe(lookUpPort(host(), 12)), QStringLiteral("serial /dev/ttyS11 :0 9600 0 1"));
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
            "transfer_retries=2\r\n"
            "1 = /dev/ttyUSB0 ; the canteen line\r\n"
            "1.baud=115200\r\n"
            "3=tcp://10.0.0.5:4001\r\n"
            "3.Latency_ms=400\r\n"
            "3.transfer_retries=0\r\n"
            "4=RFC2217://[fe80::1]:2217/\r\n"
            "5=rfc2217://canteen-server.local:7000\r\n");
        QCOMPARE(describe(lookUpPort(host(), 1)), QStringLiteral("serial /dev/ttyUSB0 :0 115200 50 2"));
        QCOMPARE(describe(lookUpPort(host(), 2)), QStringLiteral("serial /dev/ttyS1 :0 19200 50 2"));
        QCOMPARE(describe(lookUpPort(host(), 3)), QStringLiteral("tcp tcp://10.0.0.5:4001 10.0.0.5:4001 19200 400 0"));
        QCOMPARE(describe(lookUpPort(host(), 4)),
                 QStringLiteral("rfc2217 RFC2217://[fe80::1]:2217/ fe80::1:2217 19200 50 2"));
        QCOMPARE(describe(lookUpPort(host(), 5)),
                 QStringLiteral("rfc2217 rfc2217://canteen-server.local:7000 canteen-server.local:7000 19200 50 2"));
    }

    void unusableLineIsNamed_data() {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QList<int>>("refused");
        const QList<int> all{1, 2, 3, 4, 7};
        // Port 1 has its own rate, so a broken default rate does not reach it.
        const QList<int> withoutOwnRate{2, 3, 4, 7};
        QTest::newRow("baud not a number") << QByteArray("3.baud=fast") << QStringLiteral("baud rate") << QList<int>{3};
        QTest::newRow("baud of a port nobody uses")
            << QByteArray("7.baud=fast") << QStringLiteral("baud rate") << QList<int>{7};
        QTest::newRow("baud zero") << QByteArray("baud=0") << QStringLiteral("own N.baud") << withoutOwnRate;
        QTest::newRow("baud negative") << QByteArray("4.baud=-5") << QStringLiteral("baud rate") << QList<int>{4};
        QTest::newRow("latency negative")
            << QByteArray("2.latency_ms=-1") << QStringLiteral("latency_ms") << QList<int>{2};
        QTest::newRow("latency in seconds") << QByteArray("latency_ms=0.4") << QStringLiteral("latency_ms") << all;
        QTest::newRow("transfer retries negative")
            << QByteArray("transfer_retries=-1") << QStringLiteral("transfer_retries") << all;
        QTest::newRow("transfer retries in words")
            << QByteArray("3.transfer_retries=twice") << QStringLiteral("transfer_retries") << QList<int>{3};
        // Whose line this is cannot be told, so it may be meant for any port.
        QTest::newRow("no equals sign") << QByteArray("1 /dev/ttyUSB0") << QStringLiteral("KEY=VALUE") << all;
        QTest::newRow("misspelt default") << QByteArray("speed=9600") << QStringLiteral("unknown key") << all;
        QTest::newRow("misspelt key") << QByteArray("1.baudrate=9600") << QStringLiteral("unknown key") << QList<int>{1};
        QTest::newRow("empty device") << QByteArray("1=") << QStringLiteral("no device") << QList<int>{1};
        QTest::newRow("unknown scheme")
            << QByteArray("1=udp://10.0.0.5:4001") << QStringLiteral("tcp://") << QList<int>{1};
        QTest::newRow("address without port")
            << QByteArray("1=tcp://10.0.0.5") << QStringLiteral("TCP port") << QList<int>{1};
        QTest::newRow("port out of range")
            << QByteArray("1=tcp://10.0.0.5:70000") << QStringLiteral("not HOST") << QList<int>{1};
        QTest::newRow("address with a path")
            << QByteArray("1=rfc2217://10.0.0.5:4001/ttyS0") << QStringLiteral("not HOST") << QList<int>{1};
    }

    // The line fails the ports it concerns, named with its file and number; the others open.
    void unusableLineIsNamed() {
        QFETCH(QByteArray, line);
        QFETCH(QString, reason);
        QFETCH(QList<int>, refused);
        writePorts("[Ports]\n1=/dev/ttyUSB0\n1.baud=115200\n" + line + "\n");
        const QString problem = QStringLiteral("%1:4: %2: ").arg(iniPath(), QString::fromLatin1(line));
        for (int port : {1, 2, 3, 4, 7}) {
            const PortLookup found = lookUpPort(host(), port);
            QCOMPARE(!found.settings, refused.contains(port));
            if (!found.settings)
                QVERIFY2(found.problem.startsWith(problem) && found.problem.contains(reason),
                         qPrintable(found.problem));
        }
        QCOMPARE(portMapProblems(iniPath()).size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestPortMap)
#include "tst_port_map.moc"
