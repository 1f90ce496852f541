#include "AnalyzeLogFile.h"
#include "CapturedOutput.h"

#include <gtest/gtest.h>

namespace {

struct Parsed {
    int rc;
    AdjustTimeInfo info;
    std::string out;
};

Parsed parse(std::string_view line, AdjustTimeInfo start = {})
{
    Parsed p{0, std::move(start), {}};
    captureOutput();
    p.rc = AnalyzeLogFile::separateLog(line, "node01", true, time(nullptr), p.info);
    p.out = capturedOutput();
    return p;
}

AdjustTimeInfo rec(const char* time, const char* server, const char* offset, const char* pid)
{
    return AdjustTimeInfo{"node01", time, server, offset, pid};
}

}  // namespace

TEST(SeparateLog, WorkedExamples)
{
    struct {
        const char* line;
        AdjustTimeInfo want;
    } cases[] = {
        {" 7 Dec 09:49:19 ntpdate[812]: adjust time server 192.0.2.10 offset -0.000123 sec",
         rec("7 Dec 09:49:19 ", "192.0.2.10", "-0.000123", " adjust:812")},
        {" 7 Dec 09:49:19 ntpdate[812]: step time server 192.0.2.10 offset 1.234567 sec",
         rec("7 Dec 09:49:19 ", "192.0.2.10", "1.234567", " step:812")},
        // A day of two digits is kept whole (the 10th, 27th); any other
        // first byte is skipped, a digit too when no blank follows.
        {"17 Dec 09:49:19 ntpdate[812]: step time server 192.0.2.10 offset -12.345678 sec",
         rec("17 Dec 09:49:19 ", "192.0.2.10", "-12.345678", " step:812")},
        {"10 Dec 09:49:19 ntpdate[812]: adjust time server 192.0.2.10 offset 0.1 sec",
         rec("10 Dec 09:49:19 ", "192.0.2.10", "0.1", " adjust:812")},
        {" 9 Dec 09:49:19 ntpdate[812]: adjust time server 192.0.2.10 offset 0.1 sec",
         rec("9 Dec 09:49:19 ", "192.0.2.10", "0.1", " adjust:812")},
        {"12Dec 09:49:19 ntpdate[812]: adjust time server 192.0.2.10 offset 0.1 sec",
         rec("2Dec 09:49:19 ", "192.0.2.10", "0.1", " adjust:812")},
        {" 7 Dec 09:49:19 ntpdate[812]: no server suitable for synchronization found",
         rec("7 Dec 09:49:19 ", "", "", ":812")},
        {" 7 Dec 09:49:19 ntpdate[812: adjust time server 192.0.2.10 offset 0.2 sec",
         rec("7 Dec 09:49:19 ", "192.0.2.10", "0.2", "812: adjust:")},
        // Optional parts missing: no "time", no "sec", no "offset".
        {" 7 Dec 09:49:19 ntpdate[9]: step server 192.0.2.1 offset 0.5",
         rec("7 Dec 09:49:19 ", "192.0.2.1", "0.5", ":9")},
        {" 7 Dec 09:49:19 ntpdate[9]: adjust time server 192.0.2.1 0.5 sec",
         rec("7 Dec 09:49:19 ", "", "", " adjust:9")},
        // A "+" before a positive offset stays; bytes are never interpreted.
        {" 7 Dec 09:49:19 ntpdate[9]: step time server 192.0.2.1 offset +77556618.173854 sec",
         rec("7 Dec 09:49:19 ", "192.0.2.1", "+77556618.173854", " step:9")},
        // A carriage return stays in the line; "sec" still trims four bytes.
        {" 7 Dec 09:49:19 ntpdate[9]: adjust time server h offset 1.5 sec\r",
         rec("7 Dec 09:49:19 ", "h", "1.5 ", " adjust:9")},
    };
    for (const auto& c : cases) {
        Parsed p = parse(c.line);
        EXPECT_EQ(p.rc, 0) << c.line;
        EXPECT_EQ(p.info, c.want) << c.line << "\n got pid=[" << p.info.pid << "] offset=[" << p.info.offset
                                  << "] time=[" << p.info.time << "]";
        EXPECT_EQ(p.out, "") << c.line;
    }
}

TEST(SeparateLog, MissingNtpdateTakesTheLocalTime)
{
    Parsed p = parse("[12] adjust time server 192.0.2.10 offset 0.1 sec");
    EXPECT_EQ(p.rc, 0);
    // "%Y-%m-%d %H:%M:%S"
    const std::string shape = "dddd-dd-dd dd:dd:dd";
    ASSERT_EQ(p.info.time.size(), shape.size()) << p.info.time;
    for (size_t i = 0; i < shape.size(); ++i)
        EXPECT_EQ(shape[i] == 'd' ? isdigit(static_cast<unsigned char>(p.info.time[i])) != 0
                                  : p.info.time[i] == shape[i],
                  true)
            << p.info.time;
    EXPECT_EQ(p.info.serverIp, "192.0.2.10");
    EXPECT_EQ(p.info.offset, "0.1");
    EXPECT_EQ(p.info.pid, "adjust:12");
    EXPECT_EQ(p.out, "AnalyzeLogFile::separateLog set time! \n");
}

TEST(SeparateLog, RejectedLinesLeaveTheRecordUntouched)
{
    const AdjustTimeInfo before{"a", "b", "c", "d", "e"};
    struct {
        const char* line;
        const char* message;
    } cases[] = {
        {" 7 Dec 09:49:19 ntpdate 812: adjust time server 192.0.2.10 offset 0.1 sec",
         "AnalyzeLogFile::separateLog pid false! \n"},
        // The only "[" stands before "ntpdate", which is cut away first.
        {"[1] 7 Dec ntpdate: adjust time server 192.0.2.10 offset 0.1 sec",
         "AnalyzeLogFile::separateLog pid false! \n"},
        {" 1 Mar 22:25:43 ntpdate[2182]: the NTP socket is in use, exiting",
         "AnalyzeLogFile::separateLog offset or serverIp false! \n"},
        {"", "AnalyzeLogFile::separateLog set time! \nAnalyzeLogFile::separateLog pid false! \n"},
    };
    for (const auto& c : cases) {
        Parsed p = parse(c.line, before);
        EXPECT_EQ(p.rc, -1) << c.line;
        EXPECT_EQ(p.info, before) << c.line;
        EXPECT_EQ(p.out, c.message) << c.line;
    }
}

TEST(SeparateLog, AcceptedLineReplacesEveryField)
{
    Parsed p = parse(" 7 Dec 09:49:19 ntpdate[812]: no server suitable for synchronization found",
                     AdjustTimeInfo{"old", "old", "old", "old", "old"});
    EXPECT_EQ(p.rc, 0);
    EXPECT_EQ(p.info, rec("7 Dec 09:49:19 ", "", "", ":812"));
}

TEST(SeparateLog, MarkersAtTheEdgesGiveEmptyFields)
{
    struct {
        const char* line;
        AdjustTimeInfo want;
    } cases[] = {
        {"ntpdate[5]: step time server s offset 2 sec", rec("", "s", "2", " step:5")},
        {" x ntpdate[5]:time server s offset 2 sec", rec("x ", "s", "2", ":5")},
        {" x ntpdate[5]: time server offset 2 sec", rec("x ", "", "2", ":5")},
    };
    for (const auto& c : cases) {
        Parsed p = parse(c.line);
        EXPECT_EQ(p.rc, 0) << c.line;
        EXPECT_EQ(p.info, c.want) << c.line;
    }
    // "]" ending the text leaves nothing to search for "server".
    Parsed b = parse(" x ntpdate[5]");
    EXPECT_EQ(b.rc, -1);
    // "server" or "offset" ending the text: parsing goes on with nothing.
    Parsed s = parse(" x ntpdate[5]: adjust time server");
    EXPECT_EQ(s.rc, 0);
    EXPECT_EQ(s.info, rec("x ", "", "", " adjust:5"));
    Parsed o = parse(" x ntpdate[5]: adjust time server 1.2.3.4 offset");
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(o.info, rec("x ", "1.2.3.4", "", " adjust:5"));
}

TEST(SeparateLog, HostName)
{
    // A failed query rejects the line instead of storing an empty record.
    AdjustTimeInfo info;
    captureOutput();
    int rc = AnalyzeLogFile::separateLog(" 7 Dec ntpdate[1]: step time server s offset 1 sec", "", false, time(nullptr),
                                         info);
    EXPECT_EQ(capturedOutput(), "gethostname calling error! \n");
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(info, AdjustTimeInfo{});

    // A long name is kept whole.
    std::string longName(64, 'n');
    rc = AnalyzeLogFile::separateLog(" 7 Dec ntpdate[1]: step time server s offset 1 sec", longName, true,
                                     time(nullptr), info);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(info.node, longName);

    // Asking once per run gives what asking for every line gives.
    std::string host;
    ASSERT_TRUE(queryHostName(host));
    AdjustTimeInfo perLine, perRun;
    const std::string line = " 7 Dec 09:49:19 ntpdate[812]: adjust time server 192.0.2.10 offset 1 sec";
    ASSERT_EQ(AnalyzeLogFile::separateLog(line, perLine), 0);
    ASSERT_EQ(AnalyzeLogFile::separateLog(line, host, true, time(nullptr), perRun), 0);
    EXPECT_EQ(perLine, perRun);
}
