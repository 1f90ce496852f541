#include "Report.h"
#include "LineShape.h"

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

void appendReportLine(std::string& out, const AdjustTimeInfo& info)
{
    out += '[';
    out += info.node.view();
    out += ':';
    out += info.pid.view();
    out += "]<<";
    out += info.time.view();
    out += ">>";
    out += info.serverIp.view();
    out += " : ";
    out += info.offset.view();
    out += '\n';
}
