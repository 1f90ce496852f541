#include "Metrics.h"
#include "Escape.h"
#include "Files.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The kind a record's pid names, without copying it.
std::string_view kindText(const AdjustTimeInfo& info)
{
    std::string_view pid = info.pid.view();
    std::string_view kind = pid.substr(0, pid.find(':'));
    while (!kind.empty() && kind.front() == ' ')
        kind.remove_prefix(1);
    return kind.empty() ? std::string_view("failure") : kind;
}

const char* const kKnownNames[] = {"adjust", "failure", "step", kLargeCorrection};

}  // namespace

std::string kindOf(const AdjustTimeInfo& info)
{
    return std::string(kindText(info));
}

bool isLargeCorrection(const AdjustTimeInfo& info)
{
    std::string_view s = info.offset.view();
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    // The usual shape, [+-]0.dddddd: no strtod (nor a copy) for each line.
    size_t i = !s.empty() && (s[0] == '+' || s[0] == '-') ? 1 : 0;
    if (s.size() >= i + 5 && s[i] == '0' && s[i + 1] == '.' && digit(s[i + 2]) && digit(s[i + 3]) && digit(s[i + 4])) {
        size_t end = i + 5;
        while (end < s.size() && digit(s[end]))
            ++end;
        if (end == s.size() || s[end] == ' ' || s[end] == '\r')
            return (s[i + 2] - '0') * 100 + (s[i + 3] - '0') * 10 + (s[i + 4] - '0') >= 128;
    }
    char text[64];
    if (s.empty() || s.size() >= sizeof text)
        return false;
    s.copy(text, s.size());
    text[s.size()] = '\0';
    char* end = nullptr;
    double v = strtod(text, &end);
    return end != text && (*end == '\0' || *end == ' ' || *end == '\r') && std::isfinite(v) && std::fabs(v) >= 0.128;
}

void RunTally::count(const AdjustTimeInfo& info, int by)
{
    auto add = [by](uint64_t& n) { n = by > 0 || n > 0 ? n + static_cast<uint64_t>(by) : n; };
    const std::string_view kind = kindText(info);
    int known = kKnown;
    for (int k = Adjust; k < Large; ++k) {
        if (kind == kKnownNames[k])
            known = k;
    }
    if (known < kKnown)
        add(batch_.known[known]);
    else if (by > 0 || batch_.other.count(std::string(kind)))
        add(batch_.other[std::string(kind)]);
    if (isLargeCorrection(info))
        add(batch_.known[Large]);
}

void RunTally::saw(const AdjustTimeInfo& info)
{
    count(info, 1);
    if (!info.offset.empty()) {
        lastOffset_.assign(info.offset.view());
        lastServer_.assign(info.serverIp.view());
    }
}

void RunTally::leftOut(const AdjustTimeInfo& info)
{
    count(info, -1);
}

void RunTally::settled(bool delivered)
{
    if (delivered) {
        for (int k = 0; k < kKnown; ++k)
            delivered_.known[k] += batch_.known[k];
        for (const auto& [kind, n] : batch_.other)
            delivered_.other[kind] += n;
    }
    batch_ = Counts{};
}

std::map<std::string, uint64_t> RunTally::delivered() const
{
    std::map<std::string, uint64_t> all = delivered_.other;
    for (int k = 0; k < kKnown; ++k) {
        if (delivered_.known[k] > 0)
            all[kKnownNames[k]] = delivered_.known[k];
    }
    return all;
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

// A label value as the text format wants it, whatever bytes a server name
// holds: valid UTF-8, with backslash, quote and line end escaped; control
// bytes and bytes that are not UTF-8 written as the text \xNN.
std::string labelValue(const std::string& v)
{
    std::string out;
    auto hex = [&](unsigned char c) {
        static const char kHex[] = "0123456789abcdef";
        out += "\\\\x";  // the text \xNN: a backslash escaped, then xNN
        out += kHex[c >> 4];
        out += kHex[c & 15];
    };
    for (size_t i = 0; i < v.size();) {
        unsigned char c = static_cast<unsigned char>(v[i]);
        if (c == '\\' || c == '"') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c == 0x7f) {
            hex(c);
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            size_t n = utf8Length(v, i);
            if (n == 0) {
                hex(c);
            } else {
                out.append(v, i, n);
                i += n;
                continue;
            }
        }
        ++i;
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
    perAction("adjtimelog_last_run_success",
              "Whether the last run of the action delivered every line (1) or failed (0).", "success_");
    perAction("adjtimelog_last_delivery_timestamp_seconds",
              "When a run of the action last delivered every line it had.", "last_delivery_");
    family(out, "adjtimelog_records_total", "counter",
           "Records delivered since install, by kind (failure: the time tool set no clock).");
    for (const char* k : {"adjust", "failure", "step"})
        out += std::string("adjtimelog_records_total{kind=\"") + k + "\"} " +
               std::to_string(number(kept, std::string("records_") + k)) + "\n";
    family(out, "adjtimelog_steps_total", "counter",
           "Corrections of 128 ms or more delivered since install, whatever the time tool called them.");
    out += "adjtimelog_steps_total " + std::to_string(number(kept, std::string("records_") + kLargeCorrection)) + "\n";
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
            out += "adjtimelog_last_offset_seconds{server=\"" + labelValue(server == kept.end() ? "" : server->second) +
                   "\"} " + text + "\n";
        }
    }
    family(out, "adjtimelog_backlog_bytes", "gauge", "Claimed lines waiting for delivery.");
    out += "adjtimelog_backlog_bytes " + std::to_string(number(kept, "backlog_bytes")) + "\n";
    family(out, "adjtimelog_dead_letters", "gauge", "Rows the database kept refusing, set aside.");
    out += "adjtimelog_dead_letters " + std::to_string(number(kept, "dead_letters")) + "\n";
    family(out, "adjtimelog_lost_bytes_total", "counter",
           "Bytes of claimed raw logs that vanished before they were copied (a reboot in the middle of a run).");
    out += "adjtimelog_lost_bytes_total " + std::to_string(number(kept, "lost_bytes")) + "\n";
    family(out, "adjtimelog_raw_log_modified_timestamp_seconds", "gauge",
           "When the time job last wrote a raw log that a run claimed.");
    out += "adjtimelog_raw_log_modified_timestamp_seconds " + std::to_string(number(kept, "raw_log_modified")) + "\n";
    return out;
}

Status writeMetrics(const std::string& stateDir, const std::string& dir, const RunOutcome& facts)
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
    if (facts.lostBytes)
        kept["lost_bytes"] = std::to_string(number(kept, "lost_bytes") + facts.lostBytes);
    if (facts.rawLogModified)
        kept["raw_log_modified"] = std::to_string(static_cast<long long>(facts.rawLogModified));

    std::string text, failed;
    for (const auto& [key, value] : kept) {
        if (value.find('\n') == std::string::npos)
            text.append(key).append(" ").append(value).append("\n");
    }
    if (replaceFile(stateDir + "/metrics.new", keptPath, text, failed) != 0)
        return Status::sysError("write", failed, errno);
    // No textfile directory, no node_exporter to read the file: nothing to
    // say (the kept state above still counts).
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 && errno == ENOENT)
        return Status();
    // The file appears whole under its name (node_exporter reads *.prom
    // only), in a directory no other user could have swapped it in.
    std::string why;
    if (publishFile(dir + "/adjtimelog.prom", exposition(kept), 0644, facts.user, true, why) != 0)
        return Status::refused("write", dir + "/adjtimelog.prom", why);
    return Status();
}
