#include "LineParser.h"
#include "LineShape.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

AdjustTimeInfo rec(const char* time, const char* server, const char* offset, const char* pid)
{
    return AdjustTimeInfo{"node01", time, server, offset, pid};
}

struct Parsed {
    std::vector<AdjustTimeInfo> records;
    int rejected = 0;
    std::string out;  // the notes, a line each
};

// The lines through one parser, as the analyzer passes them.
Parsed parseAll(std::vector<std::string_view> lines, bool hostOk = true)
{
    Parsed run;
    LineParser parser(RunFacts{"node01", hostOk, "2026-12-09 10:00:00"});
    auto noted = [&]() {
        for (Note note : parser.notes())
            run.out.append(noteText(note)).append("\n");
    };
    for (std::string_view line : lines) {
        AdjustTimeInfo info;
        LineResult result = parser.parse(line, info);
        noted();
        switch (result) {
        case LineResult::Record:
            run.records.push_back(info);
            break;
        case LineResult::NoRecord:
            EXPECT_EQ(info, AdjustTimeInfo{}) << line;
            break;
        case LineResult::Rejected:
            ++run.rejected;
            break;
        }
        while (parser.next(info))
            run.records.push_back(info);
        noted();
    }
    AdjustTimeInfo last;
    if (parser.finish(last))
        run.records.push_back(last);
    noted();
    return run;
}

}  // namespace

TEST(LineParser, OneLineEventsOfEachTool)
{
    struct {
        const char* line;
        AdjustTimeInfo want;
    } cases[] = {
        {"2026-12-08 23:33:40.138702 (+0000) -0.000049 +/- 0.000188 127.0.0.1 s8 no-leap",
         rec("2026-12-08 23:33:40.138702 (+0000)", "127.0.0.1", "-0.000049", " adjust:")},
        // A name and its address: the address. A name holding "server".
        {"2026-12-08 23:40:55.277098 (+0000) +0.000013 +/- 0.000171 ntpserver1.site 192.0.2.10 s8 no-leap",
         rec("2026-12-08 23:40:55.277098 (+0000)", "192.0.2.10", "+0.000013", " adjust:")},
        {"2026-12-08 23:33:49.991209 (+0000) -0.000051 +/- 0.000177 localhost ::1 s8 no-leap",
         rec("2026-12-08 23:33:49.991209 (+0000)", "::1", "-0.000051", " adjust:")},
        // Local time with its zone; a fraction printed without leading zeros.
        {"2026-12-09 07:33:43.73287 (+0800) -12.299995 +/- 0.000153 fe80::1%eth0 s2 add-leap",
         rec("2026-12-09 07:33:43.73287 (+0800)", "fe80::1%eth0", "-12.299995", " adjust:")},
        {R"({"time":"2026-12-08T23:34:01.509113+0000","offset":-0.000103,"precision":0.000260,)"
         R"("host":"localhost","ip":"::1","stratum":8,"leap":"no-leap","adjusted":false})",
         rec("2026-12-08T23:34:01.509113+0000", "::1", "-0.000103", " adjust:")},
        {R"({"time":"2026-12-08T23:34:01.5+0100","offset":2.000103,"precision":0.000260,)"
         R"("host":"h","ip":"192.0.2.1","stratum":8,"leap":"no-leap","adjusted":true})",
         rec("2026-12-08T23:34:01.5+0100", "192.0.2.1", "2.000103", " step:")},
        {"ntpdig: no eligible servers", rec("", "", "", ":")},
        {"2026-12-08T23:34:17Z System clock wrong by -0.000002 seconds (step)",
         rec("2026-12-08T23:34:17Z", "", "-0.000002", " step:")},
        {"2026-12-08T23:34:17Z System clock wrong by 1.500000 seconds (slew)",
         rec("2026-12-08T23:34:17Z", "", "1.500000", " adjust:")},
        {"2026-12-08T23:34:08Z System clock wrong by -0.000004 seconds (ignored)",
         rec("2026-12-08T23:34:08Z", "", "-0.000004", " adjust:")},
        {"2026-12-08T23:34:40Z Timeout reached", rec("2026-12-08T23:34:40Z", "", "", ":")},
        {"2026-12-08T23:35:04Z Fatal error : adjtimex(0x8001) failed : Operation not permitted",
         rec("2026-12-08T23:35:04Z", "", "", ":")},
        {"2026-12-08T23:36:29 ntpd[8541]: CLOCK: time set +3.000080 s",
         rec("2026-12-08T23:36:29", "", "+3.000080", " step:8541")},
        {"2026-12-08T23:35:21 ntpd[5693]: CLOCK: time slew -0.000006 s",
         rec("2026-12-08T23:35:21", "", "-0.000006", " adjust:5693")},
        {"2026-12-08T23:33:57 ntpd[2020]: IO: unable to bind to wildcard address :: - another process "
         "may be running: Address already in use; EXITING",
         rec("2026-12-08T23:33:57", "", "", ":2020")},
        {"2026-12-08T23:36:02 ntpd[6983]: ERR: ntpd exiting on signal 15 (Terminated)",
         rec("2026-12-08T23:36:02", "", "", ":6983")},
        // ntpd logging to syslog: its summary alone tells the event.
        {"ntpd: time set -3.000080s", rec("", "", "-3.000080", " step:")},
    };
    for (const auto& c : cases) {
        Parsed run = parseAll({c.line});
        ASSERT_EQ(run.records.size(), 1u) << c.line;
        EXPECT_EQ(run.records[0], c.want) << c.line;
        EXPECT_EQ(run.out, "") << c.line;
    }
}

TEST(LineParser, StepAnnouncedBeforeItsResultEvenWithTwoRunsInterleaved)
{
    Parsed run = parseAll({
        "CLOCK: time stepped by 1.500049",
        // Another job's result, written between the announcement and its result.
        "2026-12-08 23:33:43.10 (+0000) +0.000002 +/- 0.000207 192.0.2.7 s8 no-leap",
        "2026-12-08 23:33:43.444176 (+0000) +1.500049 +/- 0.000207 127.0.0.1 s8 no-leap",
        // The announcement was used up: the same offset again is a slew.
        "2026-12-08 23:38:43.444176 (+0000) +1.500049 +/- 0.000207 127.0.0.1 s8 no-leap",
    });
    ASSERT_EQ(run.records.size(), 3u);
    EXPECT_EQ(run.records[0].pid, " adjust:");
    EXPECT_EQ(run.records[1].pid, " step:");
    EXPECT_EQ(run.records[1].offset, "+1.500049");
    EXPECT_EQ(run.records[2].pid, " adjust:");
}

TEST(LineParser, NtpdLogLineAndSummaryAreOneEvent)
{
    Parsed run = parseAll({
        "2026-12-08T23:36:29 ntpd[8541]: CLOCK: time set +3.000080 s",
        "ntpd: time set +3.000080s",
        // A summary that repeats nothing logged is an event of its own.
        "ntpd: time slew +0.000018s",
    });
    ASSERT_EQ(run.records.size(), 2u);
    EXPECT_EQ(run.records[0], rec("2026-12-08T23:36:29", "", "+3.000080", " step:8541"));
    EXPECT_EQ(run.records[1], rec("", "", "+0.000018", " adjust:"));
}

TEST(LineParser, CorrectionsAToolSaysItCouldNotMakeAreFailures)
{
    Parsed run = parseAll({
        // ntpd logs "time set" after failing to set the clock.
        "2026-12-08T23:36:29 ntpd[8541]: CLOCK: step_systime: Operation not permitted",
        "2026-12-08T23:36:29 ntpd[8541]: CLOCK: time set +3.000080 s",
        "ntpd: time set +3.000080s",
        // ntpdig says so before its result, and the server stays.
        "CLOCK: adj_systime: Operation not permitted",
        "2026-12-08 23:33:40.746531 (+0000) +0.000009 +/- 0.000144 127.0.0.1 s8 no-leap",
        // chronyd says so after announcing its step.
        "2026-12-08T23:35:09Z System clock wrong by 2.000001 seconds (step)",
        "2026-12-08T23:35:09Z Could not step system clock",
        "2026-12-08T23:35:09Z chronyd exiting",
        // A step chronyd made, then its failure of another run, told by one line.
        "2026-12-08T23:40:09Z System clock wrong by 1.000001 seconds (step)",
        "2026-12-08T23:40:19Z Timeout reached",
        // A step announced last, with nothing after it in the batch.
        "2026-12-08T23:45:09Z System clock wrong by -4.000001 seconds (step)",
    });
    ASSERT_EQ(run.records.size(), 6u);
    EXPECT_EQ(run.records[0], rec("2026-12-08T23:36:29", "", "", ":8541"));
    EXPECT_EQ(run.records[1], rec("2026-12-08 23:33:40.746531 (+0000)", "127.0.0.1", "", ":"));
    EXPECT_EQ(run.records[2], rec("2026-12-08T23:35:09Z", "", "", ":"));
    EXPECT_EQ(run.records[3], rec("2026-12-08T23:40:09Z", "", "1.000001", " step:"));
    EXPECT_EQ(run.records[4], rec("2026-12-08T23:40:19Z", "", "", ":"));
    EXPECT_EQ(run.records[5], rec("2026-12-08T23:45:09Z", "", "-4.000001", " step:"));
}

TEST(LineParser, ChatterOfKnownToolsMakesNothing)
{
    Parsed run = parseAll({
        "CLOCK: adj_systime: Operation not permitted",
        "ntpdig: querying 127.0.0.1 (127.0.0.1)",
        "ntpdig: lookup of nosuchhost.invalid failed, errno -3 = Temporary failure in name resolution",
        "org t1: eec31256.6ce55000 rec t2: eec31256.6cf53963",
        "rec-org t21: 0.000243  xmt-dst t34: -0.000248",
        "Illegal option -x",
        "option -z not recognized",
        "2026-12-08T23:34:04Z chronyd version 4.3 starting (+CMDMON +NTP -DEBUG)",
        "2026-12-08T23:34:12Z Initial frequency 1000000.000 ppm",
        "2026-12-08T23:34:08Z chronyd exiting",
        // ntpd's configuration and DNS lines, some holding "[" and "server".
        "2026-12-08T23:33:57 ntpd[2020]: INIT: setrlimit(RLIMIT_CORE, [18446744073709551615, 1]) failed",
        "2026-12-08T23:40:42 ntpd[28852]: DNS: dns_probe: ntpserver1.site, cast_flags:1, flags:20901",
        "2026-12-08T23:40:42 ntpd[28852]: DNS: Server taking: 192.0.2.10",
        "2026-12-08T23:35:14 ntpd[5693]: IO: Listen normally on 5 vcl [fe80::a0ef:66ff:fe4e:7cb3%3]:123",
    });
    EXPECT_TRUE(run.records.empty());
    EXPECT_EQ(run.rejected, 0);
    EXPECT_EQ(run.out, "");
}

TEST(LineParser, NearMissesAndClassicLinesGoToTheClassicParser)
{
    // Each is one byte away from a known shape; the classic parser finds no
    // "[" in them and rejects them with its own diagnostic.
    Parsed run = parseAll({
        "2026-12-08 23:33:40.138702 (+0000) -0.000049 +/- 0.000188 127.0.0.1 s8 no-leap x",
        "2026-12-08 23:33:40.138702 (+0000) -0.000049 +/- 0.000188 127.0.0.1  s8 no-leap",
        "2026-12-08 23:33:40.138702 (+0000) 0.000049 +/-0.000188 127.0.0.1 s8 no-leap",
        "2026-12-08 23:33:40 (+000) -0.000049 +/- 0.000188 127.0.0.1 s8 no-leap",
        R"({"time":"2026-12-08T23:34:01+0000","offset":-0.000103,"ip":"::1"})",
        R"({"time":"2026-12-08T23:34:01+0000","offset":"-1.0","ip":"::1","adjusted":false})",
        "2026-12-08T23:36:29 ntpd[x]: CLOCK: time set +3.000080 s",
        "2026-12-08T23:36:29 chronyd[1]: CLOCK: time set +3.000080 s",
    });
    EXPECT_TRUE(run.records.empty());
    EXPECT_EQ(run.rejected, 8);

    // A line holding "ntpdate[" is classic whatever else it looks like.
    run = parseAll({"2026-12-08T23:36:29 ntpd[1]: CLOCK: time set +3.000080 s ntpdate[7]: step time "
                    "server 192.0.2.1 offset 9.0 sec"});
    ASSERT_EQ(run.records.size(), 1u);
    EXPECT_EQ(run.records[0].pid, " step:7");
    EXPECT_EQ(run.records[0].offset, "9.0");
}

TEST(LineParser, FailedHostNameRejectsEventsButNotChatter)
{
    Parsed run = parseAll({"ntpdig: querying 127.0.0.1 (127.0.0.1)", "ntpdig: no eligible servers"}, false);
    EXPECT_TRUE(run.records.empty());
    EXPECT_EQ(run.rejected, 1);
    EXPECT_EQ(run.out, "gethostname calling error! \n");
}

TEST(LineShape, FindLiteralAgreesWithFindOnShortAndLongTexts)
{
    // Fillers of near misses: a first byte alone, a last byte alone, both.
    for (std::string_view fill : {"s", "p", "sxxpnxxxxxesxc"})
        for (size_t length : {0, 3, 4, 7, 15, 16, 17, 18, 19, 23, 24, 25, 31, 34, 40, 200}) {
            for (size_t at = 0; at <= length; ++at) {
                std::string text;
                while (text.size() < length)
                    text += fill;
                text.resize(length);
                text.replace(at, std::min<size_t>(4, length - at), std::string("step").substr(0, length - at));
                std::string_view v = text;
                EXPECT_EQ(findLiteral(v, "step"), v.find("step")) << text;
                EXPECT_EQ(findLiteral(v, "ntpdate"), v.find("ntpdate")) << text;
                EXPECT_EQ(findLiteral(v, "sec"), v.find("sec")) << text;
            }
        }
    EXPECT_EQ(findLiteral("xx ntpdate[ ntpdate[", "ntpdate["), 3u);
    EXPECT_EQ(findLiteral(" adjust:12345", "step"), std::string_view::npos);
    EXPECT_EQ(findByte("abc]", ']'), 3u);
    EXPECT_EQ(findByte("", ']'), std::string_view::npos);
}
