#include "outside/serial/telnet_session.h"

#include <QTest>

using tallyfold::serial::TelnetSession;

namespace {

QByteArray hex(const char* text) {
    return QByteArray::fromHex(text);
}

}  // namespace

// What a real device server does not show on demand: commands split across reads, and the
// answers a server's own offers get.
class TestTelnetSession : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void serverBytes_data() {
        QTest::addColumn<QByteArray>("fromServer");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QByteArray>("replies");
        QTest::newRow("doubled 0xFF is one data byte") << hex("01ffff02ff") << hex("01ff02") << QByteArray();
        // Offers the session made itself are acknowledged by silence, so two ends never loop.
        QTest::newRow("server agrees to our options")
            << hex("fffd2cfffb00fffd00fffb03") << QByteArray() << QByteArray();
        QTest::newRow("echo declined once") << hex("fffb01fffb01") << QByteArray() << hex("fffe01");
        QTest::newRow("unknown option refused") << hex("fffd18") << QByteArray() << hex("fffc18");
        QTest::newRow("binary withdrawn, acknowledged") << hex("fffc00") << QByteArray() << hex("fffe00");
        QTest::newRow("line state notice skipped, 0xFF inside")
            << hex("41fffa2c6affff00fff042") << hex("4142") << QByteArray();
        QTest::newRow("no-operation skipped") << hex("41fff142") << hex("4142") << QByteArray();
    }

    void serverBytes() {
        QFETCH(QByteArray, fromServer);
        QFETCH(QByteArray, data);
        QFETCH(QByteArray, replies);
        TelnetSession whole;
        QCOMPARE(whole.receive(fromServer), data);
        QCOMPARE(whole.takeReplies(), replies);
        TelnetSession trickle;
        QByteArray trickled;
        for (char byte : fromServer)
            trickled += trickle.receive(QByteArray(1, byte));
        QCOMPARE(trickled, data);
        QCOMPARE(trickle.takeReplies(), replies);
    }

    void comPortControl() {
        TelnetSession session;
        QVERIFY(session.greeting().startsWith(hex("fffb2c")));
        QCOMPARE(session.comPort(), TelnetSession::ComPort::Unknown);
        session.receive(hex("fffd2c"));
        QCOMPARE(session.comPort(), TelnetSession::ComPort::Accepted);
        // 9600 = 0x2580; the server confirms with command 101.
        QVERIFY(TelnetSession::lineSettings(9600).startsWith(hex("fffa2c0100002580fff0")));
        QVERIFY(!session.baudConfirmed());
        session.receive(hex("fffa2c6500002580fff0"));
        QVERIFY(session.baudConfirmed());
        session.receive(hex("fffe2c"));
        QCOMPARE(session.comPort(), TelnetSession::ComPort::Refused);
        QCOMPARE(TelnetSession::escape(hex("ff00ff")), hex("ffff00ffff"));
    }
};

QTEST_GUILESS_MAIN(TestTelnetSession)
#include "tst_telnet_session.moc"
