// The password is read from the controlling terminal with echo off, as
// getpass(3) does, but an empty line is told apart from end of input and
// from a read error, and the terminal is restored on every path, signals
// included.
#pragma once

#include <cstddef>
#include <termios.h>

enum class PasswordRead {
    Line,     // a whole line was read (it may be empty)
    TooLong,  // the line did not fit; it was read and thrown away
    Failed,   // end of input or a read error before the line end
};

class NoEchoTerminal {
public:
    // Opens the controlling terminal and turns its echo off; open() tells
    // whether there is one.
    NoEchoTerminal();
    ~NoEchoTerminal();
    NoEchoTerminal(const NoEchoTerminal&) = delete;
    NoEchoTerminal& operator=(const NoEchoTerminal&) = delete;

    bool open() const { return fd_ >= 0; }

    // One line into buf, terminated, without its line end.
    PasswordRead readLine(char* buf, size_t size);

private:
    int fd_ = -1;
    bool echoOff_ = false;
    struct termios saved_ {};
};
