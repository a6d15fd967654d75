#include "outside/component_registry.h"
#include "outside/database_tool.h"
#include "platform/connection_string.h"
#include "records/mdl_gather_data.h"
#include "records/operations.h"
#include "records/terminal_list.h"
#include "support/recording_view.h"
#include "support/test_databases.h"

#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QtTest>

using namespace tallyfold;
using namespace tallyfold::test;

// Texts an operator, a file, a device or the host gives, made to end an SQL literal early
// and run a statement of their own: backslashes, apostrophes, \', dollar quotes and a
// statement after a semicolon. Each must reach the database as text, whatever it holds. On
// PostgreSQL the database reads with standard_conforming_strings off, where a backslash
// escapes inside a literal and \' does not end it: the setting the report came from.
class tst_hostile_text : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void reachesTheDatabaseAsText_data() { addBackendRows(); }
    void reachesTheDatabaseAsText();
};

namespace {

const QDateTime Moment(QDate(2024, 3, 5), QTime(14, 3, 7));
const QString MomentText = QStringLiteral("2024-03-05 14:03:07");
const QString Drop = QStringLiteral("); drop table canary; --");

// The file of the report. Its name closes the ActionA literal of a CtrlLog row, gives
// ResultA as a dollar-quoted text, and drops the table.
const QString FileName = QStringLiteral("X\\',$$r$$); drop table canary; --.txt");
// The operator: the same characters.
const QString Operator = QStringLiteral("X\\',$$r$$); drop table canary; --");

// Texts for every field of a log row.
const QStringList Hostile = {
    QStringLiteral("\\"),
    QStringLiteral("\\\\"),
    QStringLiteral("'"),
    QStringLiteral("''"),
    QStringLiteral("\\'"),
    QStringLiteral("$$"),
    QStringLiteral("$q$ $$ $q$"),
    QStringLiteral("a\\'b\\\\'c''d"),
    QStringLiteral("'; drop table canary; --"),
    QStringLiteral("\\'; drop table canary; --"),
    QStringLiteral("$$); drop table canary; --"),
    QStringLiteral("E'\\x27'; drop table canary; --"),
    Operator,
};

// For each text column of CtrlLog (0 UserA, 2 ObjectA, 3 ActionA, 4 ResultA) the text that,
// spliced there under standard_conforming_strings off, ends its literal, gives the columns
// after it and drops the table.
QString dropFrom(int column) {
    const QStringList after = {QStringLiteral("$$") + MomentText + QStringLiteral("$$"), QStringLiteral("$$o$$"),
                               QStringLiteral("$$a$$"), QStringLiteral("$$r$$")};
    QString text = QStringLiteral("X\\'");
    for (const QString& value : after.mid(column))
        text += QLatin1Char(',') + value;
    return text + Drop;
}

struct LogRow {
    QString user, object, action, result;
    QString text() const { return QStringList{user, MomentText, object, action, result}.join(u'|'); }
};

// A terminal address that fits MachAddr (10 characters), and two that are in no row.
const QString Address = QStringLiteral("\\'$$;--");
const QString AddressDropping = QStringLiteral("x\\'; drop table canary; --");
const QString AddressMatchingAll = QStringLiteral("x\\' or 1=1 --");

// Cards of six characters, the width a record line gives them.
const QStringList Cards = {QStringLiteral("\\',$$)"), QStringLiteral("\\\\';--"), QStringLiteral("$$\\'$$")};

std::shared_ptr<Connection> freshConnection(const QString& cs) {
    auto c = std::make_shared<Connection>(cs);
    c->Open();
    return c;
}

QString text(const QVariant& value) {
    const Variant v = Variant::fromQVariant(value);
    return v.isNull() ? QStringLiteral("<null>") : v.toText();
}

// Every row of every table, on a connection of its own. The tables' columns but their ids.
QMap<QString, QStringList> contents(const QString& cs) {
    const bool pg = providerKind(ConnectionString(cs)) == ProviderKind::PostgreSQL;
    const auto c = freshConnection(cs);
    QMap<QString, QStringList> all;
    QSqlQuery tables(c->database());
    if (!tables.exec(pg ? QStringLiteral("select tablename from pg_tables where schemaname = 'public'")
                        : QStringLiteral("select name from sqlite_master where type = 'table'")))
        qFatal("cannot list the tables");
    const QMap<QString, QString> columns = {
        {QStringLiteral("machineinfo"), QStringLiteral("MachAddr, MachDesc, COMX, Ver, Team")},
        {QStringLiteral("tcon_montime"), QStringLiteral("ParaName, ParaTimeValue")},
        {QStringLiteral("tcon_consumedtl"),
         QStringLiteral("MachAddr, Cardid, datadate, datatime, ConsumeType, Amount, Flag")},
        {QStringLiteral("ctrllog"), QStringLiteral("UserA, TimeA, ObjectA, ActionA, ResultA")},
        {QStringLiteral("userpermission"), QStringLiteral("UserName, SystemName, FunctionName")},
        {QStringLiteral("canary"), QStringLiteral("n, t")},
    };
    while (tables.next()) {
        const QString table = tables.value(0).toString().toLower();
        QStringList& rows = all[table];
        QSqlQuery q(c->database());
        if (!q.exec(QStringLiteral("select %1 from %2").arg(columns.value(table, QStringLiteral("*")), table)))
            qFatal("cannot read %s", qPrintable(table));
        while (q.next()) {
            QStringList row;
            for (int i = 0; i < q.record().count(); ++i)
                row << text(q.value(i));
            rows << row.join(u'|');
        }
        rows.sort();
    }
    return all;
}

QStringList logRows(const QString& cs) {
    QStringList rows;
    const auto c = freshConnection(cs);
    QSqlQuery q(c->database());
    if (!q.exec(QStringLiteral("select UserA, TimeA, ObjectA, ActionA, ResultA from CtrlLog order by LogID")))
        qFatal("cannot read CtrlLog");
    while (q.next())
        rows << QStringList{text(q.value(0)), text(q.value(1)), text(q.value(2)), text(q.value(3)), text(q.value(4))}
                    .join(u'|');
    return rows;
}

bool canaryAlive(const QString& cs) {
    const auto c = freshConnection(cs);
    QSqlQuery q(c->database());
    return q.exec(QStringLiteral("select t from canary where n = 1")) && q.next() &&
           q.value(0).toString() == QLatin1String("alive");
}

// The window's import of one file, at a fixed moment.
Outcome import(const TestHome& home, const QString& path, const QString& user) {
    Mdl_GatherData module;
    module.Pub_DateQuote = recognisedDateQuote(home.connection(), QString());
    module.Pub_UserName = user;
    GatherSession session(module, home.settings());
    session.createComponents();
    session.clock = [] { return Moment; };
    RecordingView view;
    getTimeBZBE(*session.DbTool, session.times, view);
    view.fileToChoose = path;
    const Outcome outcome = runImport(session, view);
    if (!view.logsNotWritten.isEmpty())
        qWarning("log row not written: %s", qPrintable(view.logsNotWritten.join(u'\n')));
    return outcome;
}

int command(const TestHome& home, const QStringList& args, QString* out) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("TALLYFOLD_CONNECTION"));
    env.remove(QStringLiteral("TALLYFOLD_HOME"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home.path());
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(qEnvironmentVariable("TALLYFOLD_BIN_DIR") + QStringLiteral("/tallyfold"),
            QStringList{"--home", home.path(), "--db", home.connection()} + args);
    if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit)
        return -1;
    *out = QString::fromUtf8(p.readAll());
    return p.exitCode();
}

bool granted(const TestHome& home, QString user, const QString& function) {
    std::shared_ptr<Connection> cn = HostDatabaseTool(home.settings()).ActiveCn();
    auto auth = createComponent<PermissionAuth>(progid::Permission);
    return !auth->CheckPermission(cn, QStringLiteral("考勤系统"), user, Variant(), function, true, true).equalsFalse();
}

}  // namespace

void tst_hostile_text::reachesTheDatabaseAsText() {
    TALLYFOLD_DATABASE_TEST(home, true);
    const QString cs = home.connection();
    const bool pg = connection == QLatin1String("postgresql");
    execute(cs, QStringLiteral("create table canary (n integer, t varchar(10))"));
    execute(cs, QStringLiteral("insert into canary (n, t) values (1, 'alive')"));
    const QMap<QString, QStringList> before = contents(cs);
    QVERIFY(before.contains(QStringLiteral("canary")));
    QStringList written;
    const QString database = ConnectionString(cs).value(QStringLiteral("Database"));
    bool altered = false;
    auto reset = qScopeGuard([&] {
        if (!altered)
            return;
        releaseSharedConnections();
        execute(cs, QStringLiteral("alter database %1 reset standard_conforming_strings").arg(database));
        releaseSharedConnections();
    });

    if (pg) {
        // The setting changed in the session after it opened: the values go apart from the
        // statement, which no setting reads otherwise.
        execute(cs, QStringLiteral("set standard_conforming_strings = off"));
        const LogRow row{QStringLiteral("u"), QStringLiteral("o"), dropFrom(3), QStringLiteral("r")};
        QCOMPARE(WriteCtrlLog(row.user, Moment, row.object, row.action, row.result), QString());
        QVERIFY(canaryAlive(cs));
        written << row.text();
        QCOMPARE(logRows(cs), written);
        releaseSharedConnections();

        // From here on every session of the test's database reads with the setting off.
        execute(cs, QStringLiteral("alter database %1 set standard_conforming_strings = off").arg(database));
        altered = true;
        releaseSharedConnections();
        QCOMPARE(scalar(cs, QStringLiteral("show standard_conforming_strings")), QStringLiteral("off"));
    }
    // Log rows: a hostile text in every field at once, then in each field alone.
    std::vector<LogRow> rows;
    for (const QString& h : Hostile)
        rows.push_back({h, h, h, h});
    rows.push_back({dropFrom(0), QStringLiteral("o"), QStringLiteral("a"), QStringLiteral("r")});
    rows.push_back({QStringLiteral("u"), dropFrom(2), QStringLiteral("a"), QStringLiteral("r")});
    rows.push_back({QStringLiteral("u"), QStringLiteral("o"), dropFrom(3), QStringLiteral("r")});
    rows.push_back({QStringLiteral("u"), QStringLiteral("o"), QStringLiteral("a"), dropFrom(4)});
    for (const LogRow& row : rows) {
        QCOMPARE(WriteCtrlLog(row.user, Moment, row.object, row.action, row.result), QString());
        QVERIFY2(canaryAlive(cs), qPrintable(row.text()));
        written << row.text();
    }
    QCOMPARE(logRows(cs), written);

    // The file of the report, imported as the window does it: first by an operator of the
    // demo data, then by one with the same characters in the name.
    const QString path = home.file(FileName);
    QByteArray lines;
    QStringList records;
    for (int i = 0; i < Cards.size(); ++i) {
        const QString minute = QStringLiteral("%1").arg(30 + i);
        lines +=
            (QStringLiteral("01") + Cards[i] + QStringLiteral("24051307") + minute + QStringLiteral("\r\n")).toLatin1();
        records << QStringList{QStringLiteral("1"),
                               Cards[i],
                               QStringLiteral("2024-05-13"),
                               QStringLiteral("2024-05-13 07:") + minute + QStringLiteral(":00"),
                               QStringLiteral("计次"),
                               QStringLiteral("0"),
                               QStringLiteral("0")}
                       .join(u'|');
    }
    writeFile(path, lines);
    QVERIFY(QFileInfo::exists(path));
    for (const QString& user : {QStringLiteral("admin"), Operator}) {
        QCOMPARE(import(home, path, user), Outcome::Completed);
        QVERIFY2(canaryAlive(cs), qPrintable(user));
        written << LogRow{user, QStringLiteral("数据读取"), QStringLiteral("文件:") + path,
                          QStringLiteral("数据读取成功！")}
                       .text();
    }
    QCOMPARE(logRows(cs), written);

    // The operator's rights, granted by the command and checked as the window checks them.
    QString out;
    QCOMPARE(command(home, {"init-db", "--grant", Operator}, &out), 0);
    QVERIFY2(canaryAlive(cs), qPrintable(out));
    QStringList rights;
    for (const char* function : {"消费管理.测试", "消费管理.操作", "消费管理.读取"}) {
        QVERIFY(granted(home, Operator, QString::fromUtf8(function)));
        rights << Operator + QStringLiteral("|考勤系统|") + QString::fromUtf8(function);
    }
    for (const QString& other : {QStringLiteral("X\\'"), QStringLiteral("x' or ''='"), QStringLiteral("x\\' or 1=1 --"),
                                 QStringLiteral("admin\\")})
        QVERIFY2(!granted(home, other, QStringLiteral("消费管理.读取")), qPrintable(other));

    // A terminal whose address holds the same characters is found by it, and only by it.
    {
        QSqlQuery add(sharedConnection(cs)->database());
        QVERIFY(add.prepare(QStringLiteral(
            "insert into MachineInfo (MachAddr, MachDesc, COMX, Ver, Team) values (?, '计次', 9, 'V9', 'T')")));
        add.addBindValue(Address);
        QVERIFY(add.exec());
    }
    HostDatabaseTool tool(home.settings());
    const CurrentTerminal found = lookUpTerminal(tool, Variant(Address));
    QCOMPARE(found.machAddr.toText(), Address);
    QCOMPARE(found.comX.toText(), QStringLiteral("9"));
    for (const QString& other : {AddressDropping, AddressMatchingAll, QStringLiteral("1\\'")}) {
        QVERIFY_THROWS_EXCEPTION(Error, lookUpTerminal(tool, Variant(other)));
        QVERIFY2(canaryAlive(cs), qPrintable(other));
    }

    // The texts came back as they were given; nothing else changed.
    QCOMPARE(logRows(cs), written);
    QMap<QString, QStringList> expected = before;
    expected[QStringLiteral("ctrllog")] << written;
    expected[QStringLiteral("tcon_consumedtl")] << records;
    expected[QStringLiteral("userpermission")] << rights;
    expected[QStringLiteral("machineinfo")] << Address + QStringLiteral("|计次|9|V9|T");
    expected[QStringLiteral("tallyfold_gatherstate")];  // init-db made the gathers' history, empty
    for (QStringList& table : expected)
        table.sort();
    QMap<QString, QStringList> after = contents(cs);
    after.remove(QStringLiteral("tallyfold_batchwitness"));  // the store's own keys for its batches
    QCOMPARE(after.keys(), expected.keys());
    for (auto it = expected.cbegin(); it != expected.cend(); ++it)
        QCOMPARE(after.value(it.key()), it.value());
}

QTEST_GUILESS_MAIN(tst_hostile_text)
#include "tst_hostile_text.moc"
