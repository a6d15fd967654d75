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

    void writePorts(const QByteArray& text) {
        QFile file(home_.filePath(QStringLiteral("Config/Ports.ini")));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text);
    }

    static PortSettings settings(int port) {
        const auto found = portSettings(tallyfold::hostSettingsFromEnvironment(), port);
        return found ? *found : PortSettings{QStringLiteral("<none>"), 0};
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(home_.isValid());
        QVERIFY(QDir(home_.path()).mkpath(QStringLiteral("Config")));
        qputenv("TALLYFOLD_HOME", QFile::encodeName(home_.path()));
    }

    void init() { QFile::remove(home_.filePath(QStringLiteral("Config/Ports.ini"))); }

    void withoutAMapPortsAreTheStandardDevices() {
        QCOMPARE(portMapPath(tallyfold::hostSettingsFromEnvironment()),
                 home_.path() + QStringLiteral("/Config/Ports.ini"));
        QCOMPARE(settings(1).device, QStringLiteral("/dev/ttyS0"));
        QCOMPARE(settings(1).baudRate, 9600);
        QCOMPARE(settings(12).device, QStringLiteral("/dev/ttyS11"));
        QVERIFY(!portSettings(tallyfold::hostSettingsFromEnvironment(), 0));
        QVERIFY(!portSettings(tallyfold::hostSettingsFromEnvironment(), -3));
    }

    void mappedDevicesAndRates() {
        writePorts(
            "; line speeds\r\n"
            "[Other]\r\n"
            "2=/dev/wrong\r\n"
            "[ports]\r\n"
            "BAUD = 19200\r\n"
            "1 = /dev/ttyUSB0 ; the canteen line\r\n"
            "1.baud=115200\r\n"
            "3=/dev/ttyACM1\r\n"
            "3.baud=fast\r\n");
        QCOMPARE(settings(1).device, QStringLiteral("/dev/ttyUSB0"));
        QCOMPARE(settings(1).baudRate, 115200);
        QCOMPARE(settings(2).device, QStringLiteral("/dev/ttyS1"));
        QCOMPARE(settings(2).baudRate, 19200);
        QCOMPARE(settings(3).device, QStringLiteral("/dev/ttyACM1"));
        QCOMPARE(settings(3).baudRate, 19200);
    }

    void unusableLineRateFallsBackToTheDefault() {
        writePorts("[Ports]\nbaud=-5\n4.baud=0\n");
        QCOMPARE(settings(4).baudRate, 9600);
    }
};

QTEST_GUILESS_MAIN(TestPortMap)
#include "tst_port_map.moc"
