#include "link_test_support.h"
#include "outside/serial/serial_device_link.h"
#include "support/terminal_sim_process.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace tallyfold;
using namespace tallyfold::test;

Q_DECLARE_METATYPE(tallyfold::DeviceError)

// The link against the simulator on a real pseudo-terminal; port 1 is the
// simulator's line, port 2 a device that does not exist.
class TestSerialDeviceLink : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> home_;
    TerminalSimProcess sim_;
    std::unique_ptr<SerialDeviceLink> link_;

    QString path(const QString& relative) const { return home_->filePath(relative); }
    QString sourceFile() const { return path(QStringLiteral("Source/SourceRecordSet.txt")); }
    QString stateOf(int address) const { return path(QStringLiteral("state/%1.txt").arg(address)); }

    QString recordFile(int address, const QList<QByteArray>& records) {
        const QString file = path(QStringLiteral("records-%1.txt").arg(address));
        QByteArray text;
        for (const QByteArray& record : records)
            text += record + "\n";
        writeFile(file, text);
        return QStringLiteral("%1=%2").arg(address).arg(file);
    }

    // Starts the simulator with `arguments` and opens port 1 on it.
    bool serve(QStringList arguments) {
        arguments << QStringLiteral("--baud") << QStringLiteral("115200") << QStringLiteral("--state-dir")
                  << path(QStringLiteral("state"));
        if (!sim_.start(path(QStringLiteral("line")), arguments)) {
            qWarning() << sim_.errorString();
            return false;
        }
        return link_->SetPort(Variant(1)) == std::optional<bool>(true);
    }

    bool appendPorts(const QByteArray& lines) {
        QFile file(path(QStringLiteral("Config/Ports.ini")));
        return file.open(QIODevice::Append) && file.write(lines) == lines.size();
    }

    QStringList sourceFolderEntries() const {
        // The port's lock files, which it shares with a follower, stay; nothing else may.
        QStringList entries = QDir(path(QStringLiteral("Source"))).entryList(QDir::Files | QDir::Hidden);
        entries.removeIf([](const QString& name) { return name.startsWith(QLatin1String("port-")); });
        return entries;
    }

    std::optional<bool> gather(qint16 machine) {
        QString text1, text2;
        const auto result = link_->GatherData(machine, text1, text2);
        if (result != std::optional<bool>(true))
            qInfo() << "gather" << machine << text1 << text2;
        return result;
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY2(QFile::exists(TerminalSimProcess::executablePath()), qPrintable(TerminalSimProcess::executablePath()));
    }

    void init() {
        home_ = std::make_unique<QTemporaryDir>();
        QVERIFY(home_->isValid());
        QVERIFY(QDir(home_->path()).mkpath(QStringLiteral("Source")));
        QVERIFY(QDir(home_->path()).mkpath(QStringLiteral("Config")));
        QVERIFY(writeFile(path(QStringLiteral("Config/Ports.ini")),
                          "[Ports]\r\n1=" + QFile::encodeName(path(QStringLiteral("line"))) + "\r\n1.baud=115200\r\n" +
                              "2=" + QFile::encodeName(path(QStringLiteral("nothing-here"))) + "\r\n"));
        qputenv("TALLYFOLD_HOME", QFile::encodeName(home_->path()));
        link_ = std::make_unique<SerialDeviceLink>(tallyfold::HostSettings{home_->path(), QString()});
    }

    void cleanup() {
        link_.reset();
        QVERIFY(sim_.stop());
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("line"))));
        home_.reset();
    }

    void clockSettingsReachTheTerminal() {
        QVERIFY(serve({QStringLiteral("--terminal"), QStringLiteral("3")}));
        QCOMPARE(link_->ChangeDate(Variant(3), 2024, 2, 29), std::optional<bool>(true));
        QVERIFY(sim_.waitForEvent(QStringLiteral("date 3 2024-02-29")));
        QCOMPARE(link_->ChangeTime(Variant(QStringLiteral("3")), 7, 5, 9.4), std::optional<bool>(true));
        QVERIFY(sim_.waitForEvent(QStringLiteral("time 3 07:05:09")));

        QCOMPARE(link_->ChangeDate(Variant(3), 2023, 2, 29), std::optional<bool>(false));
        QCOMPARE(link_->lastError().code, DeviceError::BadArgument);
        QCOMPARE(link_->ChangeTime(Variant(3), 24, 0, 0), std::optional<bool>(false));
        QCOMPARE(link_->lastError().code, DeviceError::BadArgument);
        QCOMPARE(link_->ChangeDate(Variant(300), 2024, 1, 1), std::optional<bool>(false));
        QCOMPARE(link_->ChangeDate(Variant(4), 2024, 1, 1), std::optional<bool>(false));
        QVERIFY(sim_.events().isEmpty());

        link_->DestoryPort();
        QCOMPARE(link_->ChangeTime(Variant(3), 1, 2, 3), std::optional<bool>(false));
        QCOMPARE(link_->lastError().code, DeviceError::NoPortOpen);
    }

    void gatherWritesEveryRecordOnce_data() {
        QTest::addColumn<int>("count");
        QTest::addColumn<QStringList>("options");
        QTest::newRow("empty terminal") << 0 << QStringList();
        QTest::newRow("one record") << 1 << QStringList();
        QTest::newRow("one full block") << 64 << QStringList();
        QTest::newRow("block and one") << 65 << QStringList();
        QTest::newRow("several blocks") << 300 << QStringList();
        QTest::newRow("several long blocks read ahead") << 1000 << QStringList();
        QTest::newRow("a terminal without long reads") << 300 << QStringList{QStringLiteral("--short-reads")};
    }

    void gatherWritesEveryRecordOnce() {
        QFETCH(int, count);
        QFETCH(QStringList, options);
        const QList<QByteArray> records = makeRecords(count, 2);
        QVERIFY(serve(QStringList{QStringLiteral("--terminal"), recordFile(1, makeRecords(5, 1)),
                                  QStringLiteral("--terminal"), recordFile(2, records)} +
                      options));
        QVERIFY(writeFile(sourceFile(), "earlier\r\n"));

        // The caller hears how far the transfer is while the link waits.
        qint64 lastDone = -1, lastTotal = -1;
        link_->setWaitHandler([&](qint64 done, qint64 total) {
            QVERIFY(done >= lastDone && done <= total);
            lastDone = done;
            lastTotal = total;
        });
        QString text1, text2;
        QCOMPARE(link_->GatherData(2, text1, text2), std::optional<bool>(true));
        QVERIFY2(text1.contains(QString::number(count)), qPrintable(text1));
        if (count > 64)
            QCOMPARE(lastTotal, qint64(count));
        QCOMPARE(readFile(sourceFile()), asSourceFile(records));
        QCOMPARE(sourceFolderEntries(), QStringList{QStringLiteral("SourceRecordSet.txt")});
        QCOMPARE(readFile(stateOf(2)), asSourceFile(records).replace("\r\n", "\n"));
    }

    void gatherAtTheDefaultLineRate() {
        QVERIFY(writeFile(path(QStringLiteral("Config/Ports.ini")),
                          "[Ports]\n1=" + QFile::encodeName(path(QStringLiteral("line"))) + "\n"));
        QVERIFY(
            sim_.start(path(QStringLiteral("line")), {QStringLiteral("--terminal"), recordFile(1, makeRecords(70))}));
        QCOMPARE(link_->SetPort(Variant(1)), std::optional<bool>(true));
        QCOMPARE(gather(1), std::optional<bool>(true));
        QCOMPARE(readFile(sourceFile()), asSourceFile(makeRecords(70)));
    }

    void failuresAreTyped_data() {
        QTest::addColumn<QStringList>("faults");
        QTest::addColumn<int>("port");
        QTest::addColumn<int>("machine");
        QTest::addColumn<QString>("source");
        QTest::addColumn<DeviceError>("code");
        QTest::addColumn<int>("retries");
        const QStringList none;
        const QString kept = QStringLiteral("earlier");
        QTest::newRow("port that does not exist") << none << 2 << 1 << kept << DeviceError::PortNotOpened << 0;
        QTest::newRow("no port open") << none << 0 << 1 << kept << DeviceError::NoPortOpen << 0;
        QTest::newRow("address out of range") << none << 1 << 300 << kept << DeviceError::NoSuchTerminal << 0;
        QTest::newRow("silent terminal") << QStringList{QStringLiteral("--silent"), QStringLiteral("1")} << 1 << 1
                                         << kept << DeviceError::NoAnswer << 3;
        QTest::newRow("nobody at the address") << none << 1 << 9 << kept << DeviceError::NoAnswer << 3;
        QTest::newRow("every answer garbled") << QStringList{QStringLiteral("--garble"), QStringLiteral("100")} << 1
                                              << 1 << kept << DeviceError::Garbled << 3;
        QTest::newRow("every request refused") << QStringList{QStringLiteral("--nak"), QStringLiteral("100")} << 1 << 1
                                               << kept << DeviceError::TerminalRefused << 3;
        // The count and the first block arrive; the second block breaks off and never comes, in both transfers.
        QTest::newRow("cut mid-transfer")
            << QStringList{QStringLiteral("--cut-after"), QStringLiteral("100"), QStringLiteral("--cut-times"),
                           QStringLiteral("2")}
            << 1 << 1 << kept << DeviceError::TransferCut << 6;
        QTest::newRow("Source folder missing")
            << none << 1 << 1 << QStringLiteral("no folder") << DeviceError::SourceFolderMissing << 0;
        // Root may write anywhere but here, so the test holds under CI too.
        QTest::newRow("Source folder nobody may write")
            << none << 1 << 1 << QStringLiteral("/proc") << DeviceError::FileNotWritten << 0;
    }

    // Every failure has its own code, set where it happened, and leaves the
    // earlier source file as it was.
    void failuresAreTyped() {
        QFETCH(QStringList, faults);
        QFETCH(int, port);
        QFETCH(int, machine);
        QFETCH(QString, source);
        QFETCH(DeviceError, code);
        QFETCH(int, retries);
        QVERIFY(sim_.start(path(QStringLiteral("line")),
                           QStringList{QStringLiteral("--terminal"), recordFile(1, makeRecords(150)),
                                       QStringLiteral("--baud"), QStringLiteral("115200")} +
                               faults));
        QVERIFY(writeFile(sourceFile(), "earlier\r\n"));
        if (source != QLatin1String("earlier")) {
            QVERIFY(QDir(path(QStringLiteral("Source"))).removeRecursively());
            if (source != QLatin1String("no folder"))
                QVERIFY(QFile::link(source, path(QStringLiteral("Source"))));
        }

        QString text1, text2;
        if (port > 0 && link_->SetPort(Variant(port)) != std::optional<bool>(true)) {
            QCOMPARE(port, 2);
        } else {
            QCOMPARE(link_->GatherData(qint16(machine), text1, text2), std::optional<bool>(false));
            QCOMPARE(text2, link_->lastError().text);
        }
        const DeviceFault fault = link_->lastError();
        QCOMPARE(fault.code, code);
        QCOMPARE(fault.retries, retries);
        QVERIFY(!fault.text.isEmpty());
        QCOMPARE(fault.device,
                 port == 0 ? QString() : path(port == 1 ? QStringLiteral("line") : QStringLiteral("nothing-here")));
        // Failures reported by the OS carry its own words.
        const bool fromOs = code == DeviceError::PortNotOpened || code == DeviceError::FileNotWritten;
        QCOMPARE(!fault.osReason.isEmpty(), fromOs);
        if (source == QLatin1String("earlier")) {
            QCOMPARE(readFile(sourceFile()), QByteArray("earlier\r\n"));
            QCOMPARE(sourceFolderEntries(), QStringList{QStringLiteral("SourceRecordSet.txt")});
        }
    }

    void gatherAfterACutTransferGetsEveryRecordOnce() {
        QVERIFY(appendPorts("1.transfer_retries=0\n"));
        QVERIFY(serve({QStringLiteral("--terminal"), recordFile(1, makeRecords(150)), QStringLiteral("--cut-after"),
                       QStringLiteral("100")}));
        QCOMPARE(gather(1), std::optional<bool>(false));
        QCOMPARE(gather(1), std::optional<bool>(true));
        QCOMPARE(readFile(sourceFile()), asSourceFile(makeRecords(150)));
    }

    void cutTransferIsStartedAgain_data() {
        QTest::addColumn<QByteArray>("ports");
        QTest::addColumn<int>("cuts");
        QTest::addColumn<bool>("gathered");
        QTest::addColumn<int>("retries");
        QTest::newRow("cut once, started again by default") << QByteArray() << 1 << true << 3;
        QTest::newRow("cut twice, two retries") << QByteArray("1.transfer_retries=2\n") << 2 << true << 6;
        // Each of the three transfers spends its three block retries.
        QTest::newRow("cut every time, two retries") << QByteArray("1.transfer_retries=2\n") << 100 << false << 9;
        QTest::newRow("retries off for every port") << QByteArray("transfer_retries=0\n") << 1 << false << 3;
    }

    // The file holds one whole transfer or nothing, and the terminal keeps its records either way.
    void cutTransferIsStartedAgain() {
        QFETCH(QByteArray, ports);
        QFETCH(int, cuts);
        QFETCH(bool, gathered);
        QFETCH(int, retries);
        const QList<QByteArray> records = makeRecords(150);
        QVERIFY(appendPorts(ports));
        QVERIFY(serve({QStringLiteral("--terminal"), recordFile(1, records), QStringLiteral("--cut-after"),
                       QStringLiteral("100"), QStringLiteral("--cut-times"), QString::number(cuts)}));
        QString text1, text2;
        QCOMPARE(link_->GatherData(1, text1, text2), std::optional<bool>(gathered));
        if (gathered) {
            QCOMPARE(text2, QStringLiteral("%1 retries").arg(retries));
            QCOMPARE(readFile(sourceFile()), asSourceFile(records));
        } else {
            QCOMPARE(link_->lastError().code, DeviceError::TransferCut);
            QCOMPARE(link_->lastError().retries, retries);
            QVERIFY(sourceFolderEntries().isEmpty());
        }
        QCOMPARE(readFile(stateOf(1)), asSourceFile(records).replace("\r\n", "\n"));
    }

    void cancelEndsTheCall_data() {
        QTest::addColumn<int>("baud");
        QTest::addColumn<QString>("call");
        QTest::addColumn<int>("stopAt");
        QTest::newRow("gather at 9600") << 9600 << QStringLiteral("gather") << 128;
        QTest::newRow("gather at 115200") << 115200 << QStringLiteral("gather") << 1024;
        QTest::newRow("clock setting") << 115200 << QStringLiteral("date") << 0;
        QTest::newRow("clear") << 115200 << QStringLiteral("clear") << 0;
    }

    // Stopped calls return within a wait slice or two, send nothing more and leave no source file.
    void cancelEndsTheCall() {
        QFETCH(int, baud);
        QFETCH(QString, call);
        QFETCH(int, stopAt);
        const QList<QByteArray> records = makeRecords(3000);
        QVERIFY(writeFile(path(QStringLiteral("Config/Ports.ini")), "[Ports]\n1=" +
                                                                       QFile::encodeName(path(QStringLiteral("line"))) +
                                                                       "\n1.baud=" + QByteArray::number(baud) + "\n"));
        QVERIFY(sim_.start(path(QStringLiteral("line")),
                           {QStringLiteral("--terminal"), recordFile(1, records), QStringLiteral("--baud"),
                            QString::number(baud), QStringLiteral("--state-dir"), path(QStringLiteral("state"))}));
        QCOMPARE(link_->SetPort(Variant(1)), std::optional<bool>(true));

        qint64 done = 0;
        QElapsedTimer asked;
        link_->setWaitHandler([&](qint64 moved, qint64) { done = moved; });
        link_->setCancelCheck([&] {
            if (done < stopAt)
                return false;
            if (!asked.isValid())
                asked.start();
            return true;
        });
        QString text1, text2;
        std::optional<bool> result;
        if (call == QLatin1String("gather"))
            result = link_->GatherData(1, text1, text2);
        else if (call == QLatin1String("date"))
            result = link_->ChangeDate(Variant(1), 2024, 2, 29);
        else
            result = link_->ClearRecord(Variant(1));
        QVERIFY(asked.isValid());
        QVERIFY2(asked.elapsed() < 200, qPrintable(QString::number(asked.elapsed())));
        QCOMPARE(result, std::optional<bool>(false));
        QCOMPARE(link_->lastError().code, DeviceError::Cancelled);
        QVERIFY(done < records.size());
        QVERIFY(sourceFolderEntries().isEmpty());
        QVERIFY(sim_.events().isEmpty());
        QCOMPARE(readFile(stateOf(1)), asSourceFile(records).replace("\r\n", "\n"));
    }

    void occasionalLineFaultsAreRetried_data() {
        QTest::addColumn<QStringList>("faults");
        QTest::addColumn<bool>("retried");
        QTest::newRow("garble 5%") << QStringList{QStringLiteral("--garble"), QStringLiteral("5")} << true;
        QTest::newRow("garble 20%") << QStringList{QStringLiteral("--garble"), QStringLiteral("20")} << true;
        QTest::newRow("nak 10%") << QStringList{QStringLiteral("--nak"), QStringLiteral("10")} << true;
        QTest::newRow("slow answers") << QStringList{QStringLiteral("--delay-ms"), QStringLiteral("150")} << false;
    }

    void occasionalLineFaultsAreRetried() {
        QFETCH(QStringList, faults);
        QFETCH(bool, retried);
        // This seed hits the 1000-record transfer at least once even at 5%.
        QVERIFY(serve(QStringList{QStringLiteral("--terminal"), recordFile(1, makeRecords(1000)),
                                  QStringLiteral("--seed"), QStringLiteral("8")} +
                      faults));
        QString text1, text2;
        QCOMPARE(link_->GatherData(1, text1, text2), std::optional<bool>(true));
        QCOMPARE(readFile(sourceFile()), asSourceFile(makeRecords(1000)));
        QCOMPARE(text2 != QStringLiteral("0 retries"), retried);
        QCOMPARE(link_->ChangeDate(Variant(1), 2025, 12, 31), std::optional<bool>(true));
        QVERIFY(sim_.waitForEvent(QStringLiteral("date 1 2025-12-31")));
    }

    void clearEmptiesTheTerminal() {
        QVERIFY(serve({QStringLiteral("--terminal"), recordFile(1, makeRecords(10)), QStringLiteral("--terminal"),
                       recordFile(2, makeRecords(4, 2)), QStringLiteral("--fail-clear"), QStringLiteral("2")}));
        QCOMPARE(link_->ClearRecord(Variant(1)), std::optional<bool>(true));
        QVERIFY(sim_.waitForEvent(QStringLiteral("cleared 1")));
        QCOMPARE(readFile(stateOf(1)), QByteArray());
        QCOMPARE(gather(1), std::optional<bool>(true));
        QCOMPARE(readFile(sourceFile()), QByteArray());

        QCOMPARE(link_->ClearRecord(Variant(2)), std::optional<bool>(false));
        QCOMPARE(readFile(stateOf(2)), asSourceFile(makeRecords(4, 2)).replace("\r\n", "\n"));
        QVERIFY(!sim_.events().contains(QStringLiteral("cleared 2")));
    }

    void portHandling() {
        QCOMPARE(link_->SetPort(Variant(2)), std::optional<bool>(false));
        QVERIFY(!link_->isPortOpen());
        QString text1, text2;
        QCOMPARE(link_->GatherData(1, text1, text2), std::optional<bool>(false));

        QVERIFY(serve({QStringLiteral("--terminal"), QStringLiteral("1")}));
        QCOMPARE(link_->SetPort(Variant(1)), std::optional<bool>(true));
        QCOMPARE(link_->SetPort(QStringLiteral("1")), std::optional<bool>(true));
        QCOMPARE(link_->portDevice(), path(QStringLiteral("line")));
        QCOMPARE(link_->ChangeDate(Variant(1), 2024, 5, 6), std::optional<bool>(true));

        // A second component gets the port only once the first lets go of it.
        auto other = std::make_unique<SerialDeviceLink>(tallyfold::HostSettings{home_->path(), QString()});
        QCOMPARE(other->SetPort(Variant(1)), std::optional<bool>(false));
        link_.reset();
        QCOMPARE(other->SetPort(Variant(1)), std::optional<bool>(true));
        other->DestoryPort();
        QVERIFY(!other->isPortOpen());
        link_ = std::move(other);
        QCOMPARE(link_->SetPort(Variant(1)), std::optional<bool>(true));
        QCOMPARE(link_->ChangeDate(Variant(1), 2024, 5, 7), std::optional<bool>(true));
        QVERIFY(sim_.waitForEvent(QStringLiteral("date 1 2024-05-07")));

        QCOMPARE(link_->SetPort(Variant(2)), std::optional<bool>(false));
        QVERIFY(!link_->isPortOpen());
    }
};

QTEST_GUILESS_MAIN(TestSerialDeviceLink)
#include "tst_serial_device_link.moc"
