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

// Appends s to out (a std::string or a ByteBuffer), escaped.
template <typename Out>
void appendEscaped(Out& out, std::string_view s, bool keepTab = true)
{
    static const char kHex[] = "0123456789ABCDEF";
    size_t plain = 0;  // where the bytes not yet appended begin
    for (size_t i = 0; i < s.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (isControl(c, keepTab)) {
            const char hex[] = {'\\', 'x', kHex[c >> 4], kHex[c & 15]};
            out.append(s.substr(plain, i - plain));
            out.append(std::string_view(hex, sizeof hex));
            plain = i + 1;
        }
    }
    out.append(s.substr(plain));
}

inline std::string escaped(std::string_view s, bool keepTab = true)
{
    std::string out;
    appendEscaped(out, s, keepTab);
    return out;
}

// The length of the well-formed UTF-8 sequence at v[i] (no overlong form,
// no surrogate, nothing past U+10FFFF); 0 when there is none.
inline size_t utf8Length(std::string_view v, size_t i)
{
    unsigned char c = static_cast<unsigned char>(v[i]);
    size_t n = c >= 0xc2 && c <= 0xdf ? 2 : c >= 0xe0 && c <= 0xef ? 3 : c >= 0xf0 && c <= 0xf4 ? 4 : 0;
    if (n == 0 || i + n > v.size())
        return 0;
    unsigned char second = static_cast<unsigned char>(v[i + 1]);
    unsigned char lo = 0x80, hi = 0xbf;
    if (c == 0xe0)
        lo = 0xa0;
    else if (c == 0xed)
        hi = 0x9f;
    else if (c == 0xf0)
        lo = 0x90;
    else if (c == 0xf4)
        hi = 0x8f;
    if (second < lo || second > hi)
        return 0;
    for (size_t k = 2; k < n; ++k) {
        if ((static_cast<unsigned char>(v[i + k]) & 0xc0) != 0x80)
            return 0;
    }
    return n;
}
