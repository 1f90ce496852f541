# The log action done by hand: the same cuts and the same noteworthy test,
# written as an operator would with awk. HOST and REPORT come from -v.
{
    w = $0
    g = index(w, "ntpdate")
    if (g) { t = /^[0-9][0-9] / ? substr($0, 1, g - 1) : substr($0, 2, g - 2); w = substr(w, g) }
    else t = strftime("%Y-%m-%d %H:%M:%S")
    p = index(w, "[")
    if (!p) next
    w = substr(w, p + 1)
    q = index(w, "]")
    pid = ""
    if (q) { pid = substr(w, 1, q - 1); w = substr(w, q + 2) }
    k = index(w, "time")
    kind = k > 1 ? substr(w, 1, k - 2) : ""
    s = index(w, "server")
    if (!s) next
    w = substr(w, s + 7)
    o = index(w, "offset")
    srv = ""; off = ""
    if (o) { srv = substr(w, 1, o - 2); off = substr(w, o + 7) }
    if (index(w, "sec") && length(off) >= 4) off = substr(off, 1, length(off) - 4)
    pid = kind ":" pid
    if (int(off) != 0 || index(pid, "step"))
        printf "[%s:%s]<<%s>>%s : %s\n", HOST, pid, t, srv, off >> REPORT
}
