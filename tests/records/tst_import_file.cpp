#include "outside/database_tool.h"
#include "platform/connection_string.h"
#include "records/mdl_gather_data.h"
#include "records/operations.h"
#include "support/recording_view.h"
#include "support/test_databases.h"

#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>

using namespace tallyfold;
using namespace tallyfold::test;

// Whole imports through runImport on a real database and real files.
class tst_import_file : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void goodDuplicateAndBadLines_data() { addBackendRows(); }
    void goodDuplicateAndBadLines();
    void badFirstAndThirdLines_data() { addBackendRows(); }
    void badFirstAndThirdLines();
    void emptyFileAndLineEnds_data() { addBackendRows(); }
    void emptyFileAndLineEnds();
    void cancelledDialog_data() { addBackendRows(); }
    void cancelledDialog();
    void missingFile_data() { addBackendRows(); }
    void missingFile();
    void pathWithBracesAndApostrophe_data() { addBackendRows(); }
    void pathWithBracesAndApostrophe();
    void answerNoThenFreshList_data() { addBackendRows(); }
    void answerNoThenFreshList();
    void codePage936_data() { addBackendRows(); }
    void codePage936();
    void rejectedRowsKeepLineOrder_data() { addBackendRows(); }
    void rejectedRowsKeepLineOrder();
    void moreLinesThanSixteenBits_data() { addBackendRows(); }
    void moreLinesThanSixteenBits();
    void logRowNotWritten_data() { addBackendRows(); }
    void logRowNotWritten();
    void controlCharactersInCard_data() { addBackendRows(); }
    void controlCharactersInCard();
    void lockedDatabaseListsNoRow();
};

namespace {
struct Import {
    Mdl_GatherData module;
    GatherSession session{module, hostSettingsFromEnvironment()};
    RecordingView view;
    Outcome outcome = Outcome::Trapped;
};

// What the window holds at load, then one import of `path`.
void runOn(const TestHome& home, const QString& path, Import& run) {
    run.module.Pub_DateQuote = recognisedDateQuote(home.connection(), QString());
    run.module.Pub_UserName = QStringLiteral("op");
    run.session.createComponents();
    run.session.times = BusinessDayTimes{QTime(0, 0), QTime(0, 0), QTime(23, 59, 59), {}};  // as read: no day moves
    run.session.clock = [] { return QDateTime(QDate(2024, 3, 5), QTime(14, 3, 7)); };
    run.view.fileToChoose = path;
    run.outcome = runImport(run.session, run.view);
}

QString logCount(const TestHome& home) {
    return scalar(home.connection(), QStringLiteral("select count(*) from CtrlLog"));
}
}  // namespace

void tst_import_file::goodDuplicateAndBadLines() {
    TALLYFOLD_DATABASE_TEST(home, false);
    execute(home.connection(), QStringLiteral("insert into Tcon_ConsumeDtl (MachAddr, Cardid, datadate, datatime) "
                                              "values (1, '100001', '2024-05-13', '2024-05-13 07:30:00')"));
    execute(home.connection(), QStringLiteral("insert into Tcon_ConsumeDtl (MachAddr, Cardid, datadate, datatime) "
                                              "values (1, '100002', '2024-05-13', '2024-05-13 07:31:00')"));
    const QString file = writeFile(home.file(QStringLiteral("r.txt")),
                                   "011000012405130730\r\n011000022405130731\r\n011000032405130732\r\n"
                                   "011000042405130733\r\n011234562413130730\r\n011000052405130734\r\n");
    Import run;
    runOn(home, file, run);
    QCOMPARE(run.outcome, Outcome::Completed);
    QCOMPARE(run.view.records.size(), 5);
    const QString sentence =
        QStringLiteral("文件{") + file + QStringLiteral("}数据读取成功,记录总数：6,正确处理记录数： 3");
    QCOMPARE(run.view.statuses, QStringList{sentence});
    QCOMPARE(run.view.captions, QStringList{sentence});
    QCOMPARE(run.view.filtersAsked, QStringList{QStringLiteral("考勤记录文件(*.txt)|*.txt|全部文件(*.*)|*.*")});
    QCOMPARE(run.view.boxTexts(), QStringList{QStringLiteral("数据读取过程中出现了[ 1]个错误，是否查看详细记录？")});
    QCOMPARE(run.view.boxes[0].title, QStringLiteral("系统提示"));
    QCOMPARE(run.view.boxes[0].buttons, MessageButtons::YesNo);
    QCOMPARE(run.view.failedShown, 1);
    QCOMPARE(run.view.failedLines, (QList<QStringList>{{"R1", "5", "011234562413130730"}}));
    QCOMPARE(scalar(home.connection(), QStringLiteral("select count(*) from Tcon_ConsumeDtl")), QStringLiteral("5"));
    QCOMPARE(scalar(home.connection(), QStringLiteral("select ActionA from CtrlLog where ObjectA='数据读取' and "
                                                      "ResultA='数据读取成功！' and UserA='op'")),
             QStringLiteral("文件:") + file);
}

void tst_import_file::badFirstAndThirdLines() {
    TALLYFOLD_DATABASE_TEST(home, false);
    // The fourth line is a good record and 20,000 bytes of anything: stored by its first 18 characters.
    const QString file = writeFile(home.file(QStringLiteral("r.txt")),
                                   "0112345624131307\n011234562405130730\nxx\n" +
                                       QByteArray("019999992405130731").leftJustified(20000, '0') + "\n");
    Import run;
    runOn(home, file, run);
    QCOMPARE(run.view.failedLines, (QList<QStringList>{{"R1", "1", "0112345624131307"}, {"R2", "3", "xx"}}));
    QCOMPARE(run.view.records.size(), 2);
}

void tst_import_file::emptyFileAndLineEnds() {
    TALLYFOLD_DATABASE_TEST(home, false);
    const QString empty = writeFile(home.file(QStringLiteral("empty.txt")), "");
    Import first;
    runOn(home, empty, first);
    QCOMPARE(first.view.statuses.last(),
             QStringLiteral("文件{") + empty + QStringLiteral("}数据读取成功,记录总数：0,正确处理记录数： 0"));
    QVERIFY(first.view.boxes.isEmpty());
    QCOMPARE(logCount(home), QStringLiteral("1"));
    // LF only, then a last line without any line end.
    const QString mixed = writeFile(home.file(QStringLiteral("mixed.txt")), "011111112405130730\n022222222405130731");
    Import second;
    runOn(home, mixed, second);
    QCOMPARE(second.view.records.size(), 2);
    QVERIFY(second.view.statuses.last().endsWith(QStringLiteral("记录总数：2,正确处理记录数： 2")));
    // CR alone, a stray CR inside CR LF, and a byte-order mark: no record lost.
    const QString crOnly = writeFile(home.file(QStringLiteral("cr.txt")),
                                     "\xef\xbb\xbf"
                                     "018800002401071400\r018800012401071401\r\n018800022401071402\r");
    Import third;
    runOn(home, crOnly, third);
    QVERIFY(third.view.statuses.last().endsWith(QStringLiteral("记录总数：3,正确处理记录数： 3")));
    QVERIFY(third.view.failedLines.isEmpty());
}

void tst_import_file::cancelledDialog() {
    TALLYFOLD_DATABASE_TEST(home, false);
    Import run;
    run.view.records << QStringList{"earlier"};
    runOn(home, QString(), run);
    QCOMPARE(run.outcome, Outcome::Cancelled);
    QVERIFY(run.view.records.isEmpty());
    QVERIFY(run.view.statuses.isEmpty());
    QVERIFY(run.view.captions.isEmpty());
    QCOMPARE(logCount(home), QStringLiteral("0"));
}

void tst_import_file::missingFile() {
    TALLYFOLD_DATABASE_TEST(home, false);
    const QString missing = home.file(QStringLiteral("nowhere.txt"));
    Import run;
    runOn(home, missing, run);
    QCOMPARE(run.outcome, Outcome::Trapped);
    QCOMPARE(run.view.boxes.size(), 1);
    QVERIFY(run.view.boxes[0].text.startsWith(QStringLiteral("出错：")));
    QCOMPARE(run.view.boxes[0].icon, MessageIcon::None);
    QVERIFY(run.view.boxes[0].title.isEmpty());
    QVERIFY(!QFileInfo::exists(missing));
    QCOMPARE(logCount(home), QStringLiteral("0"));
    // The embedded database's own files are refused unread: closing them would drop SQLite's locks.
    const QString database = ConnectionString(home.connection()).value(QStringLiteral("Data Source"));
    if (database.isEmpty())
        return;
    Import own;
    runOn(home, database, own);
    QCOMPARE(own.outcome, Outcome::Trapped);
    QVERIFY2(own.view.boxes.value(0).text.contains(QStringLiteral("a file of the database itself")),
             qPrintable(own.view.boxes.value(0).text));
}

void tst_import_file::pathWithBracesAndApostrophe() {
    TALLYFOLD_DATABASE_TEST(home, false);
    const QString file = writeFile(home.file(QStringLiteral("{O'Neil}.txt")), "011234562405130730\r\n");
    Import run;
    runOn(home, file, run);
    QCOMPARE(run.view.statuses.last(),
             QStringLiteral("文件{") + file + QStringLiteral("}数据读取成功,记录总数：1,正确处理记录数： 1"));
    QCOMPARE(scalar(home.connection(), QStringLiteral("select ActionA from CtrlLog")), QStringLiteral("文件:") + file);
}

void tst_import_file::answerNoThenFreshList() {
    TALLYFOLD_DATABASE_TEST(home, false);
    const QString file = writeFile(home.file(QStringLiteral("r.txt")), "bad\nbad too\n");
    Import first;
    first.view.answers = {MessageAnswer::No};
    runOn(home, file, first);
    QCOMPARE(first.view.failedShown, 0);
    QVERIFY(first.view.failedLines.isEmpty());
    // A second run in the same view starts again at R1 even if a list was left behind.
    first.view.failedLines << QStringList{"R1", "9", "left over"};
    first.view.answers = {MessageAnswer::Yes};
    runImport(first.session, first.view);
    QCOMPARE(first.view.failedLines, (QList<QStringList>{{"R1", "1", "bad"}, {"R2", "2", "bad too"}}));
}

void tst_import_file::codePage936() {
    TALLYFOLD_DATABASE_TEST(home, false);
    // Text after the record is ignored; a failed line is shown decoded ("机器" in GBK).
    const QString file = writeFile(home.file(QStringLiteral("gbk.txt")),
                                   QByteArray("0112345624051307304\xc4\xfa\xba\xc3\r\n") +
                                       QByteArray("\xbb\xfa\xc6\xf7") + QByteArray("1234562405130730\r\n"));
    Import run;
    runOn(home, file, run);
    QCOMPARE(run.view.records.size(), 1);
    QCOMPARE(run.view.records[0][1], QStringLiteral("123456"));
    QCOMPARE(run.view.failedLines, (QList<QStringList>{{"R1", "2", QStringLiteral("机器1234562405130730").left(18)}}));
}

void tst_import_file::rejectedRowsKeepLineOrder() {
    TALLYFOLD_DATABASE_TEST(home, false);
    // The database refuses one card: its rows fail only when they are written.
    if (connection == QLatin1String("sqlite")) {
        execute(home.connection(),
                QStringLiteral("create trigger tf_reject before insert on Tcon_ConsumeDtl "
                               "when new.Cardid='999999' begin select raise(abort, 'card refused'); end"));
    } else {
        execute(home.connection(),
                QStringLiteral("create or replace function tf_reject() returns trigger language plpgsql as "
                               "$$ begin if new.Cardid = '999999' then raise exception 'card refused'; "
                               "end if; return new; end $$"));
        execute(home.connection(), QStringLiteral("create trigger tf_reject before insert on Tcon_ConsumeDtl "
                                                  "for each row execute function tf_reject()"));
    }
    const QString file = writeFile(home.file(QStringLiteral("r.txt")),
                                   "019999992405130730\n011234562413130730\n019999992405130730\n011111112405130731\n");
    Import run;
    runOn(home, file, run);
    // Failures stand in line order, and the repeat of a refused row is tried again, not taken for a duplicate.
    QCOMPARE(run.view.failedLines, (QList<QStringList>{{"R1", "1", "019999992405130730"},
                                                       {"R2", "2", "011234562413130730"},
                                                       {"R3", "3", "019999992405130730"}}));
    QVERIFY(run.view.statuses.last().endsWith(QStringLiteral("记录总数：4,正确处理记录数： 1")));
    QCOMPARE(run.view.records.size(), 3);

    // Deep in a long file, while the batches after it are already on their way.
    QByteArray text;
    for (int i = 0; i < 6000; ++i)
        text += QStringLiteral("01%1%2\n").arg(i % 3000 == 1500 ? 999999 : 200000 + i).arg(2406010800).toLatin1();
    Import longRun;
    runOn(home, writeFile(home.file(QStringLiteral("long.txt")), text), longRun);
    QCOMPARE(longRun.view.failedLines,
             (QList<QStringList>{{"R1", "1501", "019999992406010800"}, {"R2", "4501", "019999992406010800"}}));
    QVERIFY(longRun.view.statuses.last().endsWith(QStringLiteral("记录总数：6000,正确处理记录数： 5998")));
    QCOMPARE(scalar(home.connection(), QStringLiteral("select count(*) from Tcon_ConsumeDtl")), QStringLiteral("5999"));
}

void tst_import_file::moreLinesThanSixteenBits() {
    TALLYFOLD_DATABASE_TEST(home, false);
    QByteArray text;
    const QDateTime start(QDate(2024, 1, 1), QTime(6, 0));
    for (int i = 0; i < 40000; ++i)
        text += QStringLiteral("01%1%2\r\n")
                    .arg(i % 1000, 6, 10, QLatin1Char('0'))
                    .arg(start.addSecs(60 * (i / 1000)).toString(QStringLiteral("yyMMddHHmm")))
                    .toLatin1();
    const QString file = writeFile(home.file(QStringLiteral("big.txt")), text);
    Import run;
    runOn(home, file, run);
    QCOMPARE(run.outcome, Outcome::Completed);
    QVERIFY2(run.view.statuses.last().endsWith(QStringLiteral("记录总数：40000,正确处理记录数： 40000")),
             qPrintable(run.view.statuses.last()));
    QCOMPARE(scalar(home.connection(), QStringLiteral("select count(*) from Tcon_ConsumeDtl")),
             QStringLiteral("40000"));
}

void tst_import_file::logRowNotWritten() {
    TALLYFOLD_DATABASE_TEST(home, false);
    execute(home.connection(), QStringLiteral("drop table CtrlLog"));
    const QString file = writeFile(home.file(QStringLiteral("r.txt")), "011234562405130730\r\n");
    Import run;
    runOn(home, file, run);
    // The import still ends as it would; the view hears why its log row is missing.
    QCOMPARE(run.outcome, Outcome::Completed);
    QCOMPARE(run.view.logsNotWritten.size(), 1);
    QVERIFY(run.view.logsNotWritten[0].contains(QStringLiteral("ctrllog"), Qt::CaseInsensitive));
}

void tst_import_file::controlCharactersInCard() {
    TALLYFOLD_DATABASE_TEST(home, false);
    // A NUL no backend can hold fails its line alone; a SOH, a tab and a DEL are plain text to every backend.
    QByteArray text;
    for (int i = 0; i < 51; ++i) {
        QByteArray line =
            "01" + QByteArray::number(100000 + i) + "24051307" + QByteArray::number(i).rightJustified(2, '0') + "\r\n";
        if (i == 7 || i == 20 || i == 21 || i == 22)
            line[4] = "\0\x01\t\x7f"[i == 7 ? 0 : i - 19];
        text += line;
    }
    const QString file = writeFile(home.file(QStringLiteral("r.txt")), text);
    const QString nulLine = QString::fromLatin1(text.mid(7 * 20, 18));
    for (qint64 stored : {50, 0}) {
        Import run;
        runOn(home, file, run);
        QCOMPARE(run.outcome, Outcome::Completed);
        QVERIFY2(run.view.statuses.value(0).endsWith(QStringLiteral("记录总数：51,正确处理记录数： %1").arg(stored)),
                 qPrintable(run.view.statuses.value(0)));
        QCOMPARE(run.view.failedLines, (QList<QStringList>{{"R1", "8", nulLine}}));
        QCOMPARE(
            run.view.reasons,
            QStringList{QStringLiteral("R1: the database cannot hold the character NUL (code 0) in the card number")});
    }
    QCOMPARE(scalar(home.connection(), QStringLiteral("select count(*) from Tcon_ConsumeDtl")), QStringLiteral("50"));
}

// The database takes no batch: no row shows as handled, and the run ends trapped.
void tst_import_file::lockedDatabaseListsNoRow() {
    TestHome home;
    resetHostDatabase(home.connection(), false);
    qputenv("TALLYFOLD_CONNECTION",
            (home.connection() + QStringLiteral("Command Timeout=1;Connect Timeout=1;")).toUtf8());
    {
        QSqlDatabase other = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("other program"));
        other.setDatabaseName(home.file(QStringLiteral("Database/test.db")));
        QVERIFY(other.open());
        QVERIFY(QSqlQuery(other).exec(QStringLiteral("begin immediate")));
        QByteArray text;
        for (int i = 0; i < 50; ++i)
            text += QStringLiteral("01%1%2\r\n").arg(100000 + i).arg(2405130700 + i).toLatin1();
        Import run;
        runOn(home, writeFile(home.file(QStringLiteral("r.txt")), text), run);
        QCOMPARE(run.outcome, Outcome::Trapped);
        QCOMPARE(run.view.records.size(), 0);
        other.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("other program"));
}

QTEST_GUILESS_MAIN(tst_import_file)
#include "tst_import_file.moc"
