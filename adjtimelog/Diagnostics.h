// Diagnostics of adjtimelog: one line on standard output, then a line end
// and a flush, so that an operator watching the job sees each line at once
// and the order matches what happened even when output is a pipe.
#pragma once

#include <string_view>

void diag(std::string_view text);
void diag(std::string_view a, std::string_view b);
void diag(std::string_view a, std::string_view b, std::string_view c);
