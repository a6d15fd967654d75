#include "platform/error.h"
#include "platform/variant.h"

#include <QtTest>

using tallyfold::Error;
using tallyfold::Variant;
namespace errc = tallyfold::errc;

Q_DECLARE_METATYPE(tallyfold::Variant)

class TstVariant : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void toText_data() {
        QTest::addColumn<Variant>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("empty") << Variant() << QString();
        // Whole doubles must not show a fraction or an exponent: they become file and column text.
        QTest::newRow("whole double") << Variant(1.0) << QStringLiteral("1");
        QTest::newRow("fraction") << Variant(2.5) << QStringLiteral("2.5");
        QTest::newRow("negative whole double") << Variant(-40.0) << QStringLiteral("-40");
        QTest::newRow("large whole double") << Variant(123456789012.0) << QStringLiteral("123456789012");
        QTest::newRow("integer") << Variant(qint64(9000000000)) << QStringLiteral("9000000000");
        QTest::newRow("text kept") << Variant("机器 1") << QStringLiteral("机器 1");
        QTest::newRow("midnight date") << Variant(QDateTime(QDate(2024, 3, 5), QTime(0, 0)))
                                       << QStringLiteral("2024-03-05");
    }
    void toText() {
        QFETCH(Variant, value);
        QFETCH(QString, text);
        QCOMPARE(value.toText(), text);
    }

    void nullRaises() {
        try {
            (void)Variant::null().toText();
            QFAIL("Null converted to text");
        } catch (const Error& e) {
            QCOMPARE(e.number(), errc::InvalidUseOfNull);
            QVERIFY2(e.description().contains(QLatin1String("Null")), qPrintable(e.description()));
        }
    }

    void toInt16_data() {
        QTest::addColumn<Variant>("value");
        QTest::addColumn<int>("expected");
        QTest::addColumn<int>("error");  // 0: converts to expected
        // Half to even, as the platform's integer conversion rounds.
        QTest::newRow("2.5 to even") << Variant(2.5) << 2 << 0;
        QTest::newRow("3.5 to even") << Variant(3.5) << 4 << 0;
        QTest::newRow("-2.5 to even") << Variant(-2.5) << -2 << 0;
        QTest::newRow("2.51 up") << Variant(2.51) << 3 << 0;
        QTest::newRow("text number") << Variant("12") << 12 << 0;
        QTest::newRow("text with blanks") << Variant(" 12 ") << 12 << 0;
        QTest::newRow("text half") << Variant("0.5") << 0 << 0;
        QTest::newRow("empty is zero") << Variant() << 0 << 0;
        QTest::newRow("true is -1") << Variant(true) << -1 << 0;
        QTest::newRow("lowest") << Variant(-32768) << -32768 << 0;
        // Rounds to -32768 (even), so it still fits.
        QTest::newRow("-32768.5 fits") << Variant(-32768.5) << -32768 << 0;
        QTest::newRow("text not a number") << Variant("12x") << 0 << int(errc::TypeMismatch);
        QTest::newRow("empty text") << Variant("") << 0 << int(errc::TypeMismatch);
        QTest::newRow("40000 overflow") << Variant(40000) << 0 << int(errc::Overflow);
        QTest::newRow("32767.5 rounds out") << Variant(32767.5) << 0 << int(errc::Overflow);
        QTest::newRow("text overflow") << Variant("-40000") << 0 << int(errc::Overflow);
        QTest::newRow("null") << Variant::null() << 0 << int(errc::InvalidUseOfNull);
    }
    void toInt16() {
        QFETCH(Variant, value);
        QFETCH(int, expected);
        QFETCH(int, error);
        try {
            const int got = value.toInt16();
            QCOMPARE(error, 0);
            QCOMPARE(got, expected);
        } catch (const Error& e) {
            QCOMPARE(int(e.number()), error);
        }
    }

    void equalsEmptyTextAndFalse_data() {
        QTest::addColumn<Variant>("value");
        QTest::addColumn<bool>("emptyText");
        QTest::addColumn<bool>("isFalse");
        QTest::newRow("empty") << Variant() << true << true;
        QTest::newRow("empty text") << Variant("") << true << false;
        // A terminal column holding a blank is still a chosen terminal.
        QTest::newRow("blank text") << Variant(" ") << false << false;
        QTest::newRow("null") << Variant::null() << false << false;
        QTest::newRow("false") << Variant(false) << false << true;
        QTest::newRow("true") << Variant(true) << false << false;
        QTest::newRow("zero") << Variant(0) << false << true;
        QTest::newRow("zero double") << Variant(0.0) << false << true;
        QTest::newRow("one") << Variant(1) << false << false;
    }
    void equalsEmptyTextAndFalse() {
        QFETCH(Variant, value);
        QFETCH(bool, emptyText);
        QFETCH(bool, isFalse);
        QCOMPARE(value.equalsEmptyText(), emptyText);
        QCOMPARE(value.equalsFalse(), isFalse);
    }
};

QTEST_GUILESS_MAIN(TstVariant)
#include "tst_variant.moc"
