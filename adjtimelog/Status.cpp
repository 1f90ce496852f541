#include "Status.h"

#include <cstring>

std::string Status::why() const
{
    return why_.empty() ? strerror(err_) : why_;
}

std::string Status::line(const std::string& who) const
{
    return who + "::" + step_ + " " + path_ + " false! " + why();
}
