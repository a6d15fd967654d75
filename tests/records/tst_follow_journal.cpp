#include "platform/error.h"
#include "records/follow_journal.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using namespace tallyfold;

// The follower's journal as a power loss or a lost update leaves it: what a restart drains must be
// every whole entry, in order, and nothing of an entry cut short.
class tst_follow_journal : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void damagedThenReopened_data();
    void damagedThenReopened();
    void boundAndSecondFollower();
};

namespace {

QByteArray records(char tag, int n) {
    QByteArray lines;
    for (int i = 0; i < n; ++i)
        lines += QByteArray(17, tag) + char('0' + i % 10) + "\r\n";
    return lines;
}

void cut(const QString& path, qint64 bytes) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadWrite));
    QVERIFY(f.resize(f.size() - bytes));
}

}  // namespace

void tst_follow_journal::damagedThenReopened_data() {
    QTest::addColumn<QString>("damage");
    QTest::addColumn<QByteArray>("drained");  // what a restart stores, in order
    QTest::addColumn<bool>("setAside");
    const QByteArray all = records('A', 3) + records('B', 2) + records('C', 4);
    // Whole entries: a restart drains them all.
    QTest::newRow("whole") << "" << all << false;
    // Power lost while the last entry's records were written: they were never flushed, so never cleared.
    QTest::newRow("payload cut") << "cut 5" << all.left(all.size() - 80) << true;
    QTest::newRow("header cut") << "cut header" << all.left(all.size() - 80) << true;
    // A bit gone in the last entry: its checksum tells.
    QTest::newRow("bit flipped") << "flip" << all.left(all.size() - 80) << true;
    // The state's drained offset was not at an entry's start (an update lost): draining again from the start
    // stores duplicates, never less.
    QTest::newRow("offset lost") << "offset" << all << false;
}

void tst_follow_journal::damagedThenReopened() {
    QFETCH(QString, damage);
    QFETCH(QByteArray, drained);
    QFETCH(bool, setAside);
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("Journal"));
    {
        FollowJournal journal(folder, 1 << 20);
        journal.open();
        QString reason;
        QVERIFY(journal.append(QStringLiteral("7"), 10, 13, records('A', 3), &reason));
        QVERIFY(journal.append(QStringLiteral("7"), 13, 15, records('B', 2), &reason));
        QVERIFY(journal.append(QStringLiteral("7"), 15, 19, records('C', 4), &reason));
        journal.setPosition(QStringLiteral("7"), 19);
    }
    const QString path = QDir(folder).filePath(QStringLiteral("7.journal"));
    if (damage == QLatin1String("cut 5")) {
        cut(path, 5);
    } else if (damage == QLatin1String("cut header")) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray bytes = f.readAll();
        f.close();
        cut(path, bytes.size() - bytes.lastIndexOf("TFJ1") - 6);
    } else if (damage == QLatin1String("flip")) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadWrite));
        QVERIFY(f.seek(f.size() - 3));
        QVERIFY(f.write("x") == 1);
    } else if (damage == QLatin1String("offset")) {
        QFile f(QDir(folder).filePath(QStringLiteral("7.state")));
        QVERIFY(f.open(QIODevice::ReadWrite));
        QVERIFY(f.write(QByteArray("19 5").leftJustified(31, ' ') + '\n') == 32);
    }
    FollowJournal journal(folder, 1 << 20);
    journal.open();
    QCOMPARE(journal.position(QStringLiteral("7")), 19u);
    QCOMPARE(journal.recordsHeld(QStringLiteral("7")), qint64(drained.count('\n')));
    QByteArray stored;
    while (const auto chunk = journal.take(QStringLiteral("7"), 64)) {
        QFile f(journal.drainFile(QStringLiteral("7")));
        QVERIFY(f.open(QIODevice::ReadOnly));
        stored += f.readAll();
        journal.drained(QStringLiteral("7"), *chunk);
    }
    QCOMPARE(stored, drained);
    QVERIFY(!journal.holds(QStringLiteral("7")));
    QCOMPARE(QFileInfo(path).size(), 0);  // all stored: the file shrinks to nothing
    QCOMPARE(!QDir(folder).entryList({QStringLiteral("7.journal.cut-*")}).isEmpty(), setAside);
}

void tst_follow_journal::boundAndSecondFollower() {
    QTemporaryDir dir;
    FollowJournal journal(dir.path(), 600);
    journal.open();
    QString reason;
    QVERIFY(journal.append(QStringLiteral("1"), 0, 20, records('A', 20), &reason));
    QVERIFY(!journal.append(QStringLiteral("2"), 0, 20, records('B', 20), &reason));
    QVERIFY2(reason.contains(QStringLiteral("is full")), qPrintable(reason));
    QCOMPARE(journal.recordsHeld(), qint64(20));
    FollowJournal second(dir.path(), 600);
    QVERIFY_THROWS_EXCEPTION(Error, second.open());
}

QTEST_GUILESS_MAIN(tst_follow_journal)
#include "tst_follow_journal.moc"
