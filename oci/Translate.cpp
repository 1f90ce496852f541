#include "Translate.h"

#include <cctype>
#include <strings.h>
#include <vector>

namespace dmoci {

namespace {

bool identStart(char c)
{
    return isalpha(static_cast<unsigned char>(c)) || c == '_';
}

bool identChar(char c)
{
    return isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$' || c == '#';
}

bool sameWord(const std::string& s, size_t pos, size_t len, const std::string& word)
{
    return len == word.size() && strncasecmp(s.data() + pos, word.data(), len) == 0;
}

// Just past the quoted literal or identifier that starts at i; a doubled
// quote stands for itself.
size_t quotedEnd(const std::string& in, size_t i)
{
    char q = in[i];
    size_t end = i + 1;
    while (end < in.size()) {
        if (in[end] == q) {
            if (end + 1 < in.size() && in[end + 1] == q) {
                end += 2;
                continue;
            }
            break;
        }
        ++end;
    }
    return end < in.size() ? end + 1 : end;
}

}  // namespace

std::string translateStatement(const std::string& in, const std::string& user)
{
    std::string out;
    out.reserve(in.size() + 32);
    size_t i = 0;
    while (i < in.size()) {
        char c = in[i];
        if (c == '\'' || c == '"') {
            // A quoted literal or identifier passes as it is.
            size_t end = quotedEnd(in, i);
            out.append(in, i, end - i);
            i = end;
        } else if (c == ':' && i + 1 < in.size() && isdigit(static_cast<unsigned char>(in[i + 1]))) {
            out += '?';
            ++i;
        } else if (identStart(c)) {
            size_t end = i;
            while (end < in.size() && identChar(in[end]))
                ++end;
            size_t len = end - i;
            bool dotted = end < in.size() && in[end] == '.';
            if (dotted && sameWord(in, i, len, user)) {
                i = end + 1;  // the user's own schema
                continue;
            }
            if (dotted) {
                size_t attr = end + 1;
                size_t attrEnd = attr;
                while (attrEnd < in.size() && identChar(in[attrEnd]))
                    ++attrEnd;
                if (sameWord(in, attr, attrEnd - attr, "NEXTVAL") || sameWord(in, attr, attrEnd - attr, "CURRVAL")) {
                    bool next = sameWord(in, attr, attrEnd - attr, "NEXTVAL");
                    out += next ? "dmoci_nextval('" : "dmoci_currval('";
                    out.append(in, i, len);
                    out += "')";
                    i = attrEnd;
                    continue;
                }
            }
            out.append(in, i, len);
            i = end;
        } else {
            out += c;
            ++i;
        }
    }
    while (!out.empty() && (out.back() == ';' || isspace(static_cast<unsigned char>(out.back()))))
        out.pop_back();
    return out;
}

namespace {

char lastNonSpace(const std::string& s)
{
    for (size_t i = s.size(); i > 0; --i) {
        if (!isspace(static_cast<unsigned char>(s[i - 1])))
            return s[i - 1];
    }
    return 0;
}

std::string lower(const std::string& s, size_t pos, size_t len)
{
    std::string out = s.substr(pos, len);
    for (char& c : out)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return out;
}

size_t identEnd(const std::string& s, size_t i)
{
    while (i < s.size() && identChar(s[i]))
        ++i;
    return i;
}

}  // namespace

std::string translateForPostgres(const std::string& in, const std::string& user)
{
    std::string out;
    out.reserve(in.size() + 32);
    size_t i = 0;
    while (i < in.size()) {
        char c = in[i];
        if (c == '\'' || c == '"') {
            // A quoted literal or identifier passes as it is.
            size_t end = quotedEnd(in, i);
            out.append(in, i, end - i);
            i = end;
        } else if (c == ':' && i + 1 < in.size() && isdigit(static_cast<unsigned char>(in[i + 1]))) {
            out += '$';
            ++i;
        } else if (identStart(c)) {
            // Up to three dotted words: [schema.]name[.NEXTVAL|.CURRVAL]
            size_t starts[3], ends[3];
            size_t n = 0, at = i;
            for (;;) {
                starts[n] = at;
                ends[n] = identEnd(in, at);
                ++n;
                if (n == 3 || ends[n - 1] >= in.size() || in[ends[n - 1]] != '.' || ends[n - 1] + 1 >= in.size() ||
                    !identStart(in[ends[n - 1] + 1]))
                    break;
                at = ends[n - 1] + 1;
            }
            size_t lastLen = ends[n - 1] - starts[n - 1];
            bool next = n >= 2 && sameWord(in, starts[n - 1], lastLen, "NEXTVAL");
            bool curr = n >= 2 && sameWord(in, starts[n - 1], lastLen, "CURRVAL");
            if (next || curr) {
                out += next ? "nextval('" : "currval('";
                out += n == 3 ? lower(in, starts[0], ends[0] - starts[0]) : lower(user, 0, user.size());
                out += '.';
                out += lower(in, starts[n - 2], ends[n - 2] - starts[n - 2]);
                out += "')";
                i = ends[n - 1];
                continue;
            }
            if (n == 1 && sameWord(in, i, ends[0] - i, "OFFSET")) {
                char before = lastNonSpace(out);
                if (before == ',' || before == '(') {
                    out += "\"offset\"";
                    i = ends[0];
                    continue;
                }
            }
            out.append(in, i, ends[n - 1] - i);
            i = ends[n - 1];
        } else {
            out += c;
            ++i;
        }
    }
    while (!out.empty() && (out.back() == ';' || isspace(static_cast<unsigned char>(out.back()))))
        out.pop_back();
    return out;
}

namespace {

std::string trim(const std::string& s)
{
    size_t b = s.find_first_not_of(" \t\n"), e = s.find_last_not_of(" \t\n");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

// The items of the parenthesized list that opens at s[open], split at the
// commas outside parentheses and quotes; npos when it does not close.
size_t splitList(const std::string& s, size_t open, std::vector<std::string>& items)
{
    int depth = 0;
    size_t from = open + 1;
    for (size_t i = open + 1; i < s.size(); ++i) {
        char c = s[i];
        if (c == '\'' || c == '"') {
            i = quotedEnd(s, i) - 1;
        } else if (c == '(') {
            ++depth;
        } else if (c == ')' && depth > 0) {
            --depth;
        } else if ((c == ',' || c == ')') && depth == 0) {
            items.push_back(trim(s.substr(from, i - from)));
            from = i + 1;
            if (c == ')')
                return i;
        }
    }
    return std::string::npos;
}

std::string joined(const std::vector<std::string>& items, size_t skip)
{
    std::string out;
    for (size_t i = 0; i < items.size(); ++i) {
        if (i == skip)
            continue;
        if (!out.empty())
            out += ", ";
        out += items[i];
    }
    return out;
}

}  // namespace

bool sequenceKey(const std::string& insert, SequenceKey& key)
{
    const std::string head = "INSERT INTO ";
    if (insert.size() <= head.size() || strncasecmp(insert.c_str(), head.c_str(), head.size()) != 0)
        return false;
    size_t open = insert.find('(', head.size());
    if (open == std::string::npos)
        return false;
    std::vector<std::string> columns, values;
    size_t close = splitList(insert, open, columns);
    if (close == std::string::npos)
        return false;
    size_t valuesAt = insert.find_first_not_of(" \t\n", close + 1);
    if (valuesAt == std::string::npos || strncasecmp(insert.c_str() + valuesAt, "VALUES", 6) != 0)
        return false;
    size_t open2 = insert.find_first_not_of(" \t\n", valuesAt + 6);
    if (open2 == std::string::npos || insert[open2] != '(')
        return false;
    size_t end = splitList(insert, open2, values);
    if (end == std::string::npos || end + 1 != insert.size() || columns.size() != values.size() || columns.size() < 2)
        return false;
    for (size_t k = 0; k < values.size(); ++k) {
        if (strncasecmp(values[k].c_str(), "nextval(", 8) != 0)
            continue;
        key.table = trim(insert.substr(head.size(), open - head.size()));
        key.column = columns[k];
        key.without = head + key.table + "(" + joined(columns, k) + ") VALUES (" + joined(values, k) + ")";
        return true;
    }
    return false;
}

}  // namespace dmoci
