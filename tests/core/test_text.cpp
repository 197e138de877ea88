// Text that reaches the module: the Windows-1250 conversion, what it cannot
// hold, the integer conversion, and what may go into a command line.
#include "core/protocol/Exchange.h"
#include "core/text/Codec.h"

#include <QTest>

class TestText : public QObject {
    Q_OBJECT
private slots:
    void everyByteSurvivesAWidget() {
        for (int b = 0; b < 256; ++b) {
            const QByteArray one(1, char(b));
            QCOMPARE(text::toCp1250(text::fromCp1250(one)), one);
            QCOMPARE(text::firstUnencodable(text::fromCp1250(one)), -1);
        }
    }

    void romanianLettersAndTheRest() {
        // A Romanian keyboard types S and T with a comma below; the code page
        // has them with a cedilla.
        QCOMPARE(text::toCp1250(QString::fromUtf8("ȘșȚț")), QByteArray("\xAA\xBA\xDE\xFE"));
        QCOMPARE(text::fromCp1250("\xAA\xBA\xDE\xFE"), QString::fromUtf8("ŞşŢţ"));
        QCOMPARE(text::toCp1250(QString::fromUtf8("ăâîőű€°")), QByteArray("\xE3\xE2\xEE\xF5\xFB\x80\xB0"));
        QCOMPARE(text::firstUnencodable(QString::fromUtf8("Ștefan €5")), -1);
        // What it cannot hold is found, and would have become '?'.
        QCOMPARE(text::firstUnencodable(QString::fromUtf8("ab日本")), 2);
        QCOMPARE(text::firstUnencodable(QString::fromUtf8("€✓")), 1);
        QCOMPARE(text::firstUnencodable(QString::fromUtf8("x😀")), 1);
        QCOMPARE(text::toCp1250(QString::fromUtf8("日€")), QByteArray("?\x80"));
    }

    void integersTakeAsciiDigitsOnly() {
        int v = 0;
        QVERIFY(text::tryStrToInt("-20", v) && v == -20);
        QVERIFY(text::tryStrToInt(" 7", v) && v == 7);
        QVERIFY(text::tryStrToInt("$1F", v) && v == 31);
        QVERIFY(!text::tryStrToInt("7 ", v));
        QVERIFY(!text::tryStrToInt("", v));
        QVERIFY(!text::tryStrToInt("2147483648", v));
        // Arabic-Indic digits, as a spin box under an Arabic locale would show them.
        QVERIFY(!text::tryStrToInt(QString::fromUtf8("١٢").toUtf8(), v));
        QVERIFY_THROWS_EXCEPTION(text::ConvertError, text::strToInt("loud"));
    }

    void whatMayGoIntoACommand() {
        QVERIFY(IsCommandSafe(""));
        QVERIFY(IsCommandSafe("T\xB0 a=b, \"x\" #1"));   // '#' and '"' alone are text
        for (const QByteArray& bad : {QByteArray("a\nset REM:UPW C,4826,0000"), QByteArray("a\rb"),
                                      QByteArray("a\0b", 3), QByteArray("a\tb"), QByteArray("end#\"more")})
            QVERIFY2(!IsCommandSafe(bad), bad.toHex().constData());
    }

    void unsafeTextIsNeverSent() {
        // The exchange refuses it itself, whoever calls it.
        struct Channel : Connection {
            bool IsOpen() override { return true; }
            void SendData(const uint8_t*, int32_t) override { ++sends; }
            void SendText(const QByteArray&) override { ++sends; }
            bool Open() override { return true; }
            void Close() override {}
            QByteArray GetName() override { return {}; }
            int sends = 0;
        } ch;
        Exchange ex;
        ex.setChannel(&ch);
        QCOMPARE(ex.SetParam("CALL:USER1.PN", "+36\nset REM:UPW C,4826,0000"), Outcome::NotSent);
        QCOMPARE(ex.SetParam("A\r", "1"), Outcome::NotSent);
        QCOMPARE(ex.Query("A\n").outcome, Outcome::NotSent);
        QCOMPARE(ex.PasswordCommand("48\n26", "0"), Outcome::NotSent);
        QCOMPARE(ch.sends, 0);
    }
};

QTEST_GUILESS_MAIN(TestText)
#include "test_text.moc"
