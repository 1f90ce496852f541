// Matching the whole shape of a line, left to right. Each step consumes what
// it names and returns true, or returns false and leaves the cursor where it
// was; a recogniser gives up on the line at the first false.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

class LineShape {
public:
    explicit LineShape(std::string_view line) : s_(line) {}

    size_t pos() const { return p_; }
    bool atEnd() const { return p_ == s_.size(); }
    std::string_view rest() const { return s_.substr(p_); }
    // The text consumed since an earlier pos().
    std::string_view since(size_t start) const { return s_.substr(start, p_ - start); }

    // Exactly the literal t.
    bool lit(std::string_view t)
    {
        if (s_.substr(p_, t.size()) != t)
            return false;
        p_ += t.size();
        return true;
    }

    // Exactly n decimal digits.
    bool digits(size_t n)
    {
        if (s_.size() - p_ < n)
            return false;
        for (size_t i = 0; i < n; ++i) {
            if (!isDigit(s_[p_ + i]))
                return false;
        }
        p_ += n;
        return true;
    }

    // One decimal digit or more.
    bool someDigits()
    {
        size_t q = p_;
        while (q < s_.size() && isDigit(s_[q]))
            ++q;
        if (q == p_)
            return false;
        p_ = q;
        return true;
    }

    // A decimal number as the tools print one with %f: an optional sign,
    // digits, and a fraction.
    bool number()
    {
        size_t start = p_;
        if (p_ < s_.size() && (s_[p_] == '+' || s_[p_] == '-'))
            ++p_;
        if (someDigits() && lit(".") && someDigits())
            return true;
        p_ = start;
        return false;
    }

    // One byte or more up to the next blank or the end.
    bool word()
    {
        size_t q = p_;
        while (q < s_.size() && s_[q] != ' ')
            ++q;
        if (q == p_)
            return false;
        p_ = q;
        return true;
    }

    // Every byte up to the first of stops, or to the end.
    void skipUntilAny(std::string_view stops)
    {
        while (p_ < s_.size() && stops.find(s_[p_]) == std::string_view::npos)
            ++p_;
    }

    // 2026-12-08
    bool isoDate()
    {
        return atomic([this] { return digits(4) && lit("-") && digits(2) && lit("-") && digits(2); });
    }
    // 23:33:40
    bool clockTime()
    {
        return atomic([this] { return digits(2) && lit(":") && digits(2) && lit(":") && digits(2); });
    }

private:
    static bool isDigit(char c) { return c >= '0' && c <= '9'; }

    template <typename F>
    bool atomic(F steps)
    {
        size_t start = p_;
        if (steps())
            return true;
        p_ = start;
        return false;
    }

    std::string_view s_;
    size_t p_ = 0;
};

inline bool startsWith(std::string_view s, std::string_view prefix)
{
    return s.substr(0, prefix.size()) == prefix;
}

inline bool endsWith(std::string_view s, std::string_view suffix)
{
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

// The first occurrence of a literal in s, or npos: memchr finds each
// candidate for its first byte, the rest is compared in line.
template <size_t N>
size_t findLiteral(std::string_view s, const char (&literal)[N])
{
    constexpr size_t n = N - 1;
    if (s.size() < n)
        return std::string_view::npos;
    const char* d = s.data();
    const char* last = d + (s.size() - n);
    if constexpr (n >= 4) {
        if (s.size() < 24) {
            // A short text is done before a call would have started: four
            // bytes compared at once at each place.
            uint32_t head;
            memcpy(&head, literal, 4);
            for (const char* p = d; p <= last; ++p) {
                uint32_t w;
                memcpy(&w, p, 4);
                if (w == head && memcmp(p + 4, literal + 4, n - 4) == 0)
                    return static_cast<size_t>(p - d);
            }
            return std::string_view::npos;
        }
    }
    for (const char* p = d; p <= last; ++p) {
        p = static_cast<const char*>(memchr(p, literal[0], static_cast<size_t>(last - p) + 1));
        if (!p)
            return std::string_view::npos;
        if (memcmp(p + 1, literal + 1, n - 1) == 0)
            return static_cast<size_t>(p - d);
    }
    return std::string_view::npos;
}

// The first occurrence of c in s, or npos.
inline size_t findByte(std::string_view s, char c)
{
    const void* p = memchr(s.data(), c, s.size());
    return p ? static_cast<size_t>(static_cast<const char*>(p) - s.data()) : std::string_view::npos;
}
