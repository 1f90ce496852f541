// Bytes of the raw log shown to a person: every byte below 0x20 but tab,
// and 0x7F, is written as \xNN, so that a line shown on a terminal or kept
// in the journal cannot move the cursor, clear the screen, or hide what
// follows it behind a carriage return. Other bytes (GBK texts among them)
// pass as they are; the database keeps the bytes unchanged.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

inline bool isControl(unsigned char c, bool keepTab)
{
    return (c < 0x20 && !(keepTab && c == '\t')) || c == 0x7F;
}

// How many bytes s takes once escaped.
inline size_t escapedSize(std::string_view s, bool keepTab = true)
{
    size_t n = s.size();
    for (unsigned char c : s)
        n += isControl(c, keepTab) ? 3 : 0;
    return n;
}

// Writes s escaped at to (escapedSize(s) bytes) and returns where it ends.
inline char* escapeInto(char* to, std::string_view s, bool keepTab = true)
{
    static const char kHex[] = "0123456789ABCDEF";
    for (unsigned char c : s) {
        if (isControl(c, keepTab)) {
            *to++ = '\\';
            *to++ = 'x';
            *to++ = kHex[c >> 4];
            *to++ = kHex[c & 15];
        } else {
            *to++ = static_cast<char>(c);
        }
    }
    return to;
}

inline std::string escaped(std::string_view s, bool keepTab = true)
{
    std::string out(escapedSize(s, keepTab), '\0');
    escapeInto(&out[0], s, keepTab);
    return out;
}
