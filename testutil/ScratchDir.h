// Scratch directories and small file helpers for the unit tests.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

// A fresh directory under /var/tmp, removed with everything in it when the
// test is done.
class ScratchDir {
public:
    explicit ScratchDir(const char* prefix = "qm4107-test.")
    {
        std::string tmpl = std::string("/var/tmp/") + prefix + "XXXXXX";
        path_ = mkdtemp(tmpl.data()) ? tmpl : "";
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    ~ScratchDir()
    {
        std::error_code ignored;  // what cannot be removed is left behind
        if (!path_.empty())
            std::filesystem::remove_all(path_, ignored);
    }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

inline void writeFile(const std::string& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary) << content;
}

inline void appendFile(const std::string& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary | std::ios::app) << content;
}

inline std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline bool pathExists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}
