// sitedb report --html: one self-contained page (nothing fetched) that
// opens quickly at 10,000 nodes. The figures and each node's timeline (the
// least and greatest offset per bucket on one common scale, a mark where a
// step or a failure fell) travel as compact data; a short script lays out
// the summary and draws a timeline when it scrolls into view. The
// fleet's drift histogram and the shared time axis are drawn here.
#include "SiteReport.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace {

// The levels of the common scale as characters: 0..62, '.' for none.
const char kLevels[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz+";

// Text for a JSON string inside <script>: no byte there can end the
// script or be read as markup.
void scriptString(std::string& out, const std::string& s)
{
    out += '"';
    for (char c : s) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '<':
            out += "\\u003c";
            break;
        case '>':
            out += "\\u003e";
            break;
        case '&':
            out += "\\u0026";
            break;
        default:
            out += c;
        }
    }
    out += '"';
}

// The fleet's drifts in bins whose edges grow as the drifts do.
std::string histogram(const std::vector<NodeSummary>& nodes)
{
    const double edges[] = {-500, -100, -50, -20, -10, -5, -2, -1, 0, 1, 2, 5, 10, 20, 50, 100, 500};
    const int bins = sizeof edges / sizeof edges[0] + 1;
    std::vector<long long> count(bins, 0);
    long long none = 0;
    for (const NodeSummary& n : nodes) {
        if (!n.haveDrift) {
            ++none;
            continue;
        }
        count[static_cast<size_t>(std::upper_bound(std::begin(edges), std::end(edges), n.driftPpm) -
                                  std::begin(edges))]++;
    }
    long long most = std::max(1LL, *std::max_element(count.begin(), count.end()));
    const double barWidth = 52, height = 120, top = 16;
    char buf[512];
    std::string out;
    snprintf(buf, sizeof buf, "<svg class=\"histogram\" width=\"%.0f\" height=\"%.0f\">", barWidth * bins + 20,
             height + top + 34);
    out += buf;
    for (int b = 0; b < bins; ++b) {
        double h = height * static_cast<double>(count[static_cast<size_t>(b)]) / static_cast<double>(most);
        std::string label = b == 0          ? "<" + std::to_string(static_cast<int>(edges[0]))
                            : b == bins - 1 ? ">" + std::to_string(static_cast<int>(edges[bins - 2]))
                                            : std::to_string(static_cast<int>(edges[b - 1])) + ".." +
                                                  std::to_string(static_cast<int>(edges[b]));
        double x = 10 + barWidth * b;
        snprintf(buf, sizeof buf,
                 "<rect x=\"%.0f\" y=\"%.1f\" width=\"%.0f\" height=\"%.1f\" fill=\"#2471a3\"/>"
                 "<text x=\"%.0f\" y=\"%.1f\" text-anchor=\"middle\">%lld</text>"
                 "<text x=\"%.0f\" y=\"%.0f\" text-anchor=\"middle\" font-size=\"9\">%s</text>",
                 x + 2, top + height - h, barWidth - 4, h, x + barWidth / 2, top + height - h - 3,
                 count[static_cast<size_t>(b)], x + barWidth / 2, top + height + 14, label.c_str());
        out += buf;
    }
    snprintf(buf, sizeof buf,
             "<text x=\"10\" y=\"%.0f\" font-size=\"10\">drift in ppm (positive: the clock falls behind); "
             "%lld node(s) without enough corrections for a drift</text></svg>",
             top + height + 30, none);
    return out + buf;
}

// One dated time axis for every timeline, and the common offset scale.
std::string axis(const ReportPeriod& p, double width)
{
    long long length = std::max(1LL, p.now - p.since);
    long long tick = length <= 2 * 86400LL ? 6 * 3600LL : length <= 14 * 86400LL ? 86400LL : 7 * 86400LL;
    char buf[512];
    std::string out;
    snprintf(buf, sizeof buf,
             "<svg class=\"axis\" width=\"%.0f\" height=\"30\"><path d=\"M0 4H%.0f\" stroke=\"#555\"/>", width, width);
    out += buf;
    for (long long t = (p.since + tick - 1) / tick * tick; t <= p.now; t += tick) {
        double x = width * static_cast<double>(t - p.since) / static_cast<double>(length);
        snprintf(buf, sizeof buf,
                 "<path d=\"M%.1f 0V8\" stroke=\"#555\"/><text x=\"%.1f\" y=\"22\" text-anchor=\"%s\" "
                 "font-size=\"10\">%s</text>",
                 x, x,
                 x < 40           ? "start"
                 : x > width - 40 ? "end"
                                  : "middle",
                 utcText(t, tick < 86400 ? "%m-%d %H:%M" : "%Y-%m-%d").c_str());
        out += buf;
    }
    return out + "</svg>";
}

}  // namespace

std::string formatHtml(const std::vector<NodeSummary>& nodes, const ReportPeriod& period)
{
    const int plotWidth = 720, plotHeight = 44;
    long long silent = 0, failing = 0, stepping = 0, future = 0;
    for (const NodeSummary& n : nodes) {
        silent += n.silent;
        failing += n.failures > 0;
        stepping += n.steps > 0;
        future += n.futureRows;
    }
    std::string out =
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Clock adjustments</title>\n<style>\n"
        "body{font-family:sans-serif;margin:24px;color:#222}table{border-collapse:collapse;font-size:13px}"
        "td,th{border:1px solid #ccc;padding:2px 6px;text-align:right}td:first-child,th:first-child{text-align:left}"
        ".silent{color:#fff;background:#c0392b;padding:0 5px;border-radius:3px}"
        ".row{display:flex;align-items:center;height:50px;content-visibility:auto;contain-intrinsic-size:50px}"
        ".name{flex:none;width:260px;overflow:hidden;text-overflow:ellipsis;white-space:nowrap;font-size:13px}"
        ".plot{flex:none;width:" +
        std::to_string(plotWidth) + "px;height:" + std::to_string(plotHeight) +
        "px;"
        "background:#f7f7f7;border:1px solid #ddd}"
        "#axis{position:sticky;top:0;background:#fff;display:flex;padding-top:4px;z-index:1}#axis svg{flex:none}"
        "#summary{max-height:60vh;overflow:auto;font-size:13px;border:1px solid #ccc}"
        ".srow{display:flex;height:20px;line-height:20px;content-visibility:auto;contain-intrinsic-size:auto 20px;"
        "border-bottom:1px solid #eee}.srow>span{flex:none;width:100px;padding:0 6px;text-align:right;overflow:hidden;"
        "white-space:nowrap;text-overflow:ellipsis}.srow>span:first-child{width:300px;text-align:left}"
        ".srow>span.t{width:190px;text-align:left}.srow>span.r{width:280px;text-align:left}"
        ".head{font-weight:bold;position:sticky;top:0;background:#fff;content-visibility:visible}"
        "svg text{font-family:sans-serif}.adj{stroke:#2471a3;stroke-width:2}.step{fill:#c0392b}"
        ".fail{stroke:#555;stroke-width:2}.zero{stroke:#bbb}\n</style></head><body>\n";
    out += "<h1>Clock adjustments " + utcText(period.since, "%Y-%m-%d %H:%M:%SZ") + " to " +
           utcText(period.now, "%Y-%m-%d %H:%M:%SZ") + "</h1>\n";
    out += "<p id=\"counts\">" + std::to_string(nodes.size()) + " nodes: " + std::to_string(silent) + " silent, " +
           std::to_string(failing) + " failing, " + std::to_string(stepping) + " stepping (" +
           "corrections of 128 ms or more), " + std::to_string(future) + " row(s) stamped in the future.</p>\n";
    out += "<h2>Drift of the fleet</h2>\n" + histogram(nodes) + "\n";
    out += "<h2>Nodes, those needing attention first</h2>\n<div id=\"summary\"><div class=\"srow head\">"
           "<span>node</span><span>steps</span><span>largest step</span><span>largest offset</span>"
           "<span>drift ppm</span><span>failures</span><span>future rows</span><span class=\"t\">last report</span>"
           "<span class=\"r\">last failure</span></div><div id=\"srows\"></div></div>\n";
    out += "<h2>Timelines</h2>\n<p>Each node's offsets per " +
           std::to_string((period.now - period.since) / kTimelineBuckets / 60) +
           " minutes (least to greatest, blue), on one scale for every node: the middle line is 0, each "
           "side logarithmic from 1 &micro;s to 100 s (ticks at 1 ms and 1 s). Steps: red triangles; "
           "failures: grey crosses.</p>\n";
    out += "<div id=\"axis\"><div class=\"name\">time (UTC)</div>" + axis(period, plotWidth) + "</div>\n";
    out += "<div id=\"timelines\"></div>\n<script type=\"application/json\" id=\"data\">{\"since\":" +
           std::to_string(period.since) + ",\"now\":" + std::to_string(period.now) +
           ",\"silent\":" + std::to_string(period.silentSeconds) + ",\"buckets\":" + std::to_string(kTimelineBuckets) +
           ",\"nodes\":[";
    for (size_t i = 0; i < nodes.size(); ++i) {
        const NodeSummary& n = nodes[i];
        out += i ? ",\n[" : "\n[";
        scriptString(out, shown(n.node));
        char buf[200];
        snprintf(buf, sizeof buf, ",%d,", n.steps);
        out += buf;
        scriptString(out, n.largestStep.empty() ? "-" : shown(n.largestStep));
        out += ',';
        scriptString(out, n.largestOffset.empty() ? "-" : shown(n.largestOffset));
        if (n.haveDrift)
            snprintf(buf, sizeof buf, ",\"%+.2f\",%d,", n.driftPpm, n.failures);
        else
            snprintf(buf, sizeof buf, ",\"-\",%d,", n.failures);
        out += buf;
        scriptString(out, n.lastFailure.empty() ? "-" : shown(n.lastFailure));
        snprintf(buf, sizeof buf, ",%lld,%lld,%d,\"", n.futureRows, n.lastReport, n.silent ? 1 : 0);
        out += buf;
        for (size_t b = 0; b < n.low.size(); ++b) {
            out += n.low[b] == kNoLevel ? '.' : kLevels[n.low[b]];
            out += n.high[b] == kNoLevel ? '.' : kLevels[n.high[b]];
        }
        // The marks: a list of the buckets marked (bucket * 4 + marks), or,
        // where that is longer, a digit for every bucket.
        std::string sparse, dense;
        for (size_t b = 0; b < n.marks.size(); ++b) {
            dense += static_cast<char>('0' + n.marks[b]);
            if (n.marks[b] != 0)
                sparse += (sparse.empty() ? "" : ",") + std::to_string(b * 4 + n.marks[b]);
        }
        out += "\"," + (sparse.size() + 2 <= dense.size() + 2 ? "[" + sparse + "]" : "\"" + dense + "\"") + "]";
    }
    out += "]}</script>\n<script>\n";
    out += "const D=JSON.parse(document.getElementById('data').textContent),L='";
    out += kLevels;
    out += "',MS='" + std::string(1, kLevels[offsetLevel(0.001)]) + "',SEC='" +
           std::string(1, kLevels[offsetLevel(1.0)]) + "',W=" + std::to_string(plotWidth) +
           ",H=" + std::to_string(plotHeight) + R"JS(,B=D.buckets;
function esc(s){return s.replace(/[&<>"]/g,c=>({'&':'&amp;','<':'&lt;','>':'&gt;','"':'&quot;'}[c]));}
function iso(t){return t?new Date(t*1000).toISOString().replace('T',' ').replace('.000Z','Z'):'-';}
function span(s){return s>=86400?Math.floor(s/86400)+'d'+Math.floor(s%86400/3600)+'h':s>=3600?Math.floor(s/3600)+'h'+Math.floor(s%3600/60)+'m':Math.floor(s/60)+'m';}
function y(c){return (H/2-(L.indexOf(c)-31)*(H/2-3)/31).toFixed(1);}
function silentText(n){return n[9]?' <span class="silent">silent for '+(n[8]?span(D.now-n[8]):'the whole period')+'</span>':'';}
function plot(n){
  const w=W/B;let a='',s='',f='',t=n[10],m=n[11];
  for(let b=0;b<B;b++){const x=((b+0.5)*w).toFixed(1);
    if(t[2*b]!=='.'){let y0=y(t[2*b]),y1=y(t[2*b+1]);if(y0===y1)y1=(+y1-1).toFixed(1);a+='M'+x+' '+y0+'V'+y1;}}
  const marks=typeof m==='string'?[...m].map((c,b)=>b*4+(+c)):m;
  for(const v of marks){const x=(((v>>2)+0.5)*w).toFixed(1),k=v&3;if(k&1)s+='M'+x+' 1l4 7h-8z';if(k&2)f+='M'+(x-3)+' '+(H-8)+'l6 6m0 -6l-6 6';}
  const t1=y(MS),t2=y(SEC);
  return '<svg class="timeline" data-node="'+esc(n[0])+'" width="'+W+'" height="'+H+'"><path class="zero" d="M0 '+(H/2)+'H'+W+'"/>'+
    '<path d="M0 '+t1+'h4M0 '+(H-t1)+'h4M0 '+t2+'h4M0 '+(H-t2)+'h4" stroke="#999"/>'+
    '<path class="adj" d="'+a+'"/><path class="step" d="'+s+'"/><path class="fail" d="'+f+'"/></svg>';
}
const rows=[],lines=[];
D.nodes.forEach((n,i)=>{
  rows.push('<div class="srow"><span title="'+esc(n[0])+'"><a href="#n'+i+'">'+esc(n[0])+'</a>'+silentText(n)+'</span><span>'+n[1]+'</span><span>'+esc(n[2])+'</span><span>'+esc(n[3])+'</span><span>'+n[4]+'</span><span>'+n[5]+'</span><span>'+n[7]+'</span><span class="t">'+iso(n[8])+'</span><span class="r" title="'+esc(n[6])+'">'+esc(n[6])+'</span></div>');
  lines.push('<div class="row" id="n'+i+'"><div class="name" title="'+esc(n[0])+'">'+esc(n[0])+silentText(n)+'</div><div class="plot" data-i="'+i+'"></div></div>');
});
document.getElementById('srows').innerHTML=rows.join('');
const box=document.getElementById('timelines');box.innerHTML=lines.join('');
function draw(e){if(!e.firstChild)e.innerHTML=plot(D.nodes[+e.dataset.i]);}
const plots=box.querySelectorAll('.plot');
for(let i=0;i<Math.min(plots.length,100);i++)draw(plots[i]);
if('IntersectionObserver' in window){const o=new IntersectionObserver(es=>es.forEach(e=>{if(e.isIntersecting){draw(e.target);o.unobserve(e.target);}}),{rootMargin:'600px'});plots.forEach(p=>{if(!p.firstChild)o.observe(p);});}
else plots.forEach(draw);
</script>
</body></html>
)JS";
    return out;
}
