#include "Metrics.h"
#include "Files.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

std::string kindOf(const AdjustTimeInfo& info)
{
    std::string_view pid = info.pid.view();
    std::string_view kind = pid.substr(0, pid.find(':'));
    while (!kind.empty() && kind.front() == ' ')
        kind.remove_prefix(1);
    return kind.empty() ? "failure" : std::string(kind);
}

namespace {

std::map<std::string, std::string> readKept(const std::string& path)
{
    std::map<std::string, std::string> kept;
    std::string text;
    if (!readSmallFile(path, text))
        return kept;
    std::string_view v = text;
    while (!v.empty()) {
        size_t nl = v.find('\n');
        std::string_view line = v.substr(0, nl);
        v = nl == std::string_view::npos ? std::string_view() : v.substr(nl + 1);
        size_t blank = line.find(' ');
        if (blank != std::string_view::npos)
            kept[std::string(line.substr(0, blank))] = std::string(line.substr(blank + 1));
    }
    return kept;
}

long long number(const std::map<std::string, std::string>& kept, const std::string& key)
{
    auto it = kept.find(key);
    return it == kept.end() ? 0 : strtoll(it->second.c_str(), nullptr, 10);
}

// A label value as the text format wants it: backslash, quote and line end
// escaped.
std::string labelValue(const std::string& v)
{
    std::string out;
    for (char c : v) {
        if (c == '\\' || c == '"')
            out += '\\', out += c;
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

void family(std::string& out, const char* name, const char* type, const char* help)
{
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

}  // namespace

std::string exposition(const std::map<std::string, std::string>& kept)
{
    std::string out;
    // One sample per action that has run: the kept value under key_<action>.
    auto perAction = [&](const char* name, const char* help, const std::string& key) {
        family(out, name, "gauge", help);
        for (const char* a : {"database", "log"}) {
            if (kept.count(key + a))
                out += std::string(name) + "{action=\"" + a + "\"} " + std::to_string(number(kept, key + a)) + "\n";
        }
    };
    perAction("adjtimelog_last_run_timestamp_seconds", "When adjtimelog last ran, by action.", "last_run_");
    perAction("adjtimelog_last_run_success", "Whether the last run of the action delivered every line (1) or failed (0).",
              "success_");
    perAction("adjtimelog_last_delivery_timestamp_seconds", "When a run of the action last delivered every line it had.",
              "last_delivery_");
    family(out, "adjtimelog_records_total", "counter",
           "Records delivered since install, by kind (failure: the time tool set no clock).");
    for (const char* k : {"adjust", "failure", "step"})
        out += std::string("adjtimelog_records_total{kind=\"") + k + "\"} " +
               std::to_string(number(kept, std::string("records_") + k)) + "\n";
    auto offset = kept.find("last_offset");
    if (offset != kept.end()) {
        char* end = nullptr;
        double v = strtod(offset->second.c_str(), &end);
        if (end && *end == '\0' && end != offset->second.c_str()) {
            family(out, "adjtimelog_last_offset_seconds", "gauge",
                   "The last offset the time tool measured, with its server.");
            char text[64];
            snprintf(text, sizeof text, "%.9g", v);
            auto server = kept.find("last_server");
            out += "adjtimelog_last_offset_seconds{server=\"" +
                   labelValue(server == kept.end() ? "" : server->second) + "\"} " + text + "\n";
        }
    }
    family(out, "adjtimelog_backlog_bytes", "gauge", "Claimed lines waiting for delivery.");
    out += "adjtimelog_backlog_bytes " + std::to_string(number(kept, "backlog_bytes")) + "\n";
    family(out, "adjtimelog_dead_letters", "gauge", "Rows the database kept refusing, set aside.");
    out += "adjtimelog_dead_letters " + std::to_string(number(kept, "dead_letters")) + "\n";
    family(out, "adjtimelog_raw_log_modified_timestamp_seconds", "gauge",
           "When the time job last wrote a raw log that a run claimed.");
    out += "adjtimelog_raw_log_modified_timestamp_seconds " + std::to_string(number(kept, "raw_log_modified")) +
           "\n";
    return out;
}

int writeMetrics(const std::string& stateDir, const std::string& dir, const RunOutcome& facts, std::string& why)
{
    const std::string keptPath = stateDir + "/metrics";
    std::map<std::string, std::string> kept = readKept(keptPath);
    const std::string now = std::to_string(static_cast<long long>(facts.now));
    kept["last_run_" + facts.action] = now;
    kept["success_" + facts.action] = facts.success ? "1" : "0";
    if (facts.success)
        kept["last_delivery_" + facts.action] = now;
    for (const auto& [kind, n] : facts.delivered)
        kept["records_" + kind] = std::to_string(number(kept, "records_" + kind) + static_cast<long long>(n));
    if (!facts.lastOffset.empty()) {
        kept["last_offset"] = facts.lastOffset;
        kept["last_server"] = facts.lastServer;
    }
    kept["backlog_bytes"] = std::to_string(facts.backlogBytes);
    kept["dead_letters"] = std::to_string(facts.deadLetters);
    if (facts.rawLogModified)
        kept["raw_log_modified"] = std::to_string(static_cast<long long>(facts.rawLogModified));

    std::string text, failed;
    for (const auto& [key, value] : kept) {
        if (value.find('\n') == std::string::npos)
            text.append(key).append(" ").append(value).append("\n");
    }
    if (replaceFile(stateDir + "/metrics.new", keptPath, text, failed) != 0) {
        why = failed + ": " + strerror(errno);
        return -1;
    }
    // A name node_exporter skips (it reads *.prom only) until it is whole.
    const std::string target = dir + "/adjtimelog.prom";
    const std::string tmp = target + "." + std::to_string(getpid()) + ".tmp";
    if (replaceFile(tmp, target, exposition(kept), failed, 0644) != 0) {
        why = (failed.empty() ? target : failed) + ": " + strerror(errno);
        return -1;
    }
    return 0;
}
