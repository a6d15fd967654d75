#include "platform/durable_file.h"

#include <sys/resource.h>
#include <QtTest>
#include <csignal>
#include <cstring>

using namespace tallyfold;

class TstDurableFile : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void faults_data() {
        QTest::addColumn<QString>("target");
        QTest::addColumn<qint64>("sizeLimit");  // RLIMIT_FSIZE while writing: a short write, then EFBIG
        QTest::addColumn<int>("error");         // the errno the failure must name; 0: written whole
        QTest::newRow("whole") << QStringLiteral("a.txt") << qint64(0) << 0;
        QTest::newRow("short write") << QStringLiteral("a.txt") << qint64(100) << EFBIG;
        QTest::newRow("rename onto a folder") << QStringLiteral("folder") << qint64(0) << EISDIR;
        QTest::newRow("no folder") << QStringLiteral("missing/a.txt") << qint64(0) << ENOENT;
    }

    // A failure leaves the earlier file as it was, no temporary beside it, and says why in the system's words.
    void faults() {
        QFETCH(QString, target);
        QFETCH(qint64, sizeLimit);
        QFETCH(int, error);
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("folder/inside")));
        QFile earlier(dir.filePath(QStringLiteral("a.txt")));
        QVERIFY(earlier.open(QIODevice::WriteOnly) && earlier.write("earlier") == 7);
        earlier.close();
        const QStringList before = QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries);
        const QByteArray bytes(1000, 'r');

        DurableFile file(dir.filePath(target));
        rlimit old{};
        ::getrlimit(RLIMIT_FSIZE, &old);
        if (sizeLimit) {
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit limited{rlim_t(sizeLimit), old.rlim_max};
            ::setrlimit(RLIMIT_FSIZE, &limited);
        }
        const bool done = file.open() && file.write(bytes.first(600)) && file.write(bytes.sliced(600)) && file.commit();
        ::setrlimit(RLIMIT_FSIZE, &old);

        QCOMPARE(done, error == 0);
        QCOMPARE(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), before);
        QVERIFY(earlier.open(QIODevice::ReadOnly));
        QCOMPARE(earlier.readAll(), done ? bytes : QByteArray("earlier"));
        if (!done) {
            QCOMPARE(file.systemReason(), QString::fromLocal8Bit(std::strerror(error)));
            QVERIFY(file.errorString().endsWith(file.systemReason()));
            QVERIFY(file.path().isEmpty());
        }
    }
};

QTEST_GUILESS_MAIN(TstDurableFile)
#include "tst_durable_file.moc"
