#include "portal/PortalAnswers.h"
#include "support/TestMain.h"

#include <QThread>

#include <memory>

using velmora::KeepAliveAnswer;
using velmora::LoginAnswer;

Q_DECLARE_METATYPE(LoginAnswer::Kind)
Q_DECLARE_METATYPE(KeepAliveAnswer::Kind)

class TestPortalAnswers : public QObject
{
    Q_OBJECT

public:
    explicit TestPortalAnswers(IsolatedHome&) { }

private slots:
    void loginAnswerIsJudgedInOrder_data();
    void loginAnswerIsJudgedInOrder();
    void loginAnswerKeepsItsValuesAsJsonText();
    void deeplyNestedDataIsAcceptedWithoutEcho();
    void keepAliveAnswerIsJudgedInOrder_data();
    void keepAliveAnswerIsJudgedInOrder();
    void sessionEndTextsAreMatchedWithTheirCase_data();
    void sessionEndTextsAreMatchedWithTheirCase();
};

void TestPortalAnswers::loginAnswerIsJudgedInOrder_data()
{
    QTest::addColumn<QString>("body");
    QTest::addColumn<LoginAnswer::Kind>("kind");
    QTest::addColumn<QString>("trace");
    using K = LoginAnswer::Kind;
    const auto row = [](const char* name, const QString& body, K kind, const char* trace) {
        QTest::newRow(name) << body << kind << QString(trace);
    };
    const auto data = [](const QString& values) {
        return R"({"status":"success","data":{)" + values + "}}";
    };
    row("no status", R"({"errors":"x"})", K::Unusable, "JSON doesn't contain status.");
    row("not an object", "[1,2]", K::Unusable, "JSON doesn't contain status.");
    row("status number", R"({"status":1})", K::Unusable, "Data type of status is not string");
    row("no data", R"({"status":"success"})", K::UnusableSession, "Json doesn't conatain any data");
    row("data array", R"({"status":"success","data":[]})", K::UnusableSession,
        "Data type of data key is not object");
    row("no userid", data(R"("username":"a","k1":1)"), K::Unusable,
        "json data doesn't contain any userid");
    row("userid text", data(R"("userid":"7","username":"a","k1":1)"), K::UnusableSession,
        "Data type of userid is not number");
    row("username number", data(R"("userid":7,"username":5,"k1":1)"), K::UnusableSession,
        "Data type of username is not string");
    // A name no account has is no name: too long to keep and send every 4 seconds, or holding
    // control characters (a JSON escape decodes to one too).
    const auto named = [&](const QString& name) {
        return data(R"("userid":7,"username":")" + name + R"(","k1":1)");
    };
    const std::pair<const char*, QString> noNames[] = {
        { "username of 257 bytes", QString(257, QLatin1Char('a')) },
        { "username with a line break", QStringLiteral("ann\\nroot") },
        { "username with an escape sequence", QStringLiteral("ann\\u001b[2J") },
        { "username with DEL", QStringLiteral("ann\\u007f") },
        { "username with a C1 control", QStringLiteral("ann\\u0085") },
    };
    for (const auto& [name, value] : noNames)
        row(name, named(value), K::UnusableSession, "Data type of username is not string");
    row("username of 256 bytes", named(QString(256, QLatin1Char('a'))), K::Accepted, "");
    row("username beyond ASCII", named(QStringLiteral("åsa")), K::Accepted, "");
    row("no username", data(R"("userid":7,"k1":1)"), K::Unusable,
        "json data doesn't contain any username");
    row("no k1", data(R"("userid":7,"username":"a")"), K::UnusableSession,
        "json data doesn't contain any k1");
    row("k1 text", data(R"("userid":7,"username":"a","k1":"99")"), K::UnusableSession,
        "Data type of k1 is not number");
    row("accepted", data(R"("userid":7,"username":"ann","k1":99)"), K::Accepted, "");
    row("no errors", R"({"status":"fail"})", K::Unusable, "Json doesn't conatain key 'error'");
    row("errors number", R"({"status":"fail","errors":3})", K::Unusable,
        "Data type of error is not string.");
    row("refused", R"({"status":"fail","errors":"nope"})", K::Refused, "");
    row("status case matters", R"({"status":"Success","errors":"x"})", K::Refused, "");
    row("html page", "<html></html>", K::Unreadable, "[json.exception.parse_error.101]");
    row("comments refused", R"({"status":"fail", /* c */ "errors":"x"})", K::Unreadable,
        "[json.exception.parse_error.101]");
    // The parser refuses it with out_of_range, not parse_error; it must not escape either.
    row("number beyond a double", data(R"("userid":1e400,"username":"a","k1":1)"), K::Unreadable,
        "[json.exception.out_of_range.406]");
}

void TestPortalAnswers::loginAnswerIsJudgedInOrder()
{
    QFETCH(QString, body);
    QFETCH(LoginAnswer::Kind, kind);
    QFETCH(QString, trace);
    const LoginAnswer answer = velmora::readLoginAnswer(body.toStdString());
    QCOMPARE(answer.kind, kind);
    if (kind == LoginAnswer::Kind::Unreadable)
        QVERIFY2(QString::fromStdString(answer.trace).startsWith(trace), answer.trace.c_str());
    else
        QCOMPARE(QString::fromStdString(answer.trace), trace);
}

void TestPortalAnswers::loginAnswerKeepsItsValuesAsJsonText()
{
    const LoginAnswer answer = velmora::readLoginAnswer(
        R"({"status":"success","data":{"userid":12.5,"username":"a\"n\u00fc","k1":9007199254740993}})");
    QCOMPARE(answer.kind, LoginAnswer::Kind::Accepted);
    QCOMPARE(answer.userid, "12.5");
    QCOMPARE(answer.username, "a\\\"nü"); // escapes as sent, the quotation marks gone
    QCOMPARE(answer.k1, "9007199254740993");
    QCOMPARE(answer.status, "\"success\"");

    // A refusal's text both plain and as JSON text.
    const LoginAnswer refused =
        velmora::readLoginAnswer(R"({"status":"fail","errors":"Bad \"pw\""})");
    QCOMPARE(refused.kind, LoginAnswer::Kind::Refused);
    QCOMPARE(refused.errors, "Bad \"pw\"");
    QCOMPARE(refused.errorsJson, "\"Bad \\\"pw\\\"\"");
}

void TestPortalAnswers::deeplyNestedDataIsAcceptedWithoutEcho()
{
    // Read on a thread with a Windows thread's stack (1 MB): dumping 100000 levels for the console
    // echo used to overflow it.
    const std::string nested = std::string(100000, '[') + std::string(100000, ']');
    const std::string body =
        R"({"status":"success","data":{"userid":7,"username":"ann","k1":99,"x":)" + nested + "}}";
    LoginAnswer answer;
    std::unique_ptr<QThread> reader(
        QThread::create([&] { answer = velmora::readLoginAnswer(body); }));
    reader->setStackSize(1024 * 1024);
    reader->start();
    QVERIFY(reader->wait(60000));
    QCOMPARE(answer.kind, LoginAnswer::Kind::Accepted);
    QCOMPARE(answer.userid, "7");
    QCOMPARE(answer.username, "ann");
    QCOMPARE(answer.k1, "99");
    QVERIFY(answer.data.empty());

    const LoginAnswer shallow = velmora::readLoginAnswer(
        R"({"status":"success","data":{"userid":7,"username":"ann","k1":99,"x":[[1]]}})");
    QCOMPARE(shallow.data, R"({"k1":99,"userid":7,"username":"ann","x":[[1]]})");
}

void TestPortalAnswers::keepAliveAnswerIsJudgedInOrder_data()
{
    QTest::addColumn<QString>("body");
    QTest::addColumn<KeepAliveAnswer::Kind>("kind");
    QTest::addColumn<QString>("trace");
    QTest::addColumn<bool>("parseError");
    using K = KeepAliveAnswer::Kind;
    QTest::newRow("no status") << "{}" << K::Malformed << "keepalive json doesn't contain status"
                               << false;
    QTest::newRow("not json") << "Session Expired" << K::Malformed
                              << "keepalive json doesn't contain status" << true;
    QTest::newRow("empty body") << "" << K::Malformed << "keepalive json doesn't contain status"
                                << true;
    QTest::newRow("number beyond a double")
        << R"({"status":"fail","errors":"x","n":-1e999})" << K::Malformed
        << "keepalive json doesn't contain status" << true;
    QTest::newRow("status object") << R"({"status":{}})" << K::Malformed
                                   << "keepalive json['stattus'] data type is not string" << false;
    QTest::newRow("success") << R"({"status":"success","errors":5})" << K::Confirmed << "" << false;
    QTest::newRow("no errors") << R"({"status":"fail"})" << K::Malformed
                               << "keepalive json doesn't contain error" << false;
    QTest::newRow("errors null") << R"({"status":"fail","errors":null})" << K::Malformed
                                 << "keepalive json['error'] data type is not string" << false;
    QTest::newRow("reason") << R"({"status":"fail","errors":"Session Expired"})" << K::Refused
                            << "\"Session Expired\"" << false;
}

void TestPortalAnswers::keepAliveAnswerIsJudgedInOrder()
{
    QFETCH(QString, body);
    QFETCH(KeepAliveAnswer::Kind, kind);
    QFETCH(QString, trace);
    QFETCH(bool, parseError);
    const KeepAliveAnswer answer = velmora::readKeepAliveAnswer(body.toStdString());
    QCOMPARE(answer.kind, kind);
    QCOMPARE(QString::fromStdString(answer.trace), trace);
    QCOMPARE(!answer.parseError.empty(), parseError);
}

void TestPortalAnswers::sessionEndTextsAreMatchedWithTheirCase_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ends");
    QTest::newRow("kicked out") << "You have been kicked out by the administrator" << true;
    QTest::newRow("blocked by") << "Your account is blocked by administrator" << true;
    QTest::newRow("daily") << "Daily Logout" << true;
    QTest::newRow("other case") << "KICKED OUT, Blocked By, daily logout" << false;
    QTest::newRow("kicked alone") << "You were kicked" << false;
    QTest::newRow("expired") << "Session Expired" << false;
}

void TestPortalAnswers::sessionEndTextsAreMatchedWithTheirCase()
{
    QFETCH(QString, text);
    QFETCH(bool, ends);
    QCOMPARE(velmora::containsSessionEndText(text.toStdString()), ends);
}

VELMORA_TEST_MAIN(TestPortalAnswers)
#include "TestPortalAnswers.moc"
