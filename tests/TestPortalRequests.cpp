#include "portal/PortalRequests.h"
#include "support/TestMain.h"

class TestPortalRequests : public QObject
{
    Q_OBJECT

public:
    explicit TestPortalRequests(IsolatedHome&) { }

private slots:
    void valuesArePercentEncoded_data();
    void valuesArePercentEncoded();
    void maskedPathHidesOnlyThePassword();
};

void TestPortalRequests::valuesArePercentEncoded_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<QByteArray>("encoded");
    QTest::newRow("unreserved kept") << QByteArray("Az09-._~") << QByteArray("Az09-._~");
    QTest::newRow("query syntax") << QByteArray("a&b=c#d?e/f")
                                  << QByteArray("a%26b%3Dc%23d%3Fe%2Ff");
    QTest::newRow("percent and plus") << QByteArray("50%+1") << QByteArray("50%25%2B1");
    QTest::newRow("blank and controls") << QByteArray("a b\r\n\t") << QByteArray("a%20b%0D%0A%09");
    QTest::newRow("utf-8 bytes upper-case hex")
        << QByteArray("ü€") << QByteArray("%C3%BC%E2%82%AC");
    QTest::newRow("nul byte") << QByteArray("a\0b", 3) << QByteArray("a%00b");
    QTest::newRow("empty") << QByteArray() << QByteArray();
}

void TestPortalRequests::valuesArePercentEncoded()
{
    QFETCH(QByteArray, value);
    QFETCH(QByteArray, encoded);
    QCOMPARE(QByteArray::fromStdString(velmora::percentEncoded(value.toStdString())), encoded);
    // Decoding gives the value back: the appliance sees what the user typed.
    QCOMPARE(QByteArray::fromPercentEncoding(encoded), value);
}

void TestPortalRequests::maskedPathHidesOnlyThePassword()
{
    const std::string masked = velmora::maskedLoginPath("a&b");
    QVERIFY(masked.find("fixeduserid=a%26b&loginMethod=6&password=********&portal=1")
            != std::string::npos);
    QCOMPARE(masked.size(), velmora::loginPath("a&b", "12345678").size());
}

VELMORA_TEST_MAIN(TestPortalRequests)
#include "TestPortalRequests.moc"
