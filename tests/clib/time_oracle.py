#!/usr/bin/env python3
"""Reference tables for the C library's time functions, written at build time.

calendar.txt  G lines: every day 1900-2400 at a random second, its UTC fields;
              S lines: random instants to 9999, strftime (of the F line's format) and
              asctime texts.
rules.txt     R <rule> sections (POSIX TZ rules, read by the host C library):
              L lines (instant, local fields) and M lines (local fields, the
              instant mktime gives) 1900-2400, around every change and at random.
zones.txt     Z <zone> <first year> sections from the zone database: L and M
              lines around every change and 10^4 random instants to 2037.
Seconds count from 1900-01-01 UTC. Fields: year-1900 mon mday hour min sec
wday yday isdst.  mktime reads a repeated hour as standard time and a
skipped hour as daylight time.
"""
import calendar
import datetime
import os
import random
import sys
import time
import zoneinfo

EPOCH = 2208988800  # 1900 -> 1970
# The engine's %c in the "C" locale is "%b %d %H:%M:%S %Y".
FORMAT = "%a|%A|%b|%B|%c|%d|%H|%I|%j|%m|%M|%p|%S|%U|%w|%W|%x|%X|%y|%Y|%%|%Q|%"
HOST_FORMAT = FORMAT.replace("%c", "%b %d %H:%M:%S %Y").replace("%Q|%", "%%Q|%%")
RULES = ["UTC0", "EST5EDT,M3.2.0,M11.1.0", "CET-1CEST,M3.5.0,M10.5.0/3",
         "AEST-10AEDT,M10.1.0,M4.1.0/3", "NST3:30NDT,M3.2.0,M11.1.0", "IST-5:30", "<+14>-14",
         "<-04>4<-03>,M9.1.6/24,M4.1.6/24"]
# Zones and the first year their current rule holds.
ZONES = [("America/New_York", 2007), ("Europe/Berlin", 2007), ("Australia/Sydney", 2008),
         ("America/St_Johns", 2012), ("Asia/Kolkata", 2007), ("Pacific/Kiritimati", 2007)]


def fields(t):
    return "%d %d %d %d %d %d %d %d %d" % (t.tm_year - 1900, t.tm_mon - 1, t.tm_mday, t.tm_hour, t.tm_min,
                                          t.tm_sec, (t.tm_wday + 1) % 7, t.tm_yday - 1, max(t.tm_isdst, 0))


def calendar_table(out, rng):
    out.write("F %s\n" % FORMAT)
    first = calendar.timegm((1900, 1, 1, 0, 0, 0))
    days = (calendar.timegm((2401, 1, 1, 0, 0, 0)) - first) // 86400
    for day in range(days):
        s = day * 86400 + rng.randrange(86400)
        out.write("G %d %s\n" % (s, fields(time.gmtime(s - EPOCH))))
    probes = [2**32, calendar.timegm((2038, 1, 19, 3, 14, 8)) + EPOCH,
              calendar.timegm((2100, 3, 1, 0, 0, 0)) + EPOCH, calendar.timegm((2100, 2, 28, 23, 59, 59)) + EPOCH]
    probes += [rng.randrange(calendar.timegm((9999, 12, 31, 23, 59, 59)) + EPOCH) for _ in range(10000)]
    for s in probes:
        t = time.gmtime(s - EPOCH)
        out.write("S %d %s\t%s\t%s\n" % (s, fields(t), time.strftime(HOST_FORMAT, t),
                                         time.strftime("%a %b %d %H:%M:%S %Y", t)))


# The host C library applies a rule from 1970 on only. The Gregorian
# calendar repeats every 400 years to the weekday, so earlier instants are
# read 400 years later.
CYCLE = 146097 * 86400


class Shifted:
    def __init__(self, t, years):
        self.t, self.years = t, years

    def __getattr__(self, name):
        value = getattr(self.t, name)
        return value - self.years if name == "tm_year" else value


def host_localtime(u):
    return time.localtime(u) if u >= 0 else Shifted(time.localtime(u + CYCLE), 400)


def host_mktime(wall_and_flags):
    if wall_and_flags[0] >= 1971:
        return int(time.mktime(wall_and_flags))
    return int(time.mktime((wall_and_flags[0] + 400,) + wall_and_flags[1:])) - CYCLE


def wall_key(t):
    return (t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec)


def rule_mktime(wall):
    """The instant of local wall fields under the host's rule, read the engine's way."""
    readings = {}
    for dst in (0, 1):
        u = host_mktime(wall + (0, 0, dst))
        back = host_localtime(u)
        if wall_key(back) == wall and back.tm_isdst == dst:
            readings[dst] = u
    if 0 in readings:
        return readings[0]
    if 1 in readings:
        return readings[1]
    # Skipped: daylight time, an hour before the standard reading.
    return host_mktime(wall + (0, 0, 0)) - 3600


def changes(offset_at, start, end, step=86400):
    """Instants in [start, end) where offset_at changes, to the second."""
    found = []
    previous = offset_at(start)
    t = start + step
    while t < end:
        now = offset_at(t)
        if now != previous:
            lo, hi = t - step, t
            while hi - lo > 1:
                mid = (lo + hi) // 2
                if offset_at(mid) == previous:
                    lo = mid
                else:
                    hi = mid
            found.append(hi)
            previous = now
        t += step
    return found


def probes_around(change_instants, rng, start, end, count):
    out = []
    for c in change_instants:
        out += [c - 3601, c - 3600, c - 1, c, c + 1, c + 3599, c + 3600]
    out += [rng.randrange(start, end) for _ in range(count)]
    return out


def rules_table(out, rng):
    start = calendar.timegm((1900, 1, 2, 0, 0, 0))
    end = calendar.timegm((2400, 12, 30, 0, 0, 0))
    for rule in RULES:
        os.environ["TZ"] = rule
        time.tzset()
        out.write("R %s\n" % rule)
        # The rule repeats yearly: changes of a few years, then random years.
        years = [1900, 1901, 2000, 2024, 2100, 2399] + [rng.randrange(1900, 2400) for _ in range(20)]
        found = []
        for y in years:
            a = calendar.timegm((y, 1, 1, 0, 0, 0))
            found += changes(lambda u: host_localtime(u).tm_isdst, max(a, start), min(a + 366 * 86400, end))
        for u in probes_around(found, rng, start, end, 3000):
            t = host_localtime(u)
            out.write("L %d %s\n" % (u + EPOCH, fields(t)))
            wall = wall_key(t)
            out.write("M %d %d %d %d %d %d %d\n" % (wall[0] - 1900, wall[1] - 1, wall[2], wall[3], wall[4],
                                                    wall[5], rule_mktime(wall) + EPOCH))
            # The skipped hour, read as daylight time.
            if t.tm_hour < 23:
                wall = wall[:3] + (wall[3] + 1,) + wall[4:]
                out.write("M %d %d %d %d %d %d %d\n" % (wall[0] - 1900, wall[1] - 1, wall[2], wall[3], wall[4],
                                                        wall[5], rule_mktime(wall) + EPOCH))
    del os.environ["TZ"]
    time.tzset()


def zones_table(out, rng):
    for name, first in ZONES:
        zone = zoneinfo.ZoneInfo(name)
        start = calendar.timegm((first, 1, 1, 0, 0, 0))
        end = calendar.timegm((2037, 12, 31, 0, 0, 0))
        out.write("Z %s %d\n" % (name, first))

        def offset_at(u):
            return datetime.datetime.fromtimestamp(u, zone).utcoffset()

        for u in probes_around(changes(offset_at, start, end), rng, start, end, 10000):
            d = datetime.datetime.fromtimestamp(u, zone)
            dst = 1 if d.dst() else 0
            out.write("L %d %d %d %d %d %d %d %d %d %d\n" % (u + EPOCH, d.year - 1900, d.month - 1, d.day, d.hour,
                                                             d.minute, d.second, (d.weekday() + 1) % 7,
                                                             d.timetuple().tm_yday - 1, dst))
            # Wall fields read back: a repeated hour as standard, a skipped one as daylight time.
            for shift in (0, 3600):
                w = (d.replace(tzinfo=None) + datetime.timedelta(seconds=shift))
                back = int(w.replace(tzinfo=zone, fold=1).timestamp())
                out.write("M %d %d %d %d %d %d %d\n" % (w.year - 1900, w.month - 1, w.day, w.hour, w.minute,
                                                        w.second, back + EPOCH))


def main():
    directory = sys.argv[1]
    os.makedirs(directory, exist_ok=True)
    for name, writer in (("calendar.txt", calendar_table), ("rules.txt", rules_table), ("zones.txt", zones_table)):
        path = os.path.join(directory, name)
        with open(path + ".tmp", "w", newline="\n") as out:
            writer(out, random.Random(name))
        os.replace(path + ".tmp", path)


if __name__ == "__main__":
    main()
