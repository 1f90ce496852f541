// What an operation that can fail returns: ok, or what failed. A failure
// names its step as the operator knows it (the analyzer's function it
// stands for: "claim", "write"), the path it was done to, and why: errno,
// or words of its own where no errno says it. Returned, never thrown; the
// operator's line is made from it in one place (line()).
#pragma once

#include <string>
#include <utility>

class Status {
public:
    Status() = default;  // ok
    static Status sysError(std::string step, std::string path, int err)
    {
        return Status(std::move(step), std::move(path), err, {});
    }
    static Status refused(std::string step, std::string path, std::string why)
    {
        return Status(std::move(step), std::move(path), 0, std::move(why));
    }

    bool ok() const { return step_.empty(); }
    const std::string& step() const { return step_; }
    const std::string& path() const { return path_; }
    int err() const { return err_; }
    // errno's text, or the words given.
    std::string why() const;
    // What the operator reads, after who says it:
    // "<who>::<step> <path> false! <why>".
    std::string line(const std::string& who) const;

private:
    Status(std::string step, std::string path, int err, std::string why)
        : step_(std::move(step)), path_(std::move(path)), err_(err), why_(std::move(why))
    {}
    std::string step_, path_;
    int err_ = 0;
    std::string why_;
};
