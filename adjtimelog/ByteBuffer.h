// A growable byte buffer that is not zero-filled: the raw log is read
// straight into it, and filling a hundred megabytes with zeros first would
// cost as much as reading them.
#pragma once

#include <cstdlib>
#include <cstring>
#include <string_view>

class ByteBuffer {
public:
    ByteBuffer() = default;
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ~ByteBuffer() { free(data_); }

    char* data() { return data_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    std::string_view view() const { return {data_, size_}; }
    void clear() { size_ = 0; }

    // Makes room for n bytes after the current ones and returns where they go;
    // nullptr when memory is short.
    char* extend(size_t n)
    {
        if (size_ + n > capacity_) {
            // At least twice the room, so that many small appends do not
            // reallocate each time; realloc moves a large block by
            // remapping its pages, not by copying them.
            size_t want = size_ + n > 2 * capacity_ ? size_ + n : 2 * capacity_;
            void* p = realloc(data_, want ? want : 1);
            if (!p)
                return nullptr;
            data_ = static_cast<char*>(p);
            capacity_ = want;
        }
        char* at = data_ + size_;
        size_ += n;
        return at;
    }
    // Gives back the last n bytes of an extend() that were not filled.
    void shrinkBy(size_t n) { size_ -= n; }
    // Appends bytes; false when memory is short.
    bool append(std::string_view bytes)
    {
        if (bytes.empty())
            return true;
        char* to = extend(bytes.size());
        if (to)
            memcpy(to, bytes.data(), bytes.size());
        return to != nullptr;
    }

private:
    char* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};
