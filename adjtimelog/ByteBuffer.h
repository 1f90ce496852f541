// A growable byte buffer for the large texts of a run (a batch's report
// lines, lines on their way to the backlog). It grows by realloc, which
// moves a large block by remapping its pages rather than copying them and
// touching new ones: at a million lines that is a tenth of the log
// action's time (std::string copies on every doubling).
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

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    std::string_view view() const { return {data_, size_}; }
    void clear() { size_ = 0; }

    void append(std::string_view bytes)
    {
        if (bytes.empty())
            return;
        if (size_ + bytes.size() > capacity_) {
            size_t want = size_ + bytes.size() > 2 * capacity_ ? size_ + bytes.size() : 2 * capacity_;
            void* p = realloc(data_, want);
            if (!p)
                abort();  // as operator new would end the process
            data_ = static_cast<char*>(p);
            capacity_ = want;
        }
        memcpy(data_ + size_, bytes.data(), bytes.size());
        size_ += bytes.size();
    }

private:
    char* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};
