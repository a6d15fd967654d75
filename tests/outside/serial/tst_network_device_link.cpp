#include "link_test_support.h"
#include "outside/serial/serial_device_link.h"
#include "support/terminal_sim_process.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QRegularExpression>
#include <QElapsedTimer>
#include <QHostInfo>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

using namespace tallyfold;
using namespace tallyfold::test;

Q_DECLARE_METATYPE(tallyfold::DeviceError)

namespace {

QString ser2netPath() {
    return QStandardPaths::findExecutable(QStringLiteral("ser2net"),
                                          {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/local/sbin")});
}

QString delayProxyPath() {
    return QDir(qEnvironmentVariable("TALLYFOLD_BIN_DIR")).filePath(QStringLiteral("tallyfold-delay-proxy"));
}

quint16 freePort() {
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost) ? probe.serverPort() : 0;
}

// True once something listens on 127.0.0.1:port, read from the kernel's table
// so that asking does not take the one connection a device server allows.
bool listening(quint16 port) {
    QFile table(QStringLiteral("/proc/net/tcp"));
    if (!table.open(QIODevice::ReadOnly))
        return false;
    const QByteArray local = "0100007F:" + QByteArray::number(port, 16).rightJustified(4, '0').toUpper();
    // procfs files claim size 0, so they are read whole rather than line by line.
    for (const QByteArray& line : table.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 3 && fields[1] == local && fields[3] == "0A")
            return true;
    }
    return false;
}

bool awaitListening(quint16 port) {
    QDeadlineTimer deadline(5000);
    while (!listening(port)) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(20);
    }
    return true;
}

// A helper process stopped with the test.
class Helper {
public:
    ~Helper() { stop(); }
    QProcess& process() { return process_; }
    void stop() {
        if (process_.state() == QProcess::NotRunning)
            return;
        process_.terminate();
        if (!process_.waitForFinished(5000)) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }

private:
    QProcess process_;
};

}  // namespace

// The link through serial device servers on the loopback: ser2net (raw TCP
// and RFC 2217) in front of the simulator's pseudo-terminal, the simulator's
// own TCP bus, and the delay proxy for a slow network.
class TestNetworkDeviceLink : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> home_;
    TerminalSimProcess sim_;
    Helper ser2net_;
    Helper proxy_;
    std::unique_ptr<SerialDeviceLink> link_;

    QString path(const QString& relative) const { return home_->filePath(relative); }
    QString sourceFile() const { return path(QStringLiteral("Source/SourceRecordSet.txt")); }

    QString recordFile(const QList<QByteArray>& records) {
        const QString file = path(QStringLiteral("records.txt"));
        writeFile(file, asSourceFile(records));
        return file;
    }

    // Serves `records` as terminal 1 on the pseudo-terminal and on a TCP bus,
    // puts `route` in front and maps port 1 to it. Routes: pty, listen, raw and
    // rfc2217 (ser2net), raw+delay (ser2net behind the delay proxy).
    QString serve(const QString& route, const QList<QByteArray>& records, const QStringList& options = {},
                  const QString& ports = QStringLiteral("1.baud=115200\n"), int oneWayMs = 250) {
        const QString line = path(QStringLiteral("line"));
        const QStringList terminal{QStringLiteral("--terminal"), QStringLiteral("1=") + recordFile(records)};
        if (!sim_.startBuses(QStringList{QStringLiteral("--link"), line} + terminal +
                             QStringList{QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0")} + terminal +
                             QStringList{QStringLiteral("--baud"), QStringLiteral("115200")} + options)) {
            qWarning() << sim_.errorString();
            return {};
        }
        QString target = route == QLatin1String("pty") ? line : sim_.endpoints().value(1);
        if (route.startsWith(QLatin1String("raw")) || route == QLatin1String("rfc2217")) {
            const quint16 raw = freePort();
            const quint16 telnet = freePort();
            const QString device = QStringLiteral("serialdev,%1,115200n81,local").arg(line);
            ser2net_.process().setProcessChannelMode(QProcess::ForwardedErrorChannel);
            ser2net_.process().start(
                ser2netPath(),
                {QStringLiteral("-n"), QStringLiteral("-u"), QStringLiteral("-P"), path(QStringLiteral("ser2net.pid")),
                 QStringLiteral("-Y"), QStringLiteral("connection: &raw"), QStringLiteral("-Y"),
                 QStringLiteral("  accepter: tcp,127.0.0.1,%1").arg(raw), QStringLiteral("-Y"),
                 QStringLiteral("  connector: ") + device, QStringLiteral("-Y"), QStringLiteral("connection: &telnet"),
                 QStringLiteral("-Y"), QStringLiteral("  accepter: telnet(rfc2217),tcp,127.0.0.1,%1").arg(telnet),
                 QStringLiteral("-Y"), QStringLiteral("  connector: ") + device});
            if (!awaitListening(raw) || !awaitListening(telnet)) {
                qWarning() << "ser2net does not listen";
                return {};
            }
            target = route == QLatin1String("rfc2217") ? QStringLiteral("rfc2217://127.0.0.1:%1").arg(telnet)
                                                       : QStringLiteral("tcp://127.0.0.1:%1").arg(raw);
            if (route == QLatin1String("raw+delay")) {
                const quint16 delayed = freePort();
                proxy_.process().start(
                    delayProxyPath(),
                    {QString::number(delayed), QStringLiteral("127.0.0.1"), QString::number(raw),
                     QStringLiteral("--one-way-ms"), QString::number(oneWayMs)});
                if (!proxy_.process().waitForReadyRead(10000) || !proxy_.process().readLine().startsWith("ready")) {
                    qWarning() << "the delay proxy did not start";
                    return {};
                }
                target = QStringLiteral("tcp://127.0.0.1:%1").arg(delayed);
            }
        }
        writeFile(path(QStringLiteral("Config/Ports.ini")), ("[Ports]\n1=" + target + "\n" + ports).toUtf8());
        return target;
    }

    std::optional<bool> gather() {
        QString text1, text2;
        return link_->GatherData(1, text1, text2);
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY2(!ser2netPath().isEmpty(), "ser2net is missing: scripts/install-deps installs it");
        QVERIFY2(QFile::exists(delayProxyPath()), qPrintable(delayProxyPath()));
        QVERIFY(QFile::exists(TerminalSimProcess::executablePath()));
    }

    void init() {
        home_ = std::make_unique<QTemporaryDir>();
        QVERIFY(home_->isValid());
        for (const char* folder : {"Source", "Config", "Database"})
            QVERIFY(QDir(home_->path()).mkpath(QLatin1String(folder)));
        qputenv("TALLYFOLD_HOME", QFile::encodeName(home_->path()));
        link_ = std::make_unique<SerialDeviceLink>(tallyfold::HostSettings{home_->path(), QString()});
    }

    void cleanup() {
        link_.reset();
        proxy_.stop();
        ser2net_.stop();
        QVERIFY(sim_.stop());
        home_.reset();
    }

    void sameRecordsOverEveryRoute_data() {
        QTest::addColumn<QString>("route");
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("ports");
        QTest::addColumn<int>("probes");
        const QString fast = QStringLiteral("1.baud=115200\n");
        QTest::newRow("pseudo-terminal") << QStringLiteral("pty") << QStringList() << fast << 0;
        QTest::newRow("ser2net raw") << QStringLiteral("raw") << QStringList() << fast << 0;
        // 260 clock settings run the sequence number through 0xFF, which telnet must escape both ways.
        QTest::newRow("ser2net RFC 2217") << QStringLiteral("rfc2217") << QStringList() << fast << 260;
        QTest::newRow("simulator's own TCP bus") << QStringLiteral("listen") << QStringList() << fast << 0;
        QTest::newRow("connection dropped once, reopened")
            << QStringLiteral("listen") << QStringList{QStringLiteral("--drop-after"), QStringLiteral("100")} << fast
            << 0;
        QTest::newRow("250 ms each way, allowance 1000 ms")
            << QStringLiteral("raw+delay") << QStringList() << fast + QStringLiteral("1.latency_ms=1000\n") << 0;
    }

    void sameRecordsOverEveryRoute() {
        QFETCH(QString, route);
        QFETCH(QStringList, options);
        QFETCH(QString, ports);
        QFETCH(int, probes);
        const QList<QByteArray> records = makeRecords(300);
        QVERIFY(!serve(route, records, options, ports).isEmpty());
        QCOMPARE(link_->SetPort(Variant(1)), std::optional<bool>(true));
        for (int i = 0; i < probes; ++i)
            QCOMPARE(link_->ChangeTime(Variant(1), 12, 0, i % 60), std::optional<bool>(true));
        QCOMPARE(gather(), std::optional<bool>(true));
        QCOMPARE(link_->lastError().code, DeviceError::None);
        QCOMPARE(readFile(sourceFile()), asSourceFile(records));
    }

    void faultsEndAsTypedFailures_data() {
        QTest::addColumn<QString>("route");
        QTest::addColumn<QString>("fault");
        QTest::addColumn<bool>("opens");
        QTest::addColumn<DeviceError>("code");
        QTest::newRow("nobody listens, raw")
            << QStringLiteral("raw") << QStringLiteral("no listener") << false << DeviceError::ConnectionRefused;
        QTest::newRow("nobody listens, RFC 2217")
            << QStringLiteral("rfc2217") << QStringLiteral("no listener") << false << DeviceError::ConnectionRefused;
        // The .invalid domain never resolves, wherever the test runs.
        QTest::newRow("host that does not resolve")
            << QStringLiteral("raw") << QStringLiteral("no such host") << false << DeviceError::HostUnreachable;
        QTest::newRow("accepts, never answers, raw")
            << QStringLiteral("raw") << QStringLiteral("mute server") << true << DeviceError::NoAnswer;
        // Where localhost is both ::1 and 127.0.0.1, the address tried first refuses and the next one opens.
        QTest::newRow("accepts on localhost's last address only")
            << QStringLiteral("raw") << QStringLiteral("mute server, last address") << true << DeviceError::NoAnswer;
        QTest::newRow("accepts, never answers, RFC 2217")
            << QStringLiteral("rfc2217") << QStringLiteral("mute server") << false << DeviceError::NoAnswer;
        QTest::newRow("250 ms each way, no allowance")
            << QStringLiteral("raw+delay") << QStringLiteral("") << true << DeviceError::NoAnswer;
        QTest::newRow("ser2net stopped mid-transfer, raw")
            << QStringLiteral("raw") << QStringLiteral("stop ser2net") << true << DeviceError::ConnectionDropped;
        QTest::newRow("ser2net stopped mid-transfer, RFC 2217")
            << QStringLiteral("rfc2217") << QStringLiteral("stop ser2net") << true << DeviceError::ConnectionDropped;
    }

    // Every fault is a False with its code and the OS's reason, and the earlier source file stays whole.
    void faultsEndAsTypedFailures() {
        QFETCH(QString, route);
        QFETCH(QString, fault);
        QFETCH(bool, opens);
        QFETCH(DeviceError, code);
        // At 19,200 baud the 400 records take about 4 s: ser2net is stopped well inside that.
        QString target = serve(route, makeRecords(400), {QStringLiteral("--baud"), QStringLiteral("19200")});
        QVERIFY(!target.isEmpty());
        const QString scheme = route == QLatin1String("rfc2217") ? QStringLiteral("rfc2217") : QStringLiteral("tcp");
        QTcpServer mute;
        if (fault == QLatin1String("no listener"))
            target = QStringLiteral("%1://127.0.0.1:%2").arg(scheme).arg(freePort());
        if (fault == QLatin1String("no such host"))
            target = QStringLiteral("tcp://no-such-host.invalid:4001");
        if (fault == QLatin1String("mute server")) {
            // The kernel completes the handshake; nobody ever reads or writes.
            QVERIFY(mute.listen(QHostAddress::LocalHost));
            target = QStringLiteral("%1://127.0.0.1:%2").arg(scheme).arg(mute.serverPort());
        }
        if (fault == QLatin1String("mute server, last address")) {
            const QList<QHostAddress> addresses = QHostInfo::fromName(QStringLiteral("localhost")).addresses();
            QVERIFY(!addresses.isEmpty());
            QVERIFY(mute.listen(addresses.last()));
            target = QStringLiteral("%1://localhost:%2").arg(scheme).arg(mute.serverPort());
        }
        writeFile(path(QStringLiteral("Config/Ports.ini")), ("[Ports]\nbaud=19200\n1=" + target + "\n").toUtf8());
        QVERIFY(writeFile(sourceFile(), "earlier\r\n"));

        QElapsedTimer took;
        took.start();
        const std::optional<bool> opened = link_->SetPort(Variant(1));
        QCOMPARE(opened, std::optional<bool>(opens));
        QTimer stopper;
        stopper.setSingleShot(true);
        connect(&stopper, &QTimer::timeout, [this] { ser2net_.process().terminate(); });
        if (opens) {
            // The caller's wait handler lets timers run while the link waits, as it lets windows repaint.
            link_->setWaitHandler([](qint64, qint64) { QCoreApplication::processEvents(); });
            if (fault == QLatin1String("stop ser2net"))
                stopper.start(1000);
            QCOMPARE(gather(), std::optional<bool>(false));
        }
        const DeviceFault failure = link_->lastError();
        qInfo() << failure.text << "after" << took.elapsed() << "ms";
        QCOMPARE(failure.code, code);
        QCOMPARE(failure.device, target);
        QVERIFY(!failure.text.isEmpty());
        QCOMPARE(failure.osReason.isEmpty(), code == DeviceError::NoAnswer && opens);
        QCOMPARE(readFile(sourceFile()), QByteArray("earlier\r\n"));
        // Beside the port's lock files, shared with a follower, only the record file.
        QCOMPARE(QDir(path(QStringLiteral("Source")))
                     .entryList(QDir::Files | QDir::Hidden)
                     .filter(QRegularExpression(QStringLiteral("^(?!port-)")))
                     .size(),
                 1);
    }

    // The command's gather, link test and clearing through ser2net store what
    // the same gather over the pseudo-terminal stores.
    void commandsThroughADeviceServer() {
        const QList<QByteArray> records = makeRecords(50);
        QMap<QString, QStringList> stored;
        for (const QString& route : {QStringLiteral("pty"), QStringLiteral("raw"), QStringLiteral("rfc2217")}) {
            cleanup();
            init();
            QVERIFY(!serve(route, records).isEmpty());
            auto run = [&](const QStringList& arguments) {
                QProcess command;
                QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
                env.remove(QStringLiteral("TALLYFOLD_CONNECTION"));
                command.setProcessEnvironment(env);
                command.start(QDir(qEnvironmentVariable("TALLYFOLD_BIN_DIR")).filePath(QStringLiteral("tallyfold")),
                              QStringList{QStringLiteral("--home"), home_->path()} + arguments +
                                  (arguments.first() == QLatin1String("init-db")
                                       ? QStringList()
                                       : QStringList{QStringLiteral("--user"), QStringLiteral("admin")}));
                if (!command.waitForFinished(60000))
                    command.kill();
                const QStringList out = QString::fromUtf8(command.readAllStandardOutput()).split(QLatin1Char('\n'));
                return command.exitCode() == 0 ? out : QStringList{QStringLiteral("failed")} + out;
            };
            QVERIFY(run({QStringLiteral("init-db"), QStringLiteral("--demo")}).first() != QLatin1String("failed"));
            QVERIFY(run({QStringLiteral("gather"), QStringLiteral("--machine"), QStringLiteral("1"),
                         QStringLiteral("--no-save"), QStringLiteral("--failed"), QStringLiteral("discard")})
                        .contains(QStringLiteral("caption\t机器[1]数据采集成功,记录总数：50,正确处理记录数： 50")));
            QVERIFY(run({QStringLiteral("test-link"), QStringLiteral("--machine"), QStringLiteral("1")})
                        .contains(QStringLiteral("message\t提示：\\r\\n通讯测试成功!")));
            QVERIFY(run({QStringLiteral("clear"), QStringLiteral("--machine"), QStringLiteral("1"),
                         QStringLiteral("--yes")})
                        .contains(QStringLiteral("status\t机器[1]的数据清理成功")));
            QVERIFY(sim_.waitForEvent(QStringLiteral("cleared 1")));
            {
                QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), route);
                db.setDatabaseName(path(QStringLiteral("Database/tallyfold.db")));
                QVERIFY(db.open());
                QSqlQuery rows(QStringLiteral("select MachAddr, Cardid, datadate, datatime from Tcon_ConsumeDtl "
                                              "order by Cardid, datatime"),
                               db);
                while (rows.next())
                    stored[route] << QStringList{rows.value(0).toString(), rows.value(1).toString(),
                                                 rows.value(2).toString(), rows.value(3).toString()}
                                         .join(QLatin1Char(' '));
            }
            QSqlDatabase::removeDatabase(route);
        }
        QCOMPARE(stored[QStringLiteral("pty")].size(), records.size());
        QCOMPARE(stored[QStringLiteral("raw")], stored[QStringLiteral("pty")]);
        QCOMPARE(stored[QStringLiteral("rfc2217")], stored[QStringLiteral("pty")]);
    }
};

QTEST_GUILESS_MAIN(TestNetworkDeviceLink)
#include "tst_network_device_link.moc"
