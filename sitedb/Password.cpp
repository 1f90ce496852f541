#include "Password.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

bool readPasswordFile(const std::string& path, std::string& password, std::string& why)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        why = "cannot read the password file " + path + ": " + strerror(errno);
        return false;
    }
    char buf[1024];
    ssize_t n = read(fd, buf, sizeof buf);
    int error = errno;
    close(fd);
    if (n < 0) {
        why = "cannot read the password file " + path + ": " + strerror(error);
        return false;
    }
    password.assign(buf, static_cast<size_t>(n));
    password.erase(std::min(password.find('\n'), password.size()));
    if (!password.empty() && password.back() == '\r')
        password.pop_back();
    explicit_bzero(buf, sizeof buf);
    if (password.empty()) {
        why = "the password file " + path + " holds no password on its first line";
        return false;
    }
    return true;
}

bool promptPassword(const std::string& prompt, std::string& password)
{
    if (!isatty(STDIN_FILENO))
        return false;
    int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct termios saved {};
    bool echoOff = tcgetattr(fd, &saved) == 0;
    if (echoOff) {
        struct termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        echoOff = tcsetattr(fd, TCSAFLUSH, &quiet) == 0;
    }
    if (write(fd, prompt.data(), prompt.size()) < 0) {
        // the prompt is lost; the answer is still read
    }
    password.clear();
    char c = 0;
    while (read(fd, &c, 1) == 1 && c != '\n' && c != '\r' && password.size() < 1024)
        password += c;
    if (echoOff)
        tcsetattr(fd, TCSAFLUSH, &saved);
    if (write(fd, "\n", 1) < 0) {
        // nothing to mend
    }
    close(fd);
    return !password.empty();
}
