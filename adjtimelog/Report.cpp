#include "Report.h"
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
    const std::string_view parts[] = {"[", info.node, ":", info.pid, "]<<", info.time, ">>",
                                      info.serverIp, " : ", info.offset, "\n"};
    size_t n = 0;
    for (std::string_view part : parts)
        n += part.size();
    char* to = out.extend(n);
    if (!to)
        abort();  // as operator new would end the process
    for (std::string_view part : parts) {
        memcpy(to, part.data(), part.size());
        to += part.size();
    }
}
