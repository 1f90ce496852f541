// Where sitedb finds a password that is not in its arguments.
#pragma once

#include <string>

// The first line of FILE (without its line end); false with why when it
// cannot be read or is empty.
bool readPasswordFile(const std::string& path, std::string& password, std::string& why);

// Asks on the controlling terminal, echo off, when standard input is one;
// false when there is no terminal to ask on (or nothing was typed).
bool promptPassword(const std::string& prompt, std::string& password);
