// adjtimelog-job: runs the node's time tool and appends what it printed to
// the raw adjustment log, where adjtimelog finds it:
//
//     adjtimelog-job ntpdate SERVER
//
// in place of "ntpdate SERVER >> /tmp/update_time.log 2>&1", which follows
// whatever link another user plants at that name in /tmp and appends to
// whatever file stands there. The tool's standard output and standard error
// are collected through a pipe and appended when it ends (the raw log is
// open only for that moment, so a run of adjtimelog never waits for a slow
// tool), by the rule for files in directories that others can write: a link
// is followed only when it is the run's own or /tmp's owner's, and only a
// plain file of this user with one link is written. Anything else is
// refused: the output then goes to standard error (cron's mail, the
// journal) and the exit status is 1. Otherwise the status is the tool's.

#include "BuildSettings.h"
#include "Files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Appends bytes to the raw log as user self; the reason it was refused,
// or "".
std::string append(std::string_view bytes, uid_t self)
{
    const std::string raw = ADJTIMELOG_RAW_LOG;
    Fd dir(open(directoryOf(raw).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid())
        return strerror(errno);
    std::string why;
    Fd fd(openGuarded(dir.get(), baseName(raw).c_str(), O_WRONLY | O_APPEND | O_CREAT, 0600, Owners{self}, why));
    if (!fd.valid())
        return why.empty() ? strerror(errno) : why;
    if (writeAll(fd.get(), bytes) != 0)
        return strerror(errno);
    return "";
}

}  // namespace

int main(int argc, char** argv)
{
    const uid_t self = geteuid();
    if (argc < 2) {
        fprintf(stderr, "usage: adjtimelog-job TIME-TOOL [ARG]...\n"
                        "  e.g. adjtimelog-job ntpdate SERVER\n");
        return 2;
    }
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        perror("adjtimelog-job: pipe");
        return 1;
    }
    pid_t child = fork();
    if (child < 0) {
        perror("adjtimelog-job: fork");
        return 1;
    }
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(out[1], STDERR_FILENO);
        execvp(argv[1], argv + 1);
        fprintf(stderr, "adjtimelog-job: %s: %s\n", argv[1], strerror(errno));
        _exit(127);
    }
    close(out[1]);
    // The output goes to the raw log in whole lines, a megabyte at a time
    // at the most; once the raw log is refused, to standard error.
    std::string text, why;
    auto hand = [&](size_t n) {
        if (n == 0)
            return;
        if (why.empty())
            why = append(std::string_view(text.data(), n), self);
        if (!why.empty()) {
            static bool told = false;
            if (!told)
                fprintf(stderr, "adjtimelog-job: %s: %s: refused; what %s printed follows\n", ADJTIMELOG_RAW_LOG,
                        why.c_str(), argv[1]);
            told = true;
            fwrite(text.data(), 1, n, stderr);
        }
        text.erase(0, n);
    };
    char buf[65536];
    for (;;) {
        ssize_t n = read(out[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        text.append(buf, static_cast<size_t>(n));
        if (text.size() >= (1u << 20)) {
            size_t nl = text.rfind('\n');
            hand(nl == std::string::npos ? text.size() : nl + 1);
        }
    }
    close(out[0]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    hand(text.size());
    if (!why.empty())
        return 1;
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}
