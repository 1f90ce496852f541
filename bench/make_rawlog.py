#!/usr/bin/env python3
"""Writes a realistic raw adjustment log: what ntpdate leaves over weeks of
runs on a node. Most lines are small adjustments; some step the clock, some
report that no server answered or that the socket was busy.

usage: make_rawlog.py LINES OUTPUT [SEED]
"""
import random
import sys

MONTHS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]
SERVERS = ["192.0.2.10", "192.0.2.11", "198.51.100.7", "ntp1.site.example", "2001:db8::123"]


def line(rng):
    day = rng.randint(1, 28)
    stamp = "%2d %s %02d:%02d:%02d" % (day, rng.choice(MONTHS), rng.randint(0, 23),
                                        rng.randint(0, 59), rng.randint(0, 59))
    pid = rng.randint(300, 65000)
    head = " " if day < 10 else ""
    r = rng.random()
    server = rng.choice(SERVERS)
    if r < 0.85:
        offset = "%.6f" % rng.gauss(0, 0.05)
        rest = "adjust time server %s offset %s sec" % (server, offset)
    elif r < 0.93:
        offset = "%+.6f" % rng.uniform(-3, 3) if rng.random() < 0.3 else "%.6f" % rng.uniform(-3, 3)
        rest = "step time server %s offset %s sec" % (server, offset)
    elif r < 0.95:
        rest = "adjust time server %s offset %.6f sec" % (server, rng.choice([-1.5, 1.25, 2.0]))
    elif r < 0.98:
        rest = "no server suitable for synchronization found"
    else:
        rest = "the NTP socket is in use, exiting"
    return "%s%s ntpdate[%d]: %s\n" % (head, stamp, pid, rest)


def main():
    count, output = int(sys.argv[1]), sys.argv[2]
    rng = random.Random(int(sys.argv[3]) if len(sys.argv) > 3 else 4107)
    with open(output, "w") as f:
        chunk = []
        for _ in range(count):
            chunk.append(line(rng))
            if len(chunk) == 10000:
                f.write("".join(chunk))
                chunk = []
        f.write("".join(chunk))


if __name__ == "__main__":
    main()
