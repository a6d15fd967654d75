#include "platform/ansi_text_reader.h"
#include "platform/error.h"
#include "support/test_databases.h"

#include <sys/stat.h>
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
        QTest::newRow("cr cr lf") << QByteArray("a\r\r\nb\r\r\n")
                                  << QStringList{QStringLiteral("a"), QStringLiteral("b")};
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
        QTest::newRow("long line, cut") << QByteArray(20000, 'x')
                                        << QStringList{QString(AnsiTextReader::MaxLineBytes, u'x')};
        // A CR LF pair split across two reads of the file is still one end.
        QByteArray acrossReads;
        QStringList acrossLines;
        for (int n = 0; n < 16; ++n) {
            acrossReads += QByteArray(4095, 'y') + (n < 15 ? "\n" : "");
            acrossLines << QString(4095, u'y');
        }
        QTest::newRow("crlf across reads") << acrossReads + QByteArray("\r\nz") << acrossLines + QStringList{"z"};
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

    // Refused at once: a FIFO would wait for a writer, a device would never end.
    void notRegularFiles_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("error");
        QTest::newRow("FIFO") << QStringLiteral("FIFO") << QStringLiteral("is not a regular file");
        QTest::newRow("device") << QStringLiteral("/dev/zero") << QStringLiteral("is not a regular file");
        QTest::newRow("folder") << QStringLiteral("/tmp") << QStringLiteral("Path is a folder, not a file");
    }
    void notRegularFiles() {
        QFETCH(QString, path);
        QFETCH(QString, error);
        QTemporaryDir dir;
        if (path == QLatin1String("FIFO")) {
            path = dir.filePath(QStringLiteral("fifo"));
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        }
        try {
            AnsiTextReader reader(path);
            QFAIL("opened what is not a file");
        } catch (const Error& e) {
            QCOMPARE(e.number(), errc::FileIo);
            QVERIFY2(e.description().contains(error), qPrintable(e.description()));
        }
    }

    // A line without an end is never held whole: it comes back cut, and the next line is whole again.
    void longLineCut() {
        QTemporaryDir dir;
        const QByteArray longLine = "011234562405130730" + QByteArray(1 << 20, 'x');
        AnsiTextReader reader(writeFile(dir.filePath(QStringLiteral("l.txt")), longLine + "\r\nnext\r\n"));
        QCOMPARE(reader.readLine().size(), AnsiTextReader::MaxLineBytes);
        QVERIFY(reader.lastLineCut());
        QCOMPARE(reader.readLine(), QStringLiteral("next"));
        QVERIFY(!reader.lastLineCut());
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
