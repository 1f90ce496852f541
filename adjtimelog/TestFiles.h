// Scratch directories and small file helpers for the unit tests.
#pragma once

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

class ScratchDir {
public:
    ScratchDir()
    {
        char tmpl[] = "/var/tmp/adjtimelog-test.XXXXXX";
        path_ = mkdtemp(tmpl) ? tmpl : "";
    }
    ~ScratchDir()
    {
        if (!path_.empty())
            (void)!system(("rm -rf '" + path_ + "'").c_str());
    }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

inline void writeFile(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

inline void appendFile(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary | std::ios::app) << text;
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

// Where a claim of the raw log dir/raw keeps its claimed copy.
inline std::string claimedCopyOf(const ScratchDir& dir)
{
    return dir / (".adjtimelog-" + std::to_string(geteuid()) + "/claimed");
}
