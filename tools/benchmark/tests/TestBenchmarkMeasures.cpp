// The benchmark's own arithmetic and plumbing: a wrong median, a misread /proc file, a child
// timed from the wrong moment or a budget judged the wrong way would print a table that lies.
#include "BenchOptions.h"
#include "Measures.h"
#include "Processes.h"

#include <QtTest>

#include <filesystem>
#include <fstream>
#include <thread>

using namespace velmora::bench;
using namespace std::chrono_literals;

namespace {

// The driver's command line with the programs it needs, and the given options after them.
Options parse(std::vector<std::string> options)
{
    std::vector<std::string> words { "velmora-bench",
                                     "--program",
                                     "p",
                                     "--floor",
                                     "f",
                                     "--harness",
                                     "h",
                                     "--gets",
                                     "g",
                                     "--discovery-floor",
                                     "d",
                                     "--appliance",
                                     "a",
                                     "--work",
                                     "w",
                                     "--out",
                                     "o" };
    words.insert(words.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    return parseOptions(static_cast<int>(argv.size()), argv.data());
}

} // namespace

Q_DECLARE_METATYPE(std::vector<double>)

class TestBenchmarkMeasures : public QObject
{
    Q_OBJECT

private slots:
    void summaryOfSeries_data()
    {
        QTest::addColumn<std::vector<double>>("samples");
        QTest::addColumn<double>("median");
        QTest::addColumn<double>("min");
        QTest::addColumn<double>("max");
        QTest::newRow("one sample") << std::vector<double> { 7 } << 7.0 << 7.0 << 7.0;
        QTest::newRow("odd count, unsorted")
            << std::vector<double> { 9, 1, 5, 3, 7 } << 5.0 << 1.0 << 9.0;
        QTest::newRow("even count takes the mean of the middle two")
            << std::vector<double> { 4, 1, 3, 10 } << 3.5 << 1.0 << 10.0;
        QTest::newRow("an outlier does not move the median")
            << std::vector<double> { 100, 101, 99, 5000, 100 } << 100.0 << 99.0 << 5000.0;
    }
    void summaryOfSeries()
    {
        QFETCH(std::vector<double>, samples);
        QFETCH(double, median);
        QFETCH(double, min);
        QFETCH(double, max);
        const auto summary = summarise(samples);
        QVERIFY(summary);
        QCOMPARE(summary->median, median);
        QCOMPARE(summary->min, min);
        QCOMPARE(summary->max, max);
        QCOMPARE(summary->count, samples.size());
    }

    void emptySeriesHasNoSummary() { QVERIFY(!summarise({})); }

    void smapsRollupGivesRssAndPss()
    {
        // As the kernel writes it: a header line, then "Name:  value kB" lines.
        const std::string text = "55d0c0a8e000-7ffd1b9fc000 ---p 00000000 00:00 0   [rollup]\n"
                                 "Rss:               41236 kB\n"
                                 "Pss:               27118 kB\n"
                                 "Pss_Anon:          11108 kB\n"
                                 "Pss_File:          15906 kB\n"
                                 "Shared_Clean:      14480 kB\n"
                                 "SwapPss:               0 kB\n";
        const auto memory = parseSmapsRollup(text);
        QVERIFY(memory);
        QCOMPARE(memory->rssKiB, 41236LL);
        // Not Pss_Anon or SwapPss, which also contain the name.
        QCOMPARE(memory->pssKiB, 27118LL);
    }

    void smapsRollupWithoutPssIsRefused()
    {
        QVERIFY(!parseSmapsRollup("Rss:  100 kB\nPss_Anon:  50 kB\nSwapPss:  0 kB\n"));
        QVERIFY(!parseSmapsRollup("Rss:  100 kB\nPss:  kB\n"));
        QVERIFY(!parseSmapsRollup(""));
    }

    void smapsRollupOfThisProcess()
    {
        const auto text = readWholeFile("/proc/self/smaps_rollup");
        QVERIFY(text);
        const auto memory = parseSmapsRollup(*text);
        QVERIFY(memory);
        QVERIFY(memory->rssKiB > 0);
        QVERIFY(memory->pssKiB > 0 && memory->pssKiB <= memory->rssKiB);
    }

    void listeningLines()
    {
        QCOMPARE(listeningPort("listening on https://127.0.0.1:41234"), std::optional<int>(41234));
        QCOMPARE(listeningPort("listening on http://127.0.0.1:80"), std::optional<int>(80));
        QVERIFY(!listeningPort("controls on http://127.0.0.1:9099"));
        QVERIFY(!listeningPort("listening on https://127.0.0.1:"));
        QVERIFY(!listeningPort("listening on https://127.0.0.1:99999"));
        QVERIFY(!listeningPort("listening on https://127.0.0.1:80x"));
    }

    void applianceRequests_data()
    {
        using Exchange = ApplianceRequest::Exchange;
        QTest::addColumn<QString>("line");
        QTest::addColumn<int>("exchange");
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("answered");
        const QString head = "https://127.0.0.1:41234 127.0.0.1 GET ";
        QTest::newRow("probe") << head + "/isvelmora.php -> 200" << int(Exchange::probe) << 200
                               << true;
        QTest::newRow("login, password masked") << head
                + "/index.php?pageto=c&ms=a&mes=a&fixeduserid=bench&loginMethod=6"
                  "&password=*****&portal=1&stage=9 -> 200"
                                                << int(Exchange::login) << 200 << true;
        QTest::newRow("keep-alive")
            << head + "/index.php?pageto=ka&ms=a&mes=a&u=1&username=bench&k1=2 -> 200"
            << int(Exchange::keepAlive) << 200 << true;
        QTest::newRow("logout") << head + "/index.php?pageto=fbo&operation=4&ms=a&mes=a -> 200"
                                << int(Exchange::logout) << 200 << true;
        QTest::newRow("keep-alive without answer") << head + "/index.php?pageto=ka&u=1 -> no answer"
                                                   << int(Exchange::keepAlive) << 0 << false;
        QTest::newRow("scripted answer is not the stand-in's own")
            << head + "/index.php?pageto=ka&u=1 -> 200 (scripted)" << int(Exchange::keepAlive)
            << 200 << false;
        QTest::newRow("refused login")
            << head + "/index.php?pageto=c&x=1 -> 500" << int(Exchange::login) << 500 << false;
        QTest::newRow("unknown page")
            << head + "/favicon.ico -> 404" << int(Exchange::other) << 404 << false;
    }
    void applianceRequests()
    {
        QFETCH(QString, line);
        QFETCH(int, exchange);
        QFETCH(int, status);
        QFETCH(bool, answered);
        const auto request = parseApplianceLine(line.toStdString());
        QVERIFY(request);
        QCOMPARE(int(request->exchange), exchange);
        QCOMPARE(request->status, status);
        QCOMPARE(isAnswered(*request, ApplianceRequest::Exchange(exchange)), answered);
    }

    void linesThatReportNoRequest()
    {
        QVERIFY(!parseApplianceLine("listening on https://127.0.0.1:41234"));
        QVERIFY(!parseApplianceLine("controls on http://127.0.0.1:9099"));
        QVERIFY(!parseApplianceLine("stopping on Terminated"));
    }

    void budgets_data()
    {
        QTest::addColumn<double>("program");
        QTest::addColumn<double>("floor");
        QTest::addColumn<int>("kind");
        QTest::addColumn<double>("limit");
        QTest::addColumn<int>("expected");
        const int ratio = int(Budget::Kind::ratioAtMost);
        const int below = int(Budget::Kind::valueBelow);
        const int pass = int(Verdict::pass), fail = int(Verdict::fail);
        QTest::newRow("ratio under the limit") << 120.0 << 100.0 << ratio << 1.3 << pass;
        QTest::newRow("ratio at the limit") << 130.0 << 100.0 << ratio << 1.3 << pass;
        QTest::newRow("ratio over the limit") << 131.0 << 100.0 << ratio << 1.3 << fail;
        QTest::newRow("floor of zero cannot show it") << 1.0 << 0.0 << ratio << 4.0 << fail;
        QTest::newRow("value below") << 0.05 << 0.0 << below << 0.1 << pass;
        QTest::newRow("value at the limit is not below") << 0.1 << 0.0 << below << 0.1 << fail;
    }
    void budgets()
    {
        QFETCH(double, program);
        QFETCH(double, floor);
        QFETCH(int, kind);
        QFETCH(double, limit);
        QFETCH(int, expected);
        Row row {
            "m", 1, summarise({ program }), summarise({ floor }), "", { Budget::Kind(kind), limit }
        };
        QCOMPARE(int(verdict(row, true)), expected);
        QCOMPARE(verdict(row, false), Verdict::notChecked);
    }

    void missingMeasureFailsItsBudget()
    {
        Row noProgram { "m",          1,
                        std::nullopt, summarise({ 10 }),
                        "",           { Budget::Kind::ratioAtMost, 2 } };
        QCOMPARE(verdict(noProgram, true), Verdict::fail);
        Row noFloor {
            "m", 1, summarise({ 10 }), std::nullopt, "", { Budget::Kind::ratioAtMost, 2 }
        };
        QCOMPARE(verdict(noFloor, true), Verdict::fail);
        Row noBudget { "m", 1, std::nullopt, std::nullopt, "", {} };
        QCOMPARE(verdict(noBudget, true), Verdict::noBudget);
    }

    void tableShowsMediansRatiosAndVerdicts()
    {
        const std::vector<Row> rows {
            { "Start (ms)",
              1,
              summarise({ 210, 200, 250 }),
              summarise({ 100, 90, 110 }),
              "",
              { Budget::Kind::ratioAtMost, 1.3 } },
            { "Login (ms)",
              1,
              summarise({ 30 }),
              summarise({ 10 }),
              "two fresh HTTPS GETs",
              { Budget::Kind::ratioAtMost, 4 } },
            { "Idle (%)",
              3,
              summarise({ 0.0123 }),
              std::nullopt,
              "",
              { Budget::Kind::valueBelow, 0.1 } },
        };
        const QString table = QString::fromStdString(renderTable(rows, true));
        const QStringList lines = table.split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 5);
        QVERIFY2(lines[2].contains("| Start (ms) | 210.0 [200.0–250.0] | 100.0 [90.0–110.0] | "
                                   "2.10 | ≤ 1.3× floor | **FAIL** |"),
                 qPrintable(lines[2]));
        QVERIFY2(lines[3].contains("| two fresh HTTPS GETs: 10.0 | 3.00 | ≤ 4.0× floor | pass |"),
                 qPrintable(lines[3]));
        QVERIFY2(lines[4].contains("| Idle (%) | 0.012 | – | – | < 0.10 | pass |"),
                 qPrintable(lines[4]));
        QVERIFY(QString::fromStdString(renderTable(rows, false)).contains("not checked"));
    }

    void fullRunHasAtLeastFiveRunsOfEveryMeasure()
    {
        const Options options = parse({});
        QVERIFY(options.runs >= 5 && options.startRuns >= 5);
        QCOMPARE(options.idleSeconds, 60);
        QVERIFY(!options.quick);
        for (const char* measure : { "start", "login", "busy-login", "discovery", "idle" })
            QVERIFY(options.wants(measure));
    }

    void quickModeTakesOneOfEachUnlessTold()
    {
        const Options quick = parse({ "--quick" });
        QVERIFY(quick.quick);
        QCOMPARE(quick.runs, 1);
        QCOMPARE(quick.startRuns, 1);
        QCOMPARE(quick.idleSeconds, 5);
        // Given counts win, in either order.
        const Options told = parse({ "--runs", "3", "--quick", "--idle-seconds", "8" });
        QCOMPARE(told.runs, 3);
        QCOMPARE(told.startRuns, 1);
        QCOMPARE(told.idleSeconds, 8);
    }

    void onlyPicksMeasures()
    {
        const Options options = parse({ "--only", "login,idle" });
        QVERIFY(options.wants("login") && options.wants("idle"));
        QVERIFY(!options.wants("start") && !options.wants("discovery"));
    }

    void wrongCommandLinesAreRefused_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::newRow("unknown measure") << QStringList { "--only", "start,speed" };
        QTest::newRow("empty measure") << QStringList { "--only", "start," };
        QTest::newRow("no runs") << QStringList { "--runs", "0" };
        QTest::newRow("runs not a number") << QStringList { "--runs", "5x" };
        QTest::newRow("idle window shorter than a tick") << QStringList { "--idle-seconds", "3" };
        QTest::newRow("value missing") << QStringList { "--runs" };
        QTest::newRow("unknown option") << QStringList { "--fast" };
    }
    void wrongCommandLinesAreRefused()
    {
        QFETCH(QStringList, options);
        std::vector<std::string> words;
        for (const QString& option : options)
            words.push_back(option.toStdString());
        QVERIFY_EXCEPTION_THROWN(parse(words), std::invalid_argument);
    }

    void programsAreNeeded()
    {
        std::vector<std::string> words { "velmora-bench", "--program", "p", "--quick" };
        std::vector<char*> argv;
        for (std::string& word : words)
            argv.push_back(word.data());
        QVERIFY_EXCEPTION_THROWN(parseOptions(int(argv.size()), argv.data()),
                                 std::invalid_argument);
    }

    void variableIsSetOnce()
    {
        std::vector<std::string> environment { "PATH=/bin", "QT_QPA_PLATFORM=offscreen",
                                               "QT_QPA_PLATFORMTHEME=gtk3",
                                               "QT_QPA_PLATFORM=minimal" };
        setVariable(environment, "QT_QPA_PLATFORM", "xcb");
        const std::vector<std::string> expected { "PATH=/bin", "QT_QPA_PLATFORMTHEME=gtk3",
                                                  "QT_QPA_PLATFORM=xcb" };
        QCOMPARE(environment, expected);
    }

    void childIsTimedFromItsExec()
    {
        const auto before = Clock::now();
        Child child({ "/bin/true", {}, { "PATH=/usr/bin:/bin" }, "", "" });
        const auto after = Clock::now();
        QVERIFY(child.execTime() >= before && child.execTime() <= after);
        const auto status = child.wait(5000ms);
        QVERIFY(status);
        QCOMPARE(describeStatus(*status), std::string("exited with 0"));
    }

    void programThatCannotStartThrows()
    {
        QVERIFY_EXCEPTION_THROWN(Child({ "/nonexistent/velmora-auth", {}, {}, "", "" }),
                                 std::runtime_error);
    }

    void childGetsItsHomeFolderAndOutputFile()
    {
        const std::string parent = QDir::tempPath().toStdString();
        QTemporaryDir runtimeParent;
        QVERIFY(runtimeParent.isValid());
        std::string output, homePath, runtimePath;
        {
            IsolatedHome home(parent, runtimeParent.path().toStdString());
            homePath = home.path();
            runtimePath = home.runtimeFolder();
            QVERIFY(runtimePath.starts_with(runtimeParent.path().toStdString() + "/"));
            for (const std::string& folder :
                 { homePath + "/config", homePath + "/state", runtimePath })
                QVERIFY2(std::filesystem::is_directory(folder), folder.c_str());
            // Qt refuses a runtime folder that others may enter.
            QCOMPARE(std::filesystem::status(runtimePath).permissions(),
                     std::filesystem::perms::owner_all);
            const std::string outputFile = home.path() + "/out";
            Child child({ "/bin/sh",
                          { "-c", "echo \"$HOME|$XDG_CONFIG_HOME|$XDG_RUNTIME_DIR\"; pwd" },
                          home.environment(),
                          home.path() + "/state",
                          outputFile });
            QVERIFY(child.wait(5000ms));
            output = readWholeFile(outputFile).value_or("");
        }
        QCOMPARE(output,
                 homePath + "|" + homePath + "/config|" + runtimePath + "\n" + homePath
                     + "/state\n");
        QVERIFY(!std::filesystem::exists(homePath));
        QVERIFY(!std::filesystem::exists(runtimePath));
    }

    void homeWithoutRuntimeParentKeepsEverythingInside()
    {
        std::string homePath;
        {
            IsolatedHome home(QDir::tempPath().toStdString());
            homePath = home.path();
            QVERIFY(home.runtimeFolder().starts_with(homePath + "/"));
            QVERIFY(std::filesystem::is_directory(home.runtimeFolder()));
        }
        QVERIFY(!std::filesystem::exists(homePath));
    }

    void stopEndsAProgramAndCpuTimeGrows()
    {
        Child busy({ "/bin/sh", { "-c", "while :; do :; done" }, {}, "", "" });
        const auto first = busy.cpuTime();
        QVERIFY(first);
        std::this_thread::sleep_for(300ms);
        const auto second = busy.cpuTime();
        QVERIFY(second);
        QVERIFY(*second - *first > 50ms);
        const int status = busy.stop(2000ms);
        QCOMPARE(describeStatus(status), std::string("killed by signal 15"));
        QVERIFY(!busy.cpuTime());
    }

    void busyDiskSyncsInItsBoundsAndLeavesNothing()
    {
        const QTemporaryDir folder;
        std::string file;
        {
            BusyDisk writer(folder.path().toStdString(), 30s, 2 * BusyDisk::blockBytes);
            file = writer.file();
            QTRY_VERIFY_WITH_TIMEOUT(writer.syncedBlocks() >= 4, 20000);
            QVERIFY(writer.running());
            // Round within its size: four blocks written, two kept.
            QCOMPARE(std::filesystem::file_size(file), 2 * BusyDisk::blockBytes);
        }
        QVERIFY(!std::filesystem::exists(file));
    }

    void busyDiskEndsAtItsTimeLimit()
    {
        const QTemporaryDir folder;
        BusyDisk writer(folder.path().toStdString(), 1s);
        QTRY_VERIFY_WITH_TIMEOUT(!writer.running(), 10000);
        const long synced = writer.syncedBlocks();
        QVERIFY(synced > 0);
        std::this_thread::sleep_for(100ms);
        QCOMPARE(writer.syncedBlocks(), synced);
    }

    void stopKillsAProgramThatIgnoresTheRequest()
    {
        Child stubborn(
            { "/bin/sh", { "-c", "trap '' TERM; while :; do sleep 1; done" }, {}, "", "" });
        // Let the shell install its trap before it is asked to end.
        std::this_thread::sleep_for(200ms);
        const auto started = Clock::now();
        const int status = stubborn.stop(300ms);
        QCOMPARE(describeStatus(status), std::string("killed by signal 9"));
        QVERIFY(Clock::now() - started < 3s);
    }
};

QTEST_GUILESS_MAIN(TestBenchmarkMeasures)
#include "TestBenchmarkMeasures.moc"
