// The bytes of one field of a record, and the arena that holds the fields a
// run makes.
//
// A Text either views bytes that live elsewhere for as long as it does (a
// line of the claimed raw log, or a field made in the analyzer's Arena), or
// owns a copy of them. Viewing is what the analyzer does for every record,
// so a million records cost no allocation each; everything else (a record
// built from literals, one read back from the database) owns its bytes, so
// nothing can outlive what it points to. Copies of a viewing Text view the
// same bytes; copies of an owning one own a copy.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

class Text {
public:
    Text() = default;
    Text(std::string_view s) { copyFrom(s); }                  // NOLINT(google-explicit-constructor)
    Text(const char* s) : Text(std::string_view(s)) {}         // NOLINT(google-explicit-constructor)
    Text(const std::string& s) : Text(std::string_view(s)) {}  // NOLINT(google-explicit-constructor)
    Text(const Text& o)
    {
        if (o.owned())
            copyFrom(o.view());
        else
            setView(o.view());
    }
    Text(Text&& o) noexcept : p_(o.p_), n_(o.n_) { o.p_ = nullptr, o.n_ = 0; }
    Text& operator=(const Text& o)
    {
        if (this != &o)
            *this = Text(o);
        return *this;
    }
    Text& operator=(Text&& o) noexcept
    {
        if (this != &o) {
            release();
            p_ = o.p_, n_ = o.n_;
            o.p_ = nullptr, o.n_ = 0;
        }
        return *this;
    }
    ~Text() { release(); }

    // A Text that views s: the bytes must stay put while it is used.
    static Text viewOf(std::string_view s)
    {
        Text t;
        t.setView(s);
        return t;
    }
    // Makes this Text view s.
    void setView(std::string_view s)
    {
        release();
        p_ = s.data(), n_ = s.size();
    }

    const char* data() const { return p_ ? p_ : ""; }
    size_t size() const { return n_ & ~kOwned; }
    bool empty() const { return size() == 0; }
    std::string_view view() const { return {data(), size()}; }
    operator std::string_view() const { return view(); }  // NOLINT(google-explicit-constructor)
    char operator[](size_t i) const { return p_[i]; }

    friend bool operator==(const Text& a, std::string_view b) { return a.view() == b; }
    friend bool operator!=(const Text& a, std::string_view b) { return a.view() != b; }
    friend std::ostream& operator<<(std::ostream& os, const Text& t) { return os << t.view(); }

private:
    static constexpr size_t kOwned = size_t(1) << (sizeof(size_t) * 8 - 1);
    bool owned() const { return (n_ & kOwned) != 0; }
    void copyFrom(std::string_view s)
    {
        release();
        if (s.empty())
            return;
        char* p = static_cast<char*>(malloc(s.size()));
        if (!p)
            abort();  // as operator new would end the process
        memcpy(p, s.data(), s.size());
        p_ = p, n_ = s.size() | kOwned;
    }
    void release()
    {
        if (owned())
            free(const_cast<char*>(p_));
        // The analyzer cannot follow ownership kept in a bit of the length.
        p_ = nullptr, n_ = 0;  // NOLINT(clang-analyzer-unix.Malloc)
    }

    const char* p_ = nullptr;
    size_t n_ = 0;  // the length; the top bit says the bytes are ours
};

// Bytes that stay where they are until the arena goes: the fields a run
// makes (the kind joined to the process id, the run's time for a line
// without one) are written here, a block at a time, and viewed by records.
class Arena {
public:
    Arena() = default;
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;
    ~Arena() { clear(); }

    // Everything written goes: no Text may view it any more.
    void clear()
    {
        for (char* b : blocks_)
            free(b);
        blocks_.clear();
        next_ = nullptr;
        left_ = 0;
    }

    // The pieces one after the other, as one text in the arena.
    template <typename... Pieces>
    std::string_view join(const Pieces&... pieces)
    {
        const size_t n = (std::string_view(pieces).size() + ...);
        char* at = take(n);
        char* to = at;
        (put(to, pieces), ...);
        return {at, n};
    }

    // Room for n bytes, which stay where they are.
    char* take(size_t n)
    {
        if (n > left_) {
            size_t size = n > kBlock ? n : kBlock;
            char* b = static_cast<char*>(malloc(size));
            if (!b)
                abort();  // as operator new would end the process
            blocks_.push_back(b);
            next_ = b, left_ = size;
        }
        char* at = next_;
        next_ += n, left_ -= n;
        return at;
    }

    // What was written since mark() is given back by rewind(): the fields of
    // a record that is not kept.
    struct Mark {
        size_t blocks;
        char* next;
        size_t left;
    };
    Mark mark() const { return {blocks_.size(), next_, left_}; }
    void rewind(Mark m)
    {
        if (m.blocks == blocks_.size())  // within the same block only
            next_ = m.next, left_ = m.left;
    }

private:
    static constexpr size_t kBlock = 1 << 20;
    static void put(char*& to, std::string_view piece)
    {
        if (!piece.empty())  // an empty piece may have no bytes to point at
            memcpy(to, piece.data(), piece.size());
        to += piece.size();
    }
    std::vector<char*> blocks_;
    char* next_ = nullptr;
    size_t left_ = 0;
};
