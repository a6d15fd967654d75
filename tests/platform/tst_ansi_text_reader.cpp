#include "platform/ansi_text_reader.h"
#include "platform/error.h"
#include "support/test_databases.h"

#include <QtTest>

using namespace tallyfold;
using namespace tallyfold::test;

class TstAnsiTextReader : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init() { qunsetenv("TALLYFOLD_CODEPAGE"); }

    void lines_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("empty file") << QByteArray() << QStringList();
        QTest::newRow("crlf") << QByteArray("a\r\nb\r\n") << QStringList{QStringLiteral("a"), QStringLiteral("b")};
        QTest::newRow("lf") << QByteArray("a\nb\n") << QStringList{QStringLiteral("a"), QStringLiteral("b")};
        QTest::newRow("last line without end")
            << QByteArray("a\r\nb") << QStringList{QStringLiteral("a"), QStringLiteral("b")};
        QTest::newRow("blank line kept") << QByteArray("a\n\nb\n")
                                         << QStringList{QStringLiteral("a"), QString(), QStringLiteral("b")};
        QTest::newRow("only an end") << QByteArray("\r\n") << QStringList{QString()};
        // Some terminals end lines with CR alone; a stray CR in a CR LF file ends a line too.
        QTest::newRow("cr only") << QByteArray("a\rb\r") << QStringList{QStringLiteral("a"), QStringLiteral("b")};
        QTest::newRow("lone cr in crlf") << QByteArray("a\r\nb\rc\r\n")
                                         << QStringList{QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")};
        QTest::newRow("cr then lf alone")
            << QByteArray("a\r\n\nb") << QStringList{QStringLiteral("a"), QString(), QStringLiteral("b")};
        // A byte-order mark an editor put in front of the first record.
        QTest::newRow("utf-8 bom") << QByteArray(
                                          "\xef\xbb\xbf"
                                          "a\r\nb")
                                   << QStringList{QStringLiteral("a"), QStringLiteral("b")};
        QTest::newRow("bom only") << QByteArray("\xef\xbb\xbf") << QStringList();
        // "机器" in GBK, between ASCII record fields.
        QTest::newRow("cp936") << QByteArray("1,\xbb\xfa\xc6\xf7,2\r\n") << QStringList{QStringLiteral("1,机器,2")};
        // A byte that is no character must not swallow the rest of the line.
        QTest::newRow("bad byte") << QByteArray("\xff\xbb\xfa!\n") << QStringList{QStringLiteral("\uFFFD机!")};
        // A lead byte cut off by the end of the line.
        QTest::newRow("cut character") << QByteArray("\xbb\xfa\xbb\r\n") << QStringList{QStringLiteral("机\uFFFD")};
        QTest::newRow("long line") << QByteArray(20000, 'x') << QStringList{QString(20000, u'x')};
        // A CR LF pair split across two reads of the file is still one end.
        QTest::newRow("crlf across reads")
            << QByteArray(65535, 'y') + QByteArray("\r\nz") << QStringList{QString(65535, u'y'), QStringLiteral("z")};
    }
    void lines() {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, lines);
        QTemporaryDir dir;
        const QString path = writeFile(dir.filePath(QStringLiteral("r.txt")), bytes);
        const QDateTime before = QFileInfo(path).lastModified();
        QStringList read;
        {
            AnsiTextReader reader(path);
            while (!reader.atEndOfStream())
                read << reader.readLine();
            QVERIFY_THROWS_EXCEPTION(Error, reader.readLine());
        }
        QCOMPARE(read, lines);
        // Reading must leave the terminal's file exactly as it was.
        QCOMPARE(QFileInfo(path).size(), qint64(bytes.size()));
        QCOMPARE(QFileInfo(path).lastModified(), before);
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), bytes);
    }

    void missingFileRaisesAndIsNotCreated() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("SourceRecordSet.txt"));
        try {
            AnsiTextReader reader(path);
            QFAIL("opened a missing file");
        } catch (const Error& e) {
            QCOMPARE(e.number(), errc::FileNotFound);
        }
        QVERIFY(!QFileInfo::exists(path));
    }

    void otherCodePage() {
        qputenv("TALLYFOLD_CODEPAGE", "UTF-8");
        QTemporaryDir dir;
        AnsiTextReader reader(writeFile(dir.filePath(QStringLiteral("u.txt")), QStringLiteral("机器\n").toUtf8()));
        QCOMPARE(reader.readLine(), QStringLiteral("机器"));
    }
};

QTEST_GUILESS_MAIN(TstAnsiTextReader)
#include "tst_ansi_text_reader.moc"
