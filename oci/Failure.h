// An error as the interface reports it: the server's error number and its
// text, read back as "ORA-nnnnn: text".
#pragma once

#include <string>

namespace dmoci {

struct Failure {
    int code = 0;  // the server's error number
    std::string text;
};

}  // namespace dmoci
