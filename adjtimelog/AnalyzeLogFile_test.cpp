#include "AnalyzeLogFile.h"
#include "CapturedOutput.h"
#include "ScratchDir.h"
#include "TestRun.h"

#include <gtest/gtest.h>

namespace {

const char kNoRawLog[] = "/tmp/update_time.log \xCE\xDE \xBB\xF2 \xBF\xD5\xA3\xA1\n";
const char kLine[] = " 7 Dec 09:49:19 ntpdate[812]: step time server 192.0.2.10 offset 1.234567 sec";

std::string host()
{
    std::string h;
    queryHostName(h);
    return h;
}

// An analyzer of dir's raw log, with its state in dir too.
AnalyzeLogFile analyzerOf(const ScratchDir& dir, const char* name = "raw")
{
    return AnalyzeLogFile(testRun(dir / name, dir / "state"));
}

}  // namespace

TEST(AnalyzeLogFile, SplitsLinesAtLineEnds)
{
    const std::string rejected = "AnalyzeLogFile::analyze separateLog false! \n";
    struct {
        std::string raw;
        int lines, records;
    } cases[] = {
        {std::string(kLine) + "\n" + kLine + "\n" + kLine + "\n", 3, 3},
        // A last line without a line end is parsed like the others.
        {std::string(kLine) + "\n" + kLine + "\n" + kLine, 3, 3},
        {kLine, 1, 1},
        {"\n", 1, 0},
        {std::string(kLine) + "\r\n\n", 2, 1},
    };
    for (const auto& c : cases) {
        ScratchDir dir;
        writeFile(dir / "raw", c.raw);
        captureOutput();
        AnalyzeLogFile a = analyzerOf(dir);
        std::vector<AdjustTimeInfo> out;
        a.analyze(out);
        std::string said = capturedOutput();
        int rejections = 0;
        for (size_t at = said.find(rejected); at != std::string::npos; at = said.find(rejected, at + 1))
            ++rejections;
        EXPECT_EQ(out.size(), static_cast<size_t>(c.records)) << c.raw;
        EXPECT_EQ(static_cast<int>(out.size()) + rejections, c.lines) << c.raw;
        EXPECT_FALSE(pathExists(dir / "raw")) << "claimed";
    }
}

TEST(AnalyzeLogFile, AbsentEmptyOrNotARegularFile)
{
    ScratchDir dir;
    writeFile(dir / "empty", "");
    mkdir((dir / "dir").c_str(), 0700);
    for (const char* name : {"missing", "empty", "dir"}) {
        captureOutput();
        AnalyzeLogFile a = analyzerOf(dir, name);
        std::vector<AdjustTimeInfo> out;
        EXPECT_EQ(a.analyze(out), 0);
        if (std::string(name) == "dir")  // not a raw log of the job's: refused, and said
            EXPECT_EQ(capturedOutput(), "AnalyzeLogFile::claim " + (dir / "dir") +
                                            " false! a directory (not the time job's raw log): remove it\n");
        else
            EXPECT_EQ(capturedOutput(), kNoRawLog) << name;
        EXPECT_TRUE(out.empty());
    }
    EXPECT_TRUE(pathExists(dir / "empty")) << "an empty raw log stays";
    EXPECT_TRUE(pathExists(dir / "dir"));

    ASSERT_EQ(symlink((dir / "empty").c_str(), (dir / "link").c_str()), 0);
    EXPECT_TRUE(isFile(dir / "link")) << "a link to a regular file counts";
    EXPECT_FALSE(isFile(dir / "dir"));
    EXPECT_FALSE(isFile(dir / "missing"));
}

TEST(AnalyzeLogFile, RejectedLineDoesNotEndTheAnalysis)
{
    ScratchDir dir;
    writeFile(dir / "raw", std::string(kLine) + "\n" +
                               " 1 Mar 22:25:43 ntpdate[2182]: the NTP socket is in use, exiting\n" + kLine + "\n");
    captureOutput();
    AnalyzeLogFile a = analyzerOf(dir);
    std::vector<AdjustTimeInfo> out(1);  // appended to, never cleared
    int rc = a.analyze(out);
    EXPECT_EQ(capturedOutput(), "AnalyzeLogFile::separateLog offset or serverIp false! \n"
                                "AnalyzeLogFile::analyze separateLog false! \n");
    EXPECT_EQ(rc, -1);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0], AdjustTimeInfo{});
    EXPECT_EQ(out[2].pid, " step:812");
}

TEST(AnalyzeLogFile, WritesReportLinesWholeAndAppends)
{
    ScratchDir dir;
    const std::string longServer(200, 's');
    writeFile(dir / "raw", std::string(kLine) + "\n" +
                               " 7 Dec 09:49:19 ntpdate[812]: adjust time server 192.0.2.10 offset -0.000123 sec\n" +
                               " 7 Dec 09:49:19 ntpdate[812]: adjust time server 192.0.2.10 offset -1.500000 sec\n" +
                               " 7 Dec 09:49:19 ntpdate[812]: step time server " + longServer + " offset 0.6 sec\n");
    writeFile(dir / "report", "kept\n");
    captureOutput();
    {
        AnalyzeLogFile a = analyzerOf(dir);
        EXPECT_EQ(a.write(dir / "report"), 0);
        EXPECT_EQ(capturedOutput(), "");
    }
    const std::string h = host();
    std::string want = "kept\n";
    want += "[" + h + ": step:812]<<7 Dec 09:49:19 >>192.0.2.10 : 1.234567\n";
    want += "[" + h + ": adjust:812]<<7 Dec 09:49:19 >>192.0.2.10 : -1.500000\n";
    want += "[" + h + ": step:812]<<7 Dec 09:49:19 >>" + longServer + " : 0.6\n";
    EXPECT_EQ(readFile(dir / "report"), want);
    EXPECT_FALSE(pathExists(dir / "raw"));
    captureOutput();
    analyzerOf(dir);
    EXPECT_EQ(capturedOutput(), kNoRawLog) << "delivered lines are dropped";
}

TEST(AnalyzeLogFile, ReportIsCreatedEvenWithNothingToReport)
{
    ScratchDir dir;
    captureOutput();
    AnalyzeLogFile a = analyzerOf(dir);
    EXPECT_EQ(a.write(dir / "report"), 0);
    EXPECT_EQ(capturedOutput(), kNoRawLog);
    EXPECT_TRUE(pathExists(dir / "report"));
    EXPECT_EQ(readFile(dir / "report"), "");
}

TEST(AnalyzeLogFile, UnwritableReportKeepsTheLinesForTheNextRun)
{
    ScratchDir dir;
    writeFile(dir / "raw", std::string(kLine) + "\n");
    writeFile(dir / "file", "");
    for (const std::string& bad : {dir / "file/report", std::string("/dev/full")}) {
        captureOutput();
        AnalyzeLogFile a = analyzerOf(dir);
        EXPECT_EQ(a.write(bad), -1);
        EXPECT_EQ(capturedOutput(), "AnalyzeLogFile::write " + bad + " false! " +
                                        (bad == "/dev/full" ? "No space left on device\n" : "Not a directory\n"));
    }
    // The job writes a new raw log meanwhile.
    writeFile(dir / "raw", " 7 Dec 09:49:19 ntpdate[813]: step time server 192.0.2.10 offset 2.5 sec\n");
    captureOutput();
    AnalyzeLogFile a = analyzerOf(dir);
    EXPECT_EQ(a.write(dir / "report"), 0);
    const std::string h = host();
    const std::string want = "[" + h + ": step:812]<<7 Dec 09:49:19 >>192.0.2.10 : 1.234567\n" + "[" + h +
                             ": step:813]<<7 Dec 09:49:19 >>192.0.2.10 : 2.5\n";
    EXPECT_EQ(readFile(dir / "report"), want) << "waiting lines first, once";
    EXPECT_EQ(capturedOutput(), "");
}
