#include "Diagnostics.h"

#include <cstdio>

static void put(std::string_view s)
{
    if (!s.empty())  // an empty view may have no data pointer at all
        fwrite(s.data(), 1, s.size(), stdout);
}

void diag(std::string_view text)
{
    diag(text, {}, {});
}

void diag(std::string_view a, std::string_view b)
{
    diag(a, b, {});
}

void diag(std::string_view a, std::string_view b, std::string_view c)
{
    put(a);
    put(b);
    put(c);
    fputc('\n', stdout);
    fflush(stdout);
}
