#include "gather_window/widget_prompts.h"
#include "info_window/window_font.h"
#include "platform/connection.h"
#include "records/operations.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QMessageBox>
#include <QProcess>
#include <QTimer>
#include <QtTest>

#include <sys/stat.h>

using namespace tallyfold;

// The real message boxes, answered by pressing their real buttons.
class tst_widget_prompts : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void answers_data();
    void answers();
    void fileFilter();
    void fileDialogStartsInFolder();
    void fileDialogLeavesDatabaseLocks();
};

namespace {
// The lines of /proc/locks this process holds on `files`.
QStringList heldLocks(const QStringList& files) {
    QStringList inodes;
    for (const QString& f : files) {
        struct stat st {};
        if (::stat(QFile::encodeName(f).constData(), &st) == 0)
            inodes << QString::number(st.st_ino);
    }
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly))
        return {};
    const QString pid = QString::number(QCoreApplication::applicationPid());
    QStringList held;
    for (const QByteArray& line : locks.readAll().split('\n')) {
        const QStringList fields = QString::fromLatin1(line).simplified().split(QLatin1Char(' '));
        if (fields.size() > 5 && fields[4] == pid && inodes.contains(fields[5].section(QLatin1Char(':'), -1)))
            held << fields.mid(1).join(QLatin1Char(' '));
    }
    return held;
}

// Another program's whole visit: open, read, close.
QString otherProgram(const QString& db, const QString& select) {
    QProcess p;
    p.start(QStringLiteral("python3"), {QStringLiteral("-c"),
                                        QStringLiteral("import sqlite3, sys\n"
                                                       "c = sqlite3.connect(sys.argv[1])\n"
                                                       "print(*c.execute(sys.argv[2]).fetchone())\n"
                                                       "c.close()\n"),
                                        db, select});
    if (!p.waitForFinished(60000) || p.exitCode() != 0)
        return QStringLiteral("failed: ") + QString::fromLocal8Bit(p.readAllStandardError());
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}
}  // namespace

void tst_widget_prompts::answers_data() {
    QTest::addColumn<int>("buttons");
    QTest::addColumn<int>("press");
    QTest::addColumn<int>("expected");
    QTest::newRow("ok") << int(MessageButtons::Ok) << int(QMessageBox::Ok) << int(MessageAnswer::Ok);
    // The clearing's confirmation: OK must go on, Cancel must stop.
    QTest::newRow("confirm ok") << int(MessageButtons::OkCancel) << int(QMessageBox::Ok) << int(MessageAnswer::Ok);
    QTest::newRow("confirm cancel") << int(MessageButtons::OkCancel) << int(QMessageBox::Cancel)
                                    << int(MessageAnswer::Cancel);
    QTest::newRow("yes") << int(MessageButtons::YesNo) << int(QMessageBox::Yes) << int(MessageAnswer::Yes);
    QTest::newRow("no") << int(MessageButtons::YesNo) << int(QMessageBox::No) << int(MessageAnswer::No);
}

void tst_widget_prompts::answers() {
    QFETCH(int, buttons);
    QFETCH(int, press);
    QFETCH(int, expected);
    QString shownText, shownTitle;
    QFont shownFont;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        QVERIFY(box);
        shownText = box->text();
        shownTitle = box->windowTitle();
        shownFont = box->font();
        box->button(QMessageBox::StandardButton(press))->click();
    });
    WidgetPrompts prompts(nullptr);
    MessageRequest request{QStringLiteral("错误：\r\n机器参数错误，请查证后重试..."), MessageIcon::Information,
                           MessageButtons(buttons), MessageAnswer::Cancel, QStringLiteral("系统提示")};
    QCOMPARE(int(prompts.message(request)), expected);
    QCOMPARE(shownText, QStringLiteral("错误：\n机器参数错误，请查证后重试..."));
    QCOMPARE(shownTitle, QStringLiteral("系统提示"));
    QCOMPARE(shownFont, windowFont());
}

void tst_widget_prompts::fileFilter() {
    QCOMPARE(qtFileFilter(QStringLiteral("考勤记录文件(*.txt)|*.txt|全部文件(*.*)|*.*")),
             QStringLiteral("考勤记录文件(*.txt);;全部文件(*.*)"));
    QCOMPARE(qtFileFilter(QStringLiteral("Text|*.txt")), QStringLiteral("Text (*.txt)"));
}

void tst_widget_prompts::fileDialogStartsInFolder() {
    QTemporaryDir folder;
    QString shownFolder, shownFilters;
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        shownFolder = dialog->directory().absolutePath();
        shownFilters = dialog->nameFilters().join(QLatin1Char(';'));
        dialog->reject();
    });
    WidgetPrompts prompts(nullptr, folder.path());
    // Cancelled: no file.
    QCOMPARE(prompts.chooseOpenFile(QStringLiteral("Text|*.txt|All|*.*")), QString());
    QCOMPARE(shownFolder, folder.path());
    QCOMPARE(shownFilters, QStringLiteral("Text (*.txt);All (*.*)"));
}

// SQLite's locks are the process's and go when any descriptor of the file closes: a dialog that
// opened the database's files to guess their type would let another program, closing as the
// last one, checkpoint and delete the log our connection still writes into.
void tst_widget_prompts::fileDialogLeavesDatabaseLocks() {
    QTemporaryDir home;
    QVERIFY(QDir(home.path()).mkpath(QStringLiteral("Database")));
    const QString folder = home.path() + QStringLiteral("/Database");
    const QString db = folder + QStringLiteral("/tallyfold.db");
    const QStringList files{db, db + QStringLiteral("-wal"), db + QStringLiteral("-shm")};
    Connection connection(QStringLiteral("Provider=SQLite;Data Source=%1;").arg(db));
    connection.Open();
    connection.Execute(QStringLiteral("create table t (n integer)"));
    connection.Execute(QStringLiteral("insert into t values (1)"));
    const QStringList locks = heldLocks(files);
    QVERIFY(!locks.isEmpty());

    bool listed = false;
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        const auto close = qScopeGuard([dialog] { dialog->reject(); });
        auto* model = dialog->findChild<QFileSystemModel*>();
        QVERIFY(model);
        QSignalSpy loaded(model, &QFileSystemModel::directoryLoaded);
        dialog->selectNameFilter(dialog->nameFilters().constLast());
        QTRY_VERIFY_WITH_TIMEOUT(loaded.contains({folder}), 20000);
        // Every file listed with its type and icon, as the view shows them.
        for (const QString& f : files) {
            const QModelIndex i = model->index(f);
            QVERIFY(i.isValid() && !model->type(i).isEmpty());
            QVERIFY(!model->fileIcon(i).pixmap(32).isNull());
        }
        QTest::qWait(200);
        listed = true;
    });
    WidgetPrompts prompts(nullptr, folder);
    QCOMPARE(prompts.chooseOpenFile(RecordFileFilter), QString());
    QVERIFY(listed);
    QCOMPARE(heldLocks(files), locks);

    QCOMPARE(otherProgram(db, QStringLiteral("select count(*) from t")), QStringLiteral("1"));
    QVERIFY(QFile::exists(db + QStringLiteral("-wal")));
    connection.Execute(QStringLiteral("insert into t values (2)"));
    QCOMPARE(otherProgram(db, QStringLiteral("select count(*), (select * from pragma_integrity_check) from t")),
             QStringLiteral("2 ok"));
}

QTEST_MAIN(tst_widget_prompts)
#include "tst_widget_prompts.moc"
