#include "Report.h"
#include "Escape.h"
#include "LineShape.h"

#include <cstdlib>
#include <cstring>

bool integerPartIsZero(std::string_view offset)
{
    size_t i = 0;
    while (i < offset.size() && (offset[i] == ' ' || (offset[i] >= '\t' && offset[i] <= '\r')))
        ++i;
    if (i < offset.size() && (offset[i] == '+' || offset[i] == '-'))
        ++i;
    for (; i < offset.size() && offset[i] >= '0' && offset[i] <= '9'; ++i) {
        if (offset[i] != '0')
            return false;
    }
    return true;
}

bool isNoteworthy(const AdjustTimeInfo& info)
{
    return !integerPartIsZero(info.offset) || findLiteral(info.pid, "step") != std::string_view::npos;
}

void appendReportLine(ByteBuffer& out, const AdjustTimeInfo& info)
{
    // The fields are the line's bytes: escaped, the literals are not.
    const std::string_view parts[] = {"[", info.node, ":", info.pid, "]<<", info.time, ">>",
                                      info.serverIp, " : ", info.offset, "\n"};
    size_t n = 0;
    for (size_t i = 0; i < sizeof parts / sizeof parts[0]; ++i)
        n += i % 2 ? escapedSize(parts[i]) : parts[i].size();
    char* to = out.extend(n);
    if (!to)
        abort();  // as operator new would end the process
    for (size_t i = 0; i < sizeof parts / sizeof parts[0]; ++i) {
        if (i % 2) {
            to = escapeInto(to, parts[i]);
        } else {
            memcpy(to, parts[i].data(), parts[i].size());
            to += parts[i].size();
        }
    }
}
