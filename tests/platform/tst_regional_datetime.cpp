#include "platform/regional_datetime.h"

#include <QtTest>

using tallyfold::regionalDateTimeText;

class TstRegionalDateTime : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void regionalDateTime_data() {
        QTest::addColumn<QDateTime>("moment");
        QTest::addColumn<QString>("text");
        QTest::newRow("midnight") << QDateTime(QDate(2024, 3, 5), QTime(0, 0)) << QStringLiteral("2024-03-05");
        QTest::newRow("one second past") << QDateTime(QDate(2024, 3, 5), QTime(0, 0, 1))
                                         << QStringLiteral("2024-03-05 00:00:01");
        QTest::newRow("afternoon, 24 hour")
            << QDateTime(QDate(2024, 12, 31), QTime(23, 59, 59)) << QStringLiteral("2024-12-31 23:59:59");
    }
    void regionalDateTime() {
        QFETCH(QDateTime, moment);
        QFETCH(QString, text);
        QCOMPARE(regionalDateTimeText(moment), text);
    }
};

QTEST_GUILESS_MAIN(TstRegionalDateTime)
#include "tst_regional_datetime.moc"
