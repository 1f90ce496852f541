// The analyzer on a whole raw log of any bytes: NUL, CR, no line ends, very
// long lines. Beyond not crashing: every record comes from the log, no more
// records than lines, and lines not delivered wait in the backlog byte for
// byte (but for lines over the bound, which are dropped).
#include "AnalyzeLogFile.h"
#include "TestRun.h"

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>

static std::string dir;

static std::string readAll(const std::string& path)
{
    std::string out;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f)
        return "<missing>";
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    fclose(f);
    return out;
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    if (!freopen("/dev/null", "w", stdout))
        abort();
    char tmpl[] = "/var/tmp/analyze-fuzz.XXXXXX";
    if (!mkdtemp(tmpl))
        abort();
    dir = tmpl;
    atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string raw = dir + "/raw";
    const std::string text(reinterpret_cast<const char*>(data), size);
    FILE* f = fopen(raw.c_str(), "wb");
    if (!f || fwrite(text.data(), 1, text.size(), f) != text.size() || fclose(f) != 0)
        abort();

    size_t lines = 0;
    for (char c : text)
        lines += c == '\n';
    if (!text.empty() && text.back() != '\n')
        ++lines;

    const std::string state = dir + "/state";
    std::vector<AdjustTimeInfo> records;
    {
        AnalyzeLogFile analyzer(testRun(raw, state));
        int rc = analyzer.analyze(records);
        if (rc != 0 && rc != -1)
            abort();
        if (records.size() > lines)
            abort();
        for (const AdjustTimeInfo& r : records) {
            if (text.find(r.serverIp) == std::string::npos || text.find(r.offset) == std::string::npos)
                abort();
        }
        if (analyzer.restoreLog() != 0)
            abort();
    }
    // Nothing claimed is lost: the lines wait in the backlog as they were,
    // each with its line end; an empty raw log was never taken.
    std::string waiting, kept;
    for (size_t at = 0; at < text.size();) {
        size_t nl = text.find('\n', at);
        size_t end = nl == std::string::npos ? text.size() : nl;
        if (end - at <= RawLogClaim::Limits{}.lineBytes)
            kept += text.substr(at, end - at) + "\n";
        at = end + 1;
    }
    if (DIR* d = opendir(state.c_str())) {
        while (struct dirent* e = readdir(d)) {
            if (std::string(e->d_name).rfind("backlog.", 0) == 0)
                waiting = readAll(state + "/" + e->d_name);
        }
        closedir(d);
    }
    if (waiting != kept || (text.empty() && readAll(raw) != ""))
        abort();
    unlink(raw.c_str());
    std::error_code ignored;
    std::filesystem::remove_all(state, ignored);
    return 0;
}
