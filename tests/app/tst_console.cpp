#include "command_line.h"
#include "commands.h"
#include "console_view.h"
#include "platform/connection_string.h"

#include <QtTest>

using namespace tallyfold;

// The console in-process: what it hides, how often it redraws progress, where usage errors go.
class tst_console : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void passwordsMasked_data();
    void passwordsMasked();
    void progressOnlyOnATerminalAndAFewTimesASecond();
    void usageOnTheErrorStream();
    void tableAlignedByDisplayWidth();
    void helpFitsEightyColumnsAndEndsWithExamples();
};

void tst_console::passwordsMasked_data() {
    QTest::addColumn<QString>("connection");
    QTest::addColumn<QString>("masked");
    QTest::newRow("plain") << "Provider=PostgreSQL;User ID=u;Password=pw;"
                           << "Provider=PostgreSQL;User ID=u;Password=***;";
    // A braced or quoted value may hold the separator.
    QTest::newRow("braces") << "Password={a;b}}c};Host=h"
                            << "Password=***;Host=h";
    QTest::newRow("quotes") << "Pwd=\"a;b\";Host=h"
                            << "Pwd=***;Host=h";
    QTest::newRow("doubled quotes") << "pwd='a;b\"c''d';Host=h"
                                    << "pwd=***;Host=h";
    QTest::newRow("any case, blanks") << "host=h; PASSWORD = x"
                                      << "host=h; PASSWORD = ***";
    QTest::newRow("a key that only ends in pwd") << "OldPwd=x;Pwd=y"
                                                 << "OldPwd=x;Pwd=***";
    // The parser's grammar decides: what follows a closing quote is still the value, a quoted ';Pwd=' is not a key.
    QTest::newRow("braces, ';' inside, PWD") << "User ID=u;PWD = {p;w}}x} ;Host=h"
                                             << "User ID=u;PWD = *** ;Host=h";
    QTest::newRow("Password= and PWD= both") << "Password=first;PWD=second"
                                             << "Password=***;PWD=***";
    QTest::newRow("text after the quote") << "Password=\"ab\"cd;Host=h"
                                          << "Password=***;Host=h";
    QTest::newRow("a key inside a quoted value") << "Data Source=\"x;Pwd=y\";Password=z"
                                                 << "Data Source=\"x;Pwd=y\";Password=***";
    QTest::newRow("empty") << "Password=;Host=h"
                           << "Password=;Host=h";
    QTest::newRow("none") << "Provider=SQLite;Data Source=/a/b.db;"
                          << "Provider=SQLite;Data Source=/a/b.db;";
}

void tst_console::passwordsMasked() {
    QFETCH(QString, connection);
    QFETCH(QString, masked);
    QCOMPARE(maskedConnectionString(connection), masked);
    QString out, err;
    QTextStream o(&out), e(&err);
    Console console(o, e);
    for (const QString& secret : connectionStringSecrets(connection))
        console.addSecret(secret);
    console.error(QStringLiteral("driver said: ") + connection);
    QCOMPARE(err, QStringLiteral("tallyfold: driver said: ") + masked + QLatin1Char('\n'));
    // A driver may echo the password as it got it, unquoted (one shorter than three is left).
    const QString password = ConnectionString(connection).value(QStringLiteral("Password"));
    QVERIFY(password.size() < 3 || !console.masked(QStringLiteral("sent ") + password).contains(password));
}

// Wide characters take two columns, numbers align on the right, a tab or a password never shows.
void tst_console::tableAlignedByDisplayWidth() {
    QString out, err;
    QTextStream o(&out), e(&err);
    Console console(o, e);
    console.addSecret(QStringLiteral("s3cret"));
    console.table({{"TEAM"}, {"ROWS", true}, {"REASON"}},
                  {{QStringLiteral("二楼餐厅"), QStringLiteral("7"), ""},
                   {QStringLiteral("a\tb"), QStringLiteral("12345"), QStringLiteral("login s3cret refused")}});
    o.flush();
    QCOMPARE(out, QStringLiteral("TEAM       ROWS  REASON\n"
                                 "二楼餐厅      7\n"
                                 "a\\tb      12345  login *** refused\n"));
}

void tst_console::progressOnlyOnATerminalAndAFewTimesASecond() {
    QString out, err;
    QTextStream o(&out), e(&err);
    Console console(o, e);
    qint64 now = 0;
    console.now = [&] { return now; };
    console.progress(1, 100);
    QVERIFY(err.isEmpty());

    console.progressShown = true;
    for (qint64 done = 0; done <= 3000; ++done, now += 20)  // a record every 20 ms for a minute
        console.progress(done, 3000);
    const QStringList draws = err.split(QLatin1Char('\r'), Qt::SkipEmptyParts);
    QVERIFY2(draws.size() > 60 && draws.size() <= 60 * 4 + 1, qPrintable(QString::number(draws.size())));
    const QRegularExpression drawn(QStringLiteral("^\\d+/3000 \\(\\d+%\\), 50/s, 0:\\d\\d left\033\\[K$"));
    QVERIFY2(drawn.match(draws.at(draws.size() / 2)).hasMatch(), qPrintable(draws.at(draws.size() / 2)));
    QCOMPARE(draws.last(), QStringLiteral("3000/3000 (100%), 50/s, 1:00\033[K"));
    console.endProgress();
    QVERIFY(err.endsWith(QLatin1Char('\n')));
}

void tst_console::usageOnTheErrorStream() {
    QString out, err;
    QTextStream o(&out), e(&err);
    Console console(o, e);
    QCOMPARE(runCommandLine({"import"}, console), 2);
    QVERIFY(out.isEmpty());
    QCOMPARE(err, QStringLiteral("tallyfold: import: missing FILE (see tallyfold help import)\n"));
    err.clear();
    QCOMPARE(runCommandLine({"help", "output"}, console), 0);
    QVERIFY(err.isEmpty());
    QVERIFY(out.contains(QStringLiteral("exit status: 0 done and no line failed; 3 done, but some lines failed")));
}

// Wide characters take two columns; a terminal of 80 columns shows every help line whole.
void tst_console::helpFitsEightyColumnsAndEndsWithExamples() {
    QCOMPARE(displayWidth(u"C.操作 ok"), 9);
    QCOMPARE(displayWidth(u"e\u0301\u200b：１"), 5);  // a combining mark and a zero-width space take no cell
    QCOMPARE(wrapped(QStringLiteral("一二三 四五六 七"), 0, 14), QStringLiteral("一二三 四五六\n七"));
    QStringList helps{overviewHelp(), outputHelp()};
    for (const CommandDef& command : commandDefs()) {
        QVERIFY2(!command.examples.empty(), qPrintable(command.name));
        helps << commandHelp(command);
    }
    for (const QString& help : helps) {
        QVERIFY(help.contains(QStringLiteral("\nexamples:\n  tallyfold ")) || help == outputHelp());
        for (const QString& line : help.split(QLatin1Char('\n')))
            QVERIFY2(displayWidth(line) <= 79, qPrintable(line));
    }
}

QTEST_GUILESS_MAIN(tst_console)
#include "tst_console.moc"
