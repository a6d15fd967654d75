#include "records/gather_all.h"
#include "support/recording_view.h"
#include "support/terminal_sim_process.h"
#include "support/test_databases.h"

#include <QDir>
#include <QtTest>
#include <mutex>

using namespace tallyfold;
using namespace tallyfold::test;

// Every terminal gathered through the real serial link, ports in parallel:
// terminals 1 and 3 share port 1, terminal 2 is alone on port 2.
class tst_gather_all : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void everyTerminalOnce_data();
    void everyTerminalOnce();
};

namespace {
QByteArray records(int count, int terminal) {
    QByteArray text;
    for (int i = 0; i < count; ++i)
        text += QStringLiteral("%1%2%3\r\n")
                    .arg(terminal, 2, 16, QLatin1Char('0'))
                    .arg(terminal * 1000 + i, 6, 10, QLatin1Char('0'))
                    .arg(2403051000 + i)
                    .toLatin1();
    return text;
}
}  // namespace

void tst_gather_all::everyTerminalOnce_data() {
    QTest::addColumn<QString>("connection");
    QTest::addColumn<int>("jobs");
    for (const char* backend : {"sqlite", "postgresql"}) {
        if (QByteArray(backend) == "postgresql" && qEnvironmentVariable("TALLYFOLD_TEST_PG").isEmpty() &&
            qEnvironmentVariable("CI") != QLatin1String("true"))
            continue;
        QTest::newRow(QByteArray(backend).append("/all ports").constData()) << QString::fromLatin1(backend) << 0;
        QTest::newRow(QByteArray(backend).append("/one port at a time").constData())
            << QString::fromLatin1(backend) << 1;
    }
}

void tst_gather_all::everyTerminalOnce() {
    QFETCH(int, jobs);
    TALLYFOLD_DATABASE_TEST(home, false);
    const int counts[] = {0, 40, 30, 20};
    QStringList ports;
    TerminalSimProcess sims[2];
    for (int port : {1, 2}) {
        const QString bus = home.file(QStringLiteral("bus%1").arg(port));
        ports << QStringLiteral("%1=%2").arg(port).arg(bus);
        QStringList args{"--baud", "115200", "--state-dir", home.file(QStringLiteral("state%1").arg(port))};
        QDir().mkpath(args.last());
        for (int t : port == 1 ? QList<int>{1, 3} : QList<int>{2}) {
            const QString file = writeFile(home.file(QStringLiteral("t%1.txt").arg(t)), records(counts[t], t));
            args << "--terminal" << QStringLiteral("%1=%2").arg(t).arg(file);
        }
        QVERIFY2(sims[port - 1].start(bus, args), qPrintable(sims[port - 1].errorString()));
    }
    writeFile(home.file(QStringLiteral("Config/Ports.ini")), ("[Ports]\nbaud=115200\n" + ports.join('\n')).toUtf8());
    for (int t : {1, 2, 3})
        execute(
            home.connection(),
            QStringLiteral("insert into MachineInfo (MachAddr, MachDesc, COMX, Ver, Team) values ('%1', '计次', %2, "
                           "'V1', 'x')")
                .arg(t)
                .arg(t == 2 ? 2 : 1));
    for (const char* times : {"(1, '00:00:00')", "(7, '00:00:00')", "(8, '23:59:59')"})
        execute(home.connection(),
                QStringLiteral("insert into Tcon_MonTime (ParaName, ParaTimeValue) values ") + QLatin1String(times));
    std::vector<TerminalRow> rows(3);
    for (int t : {1, 2, 3})
        rows[std::size_t(t - 1)] = TerminalRow{Variant(QString::number(t)), Variant(t == 2 ? 2 : 1), {}, {}, {}, {}};

    // Each terminal's view hands its listed rows over when its gather is done.
    struct Listed {
        std::mutex mutex;
        std::map<QString, QList<QStringList>> rows;
    } listed;
    struct TerminalView : RecordingView {
        TerminalView(Listed& to, QString address) : to_(to), address_(std::move(address)) {}
        ~TerminalView() override {
            std::lock_guard lock(to_.mutex);
            to_.rows[address_] = records;
        }
        Listed& to_;
        QString address_;
    };
    Mdl_GatherData module;
    module.Pub_DateQuote = QStringLiteral("'");
    module.Pub_UserName = QStringLiteral("op");
    const auto outcomes =
        gatherAll(module, home.settings(), rows, GatherOptions{Tick::Clear, Tick::Ticked, Tick::Clear}, jobs,
                  [&](const TerminalRow& row) {
                      return std::unique_ptr<OperatorView>(new TerminalView(listed, row.machAddr.toText()));
                  });

    QCOMPARE(outcomes.size(), std::size_t(3));
    for (int t : {1, 2, 3}) {
        QCOMPARE(outcomes[std::size_t(t - 1)].terminal.machAddr.toText(), QString::number(t));
        QCOMPARE(int(outcomes[std::size_t(t - 1)].outcome), int(Outcome::Completed));
        QCOMPARE(
            scalar(home.connection(), QStringLiteral("select count(*) from Tcon_ConsumeDtl where MachAddr=%1").arg(t)),
            QString::number(counts[t]));
        // A terminal's list holds its own records only, however the ports interleaved.
        const QList<QStringList>& own = listed.rows[QString::number(t)];
        QCOMPARE(own.size(), counts[t]);
        for (const QStringList& r : own)
            QCOMPARE(r[0], QString::number(t));
    }
    QCOMPARE(scalar(home.connection(), QStringLiteral("select count(*) from CtrlLog")), QStringLiteral("3"));
    // Ports one after the other use the host's own Source file; only ports at the same time need files of their own.
    const QStringList perPort = QDir(home.file(QStringLiteral("Source"))).entryList({"SourceRecordSet-port*.txt"});
    QCOMPARE(perPort.isEmpty(), jobs == 1);
    QCOMPARE(QFileInfo::exists(home.file(QStringLiteral("Source/SourceRecordSet.txt"))), jobs == 1);
}

QTEST_GUILESS_MAIN(tst_gather_all)
#include "tst_gather_all.moc"
