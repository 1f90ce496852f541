#include "terminal.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// What a signal handler needs to give the terminal its echo back and wipe
// what was typed so far.
int gFd = -1;
struct termios gSaved;
volatile sig_atomic_t gRestore = 0;
char* volatile gTyped = nullptr;
volatile size_t gTypedSize = 0;

const int kFatalSignals[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGALRM, SIGPIPE};
struct sigaction gOldActions[sizeof kFatalSignals / sizeof kFatalSignals[0]];
struct sigaction gOldTstp;

// An interrupt key (or a hangup) at the prompt: the terminal gets its echo
// back, what was typed is wiped, and the launcher leaves with status 1. The
// signal is not raised again: its default action could dump the core of a
// root process that holds the shadow entry.
void restoreWipeAndLeave(int)
{
    if (gRestore)
        tcsetattr(gFd, TCSAFLUSH, &gSaved);
    for (size_t i = 0; gTyped && i < gTypedSize; ++i)
        gTyped[i] = 0;
    if (gFd >= 0)
        (void)!write(gFd, "\n", 1);
    _exit(1);
}

}  // namespace

NoEchoTerminal::NoEchoTerminal()
{
    fd_ = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0 || tcgetattr(fd_, &saved_) != 0) {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
        return;
    }
    gFd = fd_;
    gSaved = saved_;
    struct sigaction sa {};
    sa.sa_handler = restoreWipeAndLeave;
    sigfillset(&sa.sa_mask);
    for (size_t i = 0; i < sizeof kFatalSignals / sizeof kFatalSignals[0]; ++i)
        sigaction(kFatalSignals[i], &sa, &gOldActions[i]);
    // Stopped with echo off, the terminal would stay silent in the shell.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGTSTP, &ignore, &gOldTstp);

    struct termios quiet = saved_;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL);
    gRestore = 1;
    // Like getpass: what was typed before the prompt is thrown away.
    echoOff_ = tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
    if (!echoOff_) {
        // A password must never be read with echo on.
        gRestore = 0;
        close(fd_);
        fd_ = -1;
    }
}

NoEchoTerminal::~NoEchoTerminal()
{
    if (fd_ >= 0) {
        if (echoOff_)
            tcsetattr(fd_, TCSAFLUSH, &saved_);
        gRestore = 0;
        close(fd_);
    }
    if (gFd >= 0) {
        for (size_t i = 0; i < sizeof kFatalSignals / sizeof kFatalSignals[0]; ++i)
            sigaction(kFatalSignals[i], &gOldActions[i], nullptr);
        sigaction(SIGTSTP, &gOldTstp, nullptr);
        gFd = -1;
    }
}

PasswordRead NoEchoTerminal::readLine(char* buf, size_t size)
{
    size_t n = 0;
    bool tooLong = false;
    PasswordRead result = PasswordRead::Failed;
    gTyped = buf;
    gTypedSize = size;
    char c = 0;
    for (;;) {
        ssize_t got = read(fd_, &c, 1);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;  // end of input (Ctrl-D) or an error (EIO in the background)
        if (c == '\n') {
            result = tooLong ? PasswordRead::TooLong : PasswordRead::Line;
            break;
        }
        if (n + 1 < size)
            buf[n++] = c;
        else
            tooLong = true;
    }
    buf[n] = '\0';
    if (result != PasswordRead::Line)
        explicit_bzero(buf, size);
    explicit_bzero(&c, sizeof c);
    // Echo was off, so the line end the user typed was not shown.
    (void)!::write(fd_, "\n", 1);
    return result;
}
