// The two logs: the debug line format, the byte-order mark on new files
// only, report blocks, secrets masked, and many loggers writing at once.
#include "Imap/engine/Logger.h"
#include "Imap/engine/SecretMask.h"

#include "EngineTestSupport.h"

#include <gtest/gtest.h>

#include <boost/regex.hpp>
#include <ctime>
#include <thread>

using namespace tavir::migration;
using tavir::test::linesOf;
using tavir::test::TempLogs;

namespace {

const std::string bom = "\xEF\xBB\xBF";
const std::string stamp = R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\]\[\d+\]\t)";

std::string localDate()
{
    std::time_t now = std::time(nullptr);
    char text[16];
    std::strftime(text, sizeof text, "%Y-%m-%d", std::localtime(&now));
    return text;
}

TEST(Logger, ServerLinesBecomeReportSentences)
{
    struct Case {
        std::wstring server;
        std::wstring line;
        std::wstring sentence;
    } cases[] = {
        {L"a1 NO [AUTHENTICATIONFAILED] Bad login\r\n", L"a1 NO [AUTHENTICATIONFAILED] Bad login",
            L"a1 NO [AUTHENTICATIONFAILED] Bad login."},
        {L"a2 NO Over quota.\n", L"a2 NO Over quota.", L"a2 NO Over quota."},
        {L"timed out \r\n", L"timed out ", L"timed out."},
        {L"", L"", L"no reason was given."},
        {L"\r\n", L"", L"no reason was given."},
        {L"a3 NO line\rinside\r\n", L"a3 NO line\rinside", L"a3 NO line\rinside."},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.line, withoutLineEnd(c.server));
        EXPECT_EQ(c.sentence, asSentence(c.server));
    }
}

TEST(Logger, SecretsAreMaskedInEveryFormAServerEchoes)
{
    SecretMask mask;
    EXPECT_EQ("nothing to hide", mask.apply("nothing to hide"));
    for (const char* secret :
        {"se\"cr\\et", "abc", "cde", "x'y", "", "Qx7\nZp9\r\nWv3", " Pad-ded\t"})
        mask.add(secret);
    // A secret known already, and one that two accounts share.
    mask = mask.with({"C\"r\\2\r", "abc", "Tw1ce", "Tw1ce"});
    const struct {
        const char* text;
        const char* shown;
    } cases[] = {
        {"K1 NO se\"cr\\et and se\"cr\\et", "K1 NO *** and ***"},
        {"K1 NO LOGIN \"anna\" \"se\\\"cr\\\\et\" refused", "K1 NO LOGIN \"anna\" \"***\" refused"},
        {"error near 'x\\'y'", "error near '***'"},
        {"overlapping abcde, adjoining abcabc.", "overlapping ***, adjoining ***."},
        {"ab cd", "ab cd"},
        {"", ""},
        // Line breaks: whole, and each line on its own as a reply read line
        // by line shows it; blanks and line ends trimmed as sentences do.
        {"K2 NO Qx7\nZp9\r\nWv3!", "K2 NO ***!"},
        {"K2 NO Qx7", "K2 NO ***"},
        {"then Zp9, then Wv3.", "then ***, then ***."},
        {"K3 NO Pad-ded.", "K3 NO ***."},
        {"K4 NO \"C\\\"r\\\\2\r\" and C\"r\\2", "K4 NO \"***\" and ***"},
        {"K5 NO Tw1ce, abc and cde", "K5 NO ***, *** and ***"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(c.shown, mask.apply(c.text));
    }
}

// The mask runs before line breaks become blanks: a password with a CR or
// an LF in it reaches neither log, in none of its forms.
TEST(Logger, APasswordWithALineBreakReachesNeitherLog)
{
    TempLogs logs;
    const std::wstring passwords[] = {L"Pw\r1-cr", L"Pw\n2-lf", L"Pw\r\n3-crlf", L"Pw\"4\\\r-q"};
    hideInLogs({std::begin(passwords), std::end(passwords)});
    {
        Logger log;
        for (const std::wstring& password : passwords) {
            log.report(TAVIR_HERE, L"K0 NO You sent: K0 LOGIN \"anna\" " + password + L" end");
            EXPECT_EQ(L"K0 NO You sent: K0 LOGIN \"anna\" *** end", log.lastKept());
            log.debug(L"\"" + password + L"\"");
        }
    }
    // Each whole, as one "***": not cut in two by a blank where a line
    // break stood.
    for (const std::string& text : {logs.report(), logs.debug()}) {
        EXPECT_EQ(std::string::npos, text.find("Pw")) << text;
        std::size_t shown = 0;
        for (std::size_t at = 0;
             (at = text.find("LOGIN \"anna\" *** end\n", at)) != std::string::npos; ++at)
            ++shown;
        EXPECT_EQ(4u, shown) << text;
    }
    EXPECT_EQ(4u, linesOf(logs.report()).size());
    EXPECT_NE(std::string::npos, logs.debug().find("\t\"***\"\n")) << logs.debug();
}

TEST(Logger, DebugLineFormat)
{
    const std::string before = localDate();
    SourceLocation where = TAVIR_HERE;
    std::string located = Logger::debugLine(&where, "Login refused.");
    std::string bare = Logger::debugLine(nullptr, "Report line.");
    const std::string after = localDate();

    EXPECT_TRUE(boost::regex_match(
        located, boost::regex(stamp + R"(In Logger_test\.cpp:\d+ \(TestBody\): Login refused\.)")))
        << located;
    EXPECT_TRUE(boost::regex_match(bare, boost::regex(stamp + "Report line\\."))) << bare;
    // The stamp is the local date, as glibc's strftime gives it.
    EXPECT_TRUE(located.compare(1, 10, before) == 0 || located.compare(1, 10, after) == 0);
}

TEST(Logger, ReportLinesReachTheReportOnFlushAndTheDebugLogAtOnce)
{
    TempLogs logs;
    {
        Logger log;
        log.debug(TAVIR_HERE, L"only for the debug log");
        log.report(TAVIR_HERE, L"Account anna@example.com: 3 folders.");
        log.fatal(
            TAVIR_HERE, tavir::mail::ImapLoginFailed, L"The source server refused\r\nthe login.");
        EXPECT_EQ(bom, logs.report());
        EXPECT_EQ(3u, linesOf(logs.debug()).size());
        // What is kept, as the report will show it, for the engine to hand on.
        EXPECT_EQ(L"Account anna@example.com: 3 folders.\n"
                  L"Fatal Error (error code = 4) - The source server refused  the login.\n",
            log.kept());
        EXPECT_EQ(L"Fatal Error (error code = 4) - The source server refused  the login.",
            log.lastKept());
        log.flush();
        EXPECT_EQ(L"", log.kept());
        EXPECT_EQ(L"", log.lastKept());
        log.report(L"Kept until the logger ends.");
        EXPECT_EQ(L"Kept until the logger ends.", log.lastKept());
    }
    EXPECT_EQ(bom
            + "Account anna@example.com: 3 folders.\n"
              "Fatal Error (error code = 4) - The source server refused  the login.\n"
              "Kept until the logger ends.\n",
        logs.report());
    std::vector<std::string> debug = linesOf(logs.debug().substr(bom.size()));
    ASSERT_EQ(4u, debug.size());
    EXPECT_TRUE(
        boost::regex_match(debug[0], boost::regex(stamp + "In .*: only for the debug log")));
    EXPECT_TRUE(boost::regex_match(debug[2],
        boost::regex(stamp + R"(In .*: Fatal Error \(error code = 4\) - The source .*)")));
    EXPECT_TRUE(
        boost::regex_match(debug[3], boost::regex(stamp + "Kept until the logger ends\\.")));
}

TEST(Logger, ExistingFilesAreAppendedToWithoutASecondMarkEachRunSetOffByABlankLine)
{
    tavir::test::TempDir dir;
    const std::string report = dir.file("report.txt");
    const std::string debug = dir.file("debug.log");
    tavir::test::writeFile(debug, ""); // exists, empty: still new
    for (const wchar_t* run : {L"first run", L"second run", L"third run"}) {
        // The third run's lines follow a blank line already there.
        if (std::wstring(run) == L"third run")
            tavir::test::writeFile(report, tavir::test::readFile(report) + "\n");
        ASSERT_TRUE(LogManager::instance().open(report, debug));
        Logger log;
        log.report(run);
        log.flush();
    }
    LogManager::instance().close();
    EXPECT_EQ(bom + "first run\n\nsecond run\n\nthird run\n", tavir::test::readFile(report));
    std::string text = tavir::test::readFile(debug);
    EXPECT_EQ(0u, text.find(bom));
    EXPECT_EQ(std::string::npos, text.find(bom, 1));
    EXPECT_EQ(3u, linesOf(text).size());
}

TEST(Logger, OpeningFailsForAFileThatCannotBeMade)
{
    tavir::test::TempDir dir;
    std::string why;
    EXPECT_FALSE(
        LogManager::instance().open(dir.file("missing/report.txt"), dir.file("d.log"), why));
    // Named with the reason, for whoever tells the user.
    EXPECT_EQ("the report " + dir.file("missing/report.txt")
            + " can't be opened: No such file or directory",
        why);
    EXPECT_FALSE(LogManager::instance().open(dir.file("r.txt"), "", why));
    EXPECT_EQ("the debug log  can't be opened: no file was named", why);
    LogManager::instance().close();
}

TEST(Logger, ManyLoggersOnManyThreadsLoseAndMixNothing)
{
    TempLogs logs;
    const int threads = 8, blocks = 40, blockLines = 5;
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t)
        writers.emplace_back([t] {
            Logger log;
            for (int b = 0; b < blocks; ++b) {
                for (int l = 0; l < blockLines; ++l) {
                    log.debug(TAVIR_HERE, sentence(L"debug t%1% b%2% l%3%", t, b, l));
                    log.report(sentence(L"report t%1% b%2% l%3%", t, b, l));
                }
                log.flush();
            }
        });
    for (auto& writer : writers)
        writer.join();

    // The report: every block whole, each thread's blocks in order.
    std::vector<std::string> report = linesOf(logs.report().substr(bom.size()));
    ASSERT_EQ(std::size_t(threads * blocks * blockLines), report.size());
    std::vector<int> nextBlock(threads, 0);
    for (std::size_t i = 0; i < report.size(); i += blockLines) {
        int t = -1, b = -1;
        ASSERT_EQ(2, std::sscanf(report[i].c_str(), "report t%d b%d", &t, &b)) << report[i];
        ASSERT_TRUE(t >= 0 && t < threads);
        EXPECT_EQ(nextBlock[t]++, b);
        for (int l = 0; l < blockLines; ++l)
            EXPECT_EQ(sentence(L"report t%1% b%2% l%3%", t, b, l),
                std::wstring(report[i + l].begin(), report[i + l].end()));
    }
    // The debug log: every line whole and in its thread's order.
    std::vector<std::string> debug = linesOf(logs.debug().substr(bom.size()));
    ASSERT_EQ(std::size_t(2 * threads * blocks * blockLines), debug.size());
    boost::regex shape(stamp
        + R"((In Logger_test\.cpp:\d+ \(operator\(\)\): )?(debug|report) t(\d) b(\d+) l(\d))");
    std::vector<int> last(threads * 2, -1);
    for (const std::string& line : debug) {
        boost::smatch m;
        ASSERT_TRUE(boost::regex_match(line, m, shape)) << line;
        int t = std::stoi(m[3]);
        int order = std::stoi(m[4]) * blockLines + std::stoi(m[5]);
        int& previous = last[t * 2 + (m[2] == "report")];
        EXPECT_EQ(previous + 1, order) << line;
        previous = order;
    }
}

} // namespace
