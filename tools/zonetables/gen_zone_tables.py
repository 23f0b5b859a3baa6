#!/usr/bin/env python3
"""Generates src/timezone/TimeZoneTables.cpp, the zone tables compiled into
the time-zone library.

Run by hand after changing one of the data files of this folder or when the
zone data should follow a newer tzdata package; the output is committed.

    tools/zonetables/gen_zone_tables.py [--zoneinfo DIR] [--output FILE]
    tools/zonetables/gen_zone_tables.py --row NAME     (prints one generated row)

Inputs (this folder):
  abbreviations.tsv  the zone abbreviations, in table order
  display.tsv        the zones keyed by display name, in table order
  cdo.tsv            the Olson name of each CDO zone id (line n = id n)
  olson_keys.txt     the keys of the Olson-name table, in table order
  olson_fixed.tsv    Olson rows kept as they stand (not generated)

Every other Olson row is built from the zone's file in the zoneinfo tree
(Debian's tzdata): the POSIX TZ rule at the end of the file gives the
offsets and the yearly rules, and the zone's transitions give the onset, the
first transition from which on the present rule has been followed without a
break. Python 3 standard library only.

The tzdata release read goes into the output as tables::tzdataVersion. The
tests that hold the tables against the machine's zoneinfo files run only
where the machine has that release and skip elsewhere, so a tzdata update
never fails them: regenerate the tables to follow it.
"""

import argparse
import calendar
import datetime
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
DAYS = ["SU", "MO", "TU", "WE", "TH", "FR", "SA"]  # POSIX weekday order

# Names that the tzdata package no longer ships and the zone each stood for.
RETIRED = {"US/Pacific-New": "America/Los_Angeles"}


class GenError(Exception):
    pass


# --------------------------------------------------------------------------
# zoneinfo files


def read_tzif(path):
    """Returns (transitions, footer): transitions as a list of
    (utc seconds, offset before, offset after) from the 64-bit section."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:4] != b"TZif":
        raise GenError("%s: not a TZif file" % path)

    def counts(off):
        return struct.unpack(">6l", data[off + 20:off + 44])

    isut, isstd, leap, timecnt, typecnt, charcnt = counts(0)
    if data[4] < ord("2"):
        raise GenError("%s: version 1 file without a rule footer" % path)
    off = 44 + timecnt * 5 + typecnt * 6 + charcnt + leap * 8 + isstd + isut
    isut, isstd, leap, timecnt, typecnt, charcnt = counts(off)
    off += 44
    times = struct.unpack(">%dq" % timecnt, data[off:off + 8 * timecnt])
    off += 8 * timecnt
    idx = data[off:off + timecnt]
    off += timecnt
    types = [struct.unpack(">lBB", data[off + 6 * i:off + 6 * i + 6]) for i in range(typecnt)]
    off += 6 * typecnt + charcnt + leap * 12 + isstd + isut
    footer = data[off:].split(b"\n")[1].decode("ascii")
    # Before the first transition the first type holds (RFC 8536).
    prev = types[0][0]
    trans = []
    for i, t in enumerate(times):
        now = types[idx[i]][0]
        trans.append((t, prev, now))
        prev = now
    return trans, footer


def read_links(zoneinfo):
    links = {}
    try:
        with open(os.path.join(zoneinfo, "tzdata.zi")) as f:
            for line in f:
                p = line.split()
                if len(p) == 3 and p[0] == "L":
                    links[p[2]] = p[1]
    except OSError:
        pass
    return links


def canonical(name, links):
    seen = set()
    while name in links and name not in seen:
        seen.add(name)
        name = links[name]
    return name


# --------------------------------------------------------------------------
# POSIX TZ rules


class Posix:
    def __init__(self, text):
        self.text, self.pos = text, 0
        self.std = self.name()
        self.stdoff = -self.offset()
        self.dst = None
        self.dstoff = None
        self.rules = None
        if self.pos < len(text):
            self.dst = self.name()
            if self.pos < len(text) and text[self.pos] not in ",;":
                self.dstoff = -self.offset()
            else:
                self.dstoff = self.stdoff + 3600
            if self.pos < len(text) and text[self.pos] == ",":
                self.pos += 1
                start = self.rule()
                self.expect(",")
                end = self.rule()
                self.rules = (start, end)
            if self.pos != len(text):
                raise GenError("unread rest in TZ rule %r" % text)
            if self.rules is None:
                raise GenError("TZ rule without dates %r" % text)

    def expect(self, c):
        if self.pos >= len(self.text) or self.text[self.pos] != c:
            raise GenError("expected %r in %r" % (c, self.text))
        self.pos += 1

    def name(self):
        t = self.text
        if t[self.pos] == "<":
            end = t.index(">", self.pos)
            n = t[self.pos + 1:end]
            self.pos = end + 1
            return n
        start = self.pos
        while self.pos < len(t) and t[self.pos].isalpha():
            self.pos += 1
        return t[start:self.pos]

    def offset(self):
        t = self.text
        sign = 1
        if t[self.pos] in "+-":
            sign = -1 if t[self.pos] == "-" else 1
            self.pos += 1
        parts = []
        while True:
            start = self.pos
            while self.pos < len(t) and t[self.pos].isdigit():
                self.pos += 1
            if start == self.pos:
                raise GenError("number expected in %r" % t)
            parts.append(int(t[start:self.pos]))
            if self.pos < len(t) and t[self.pos] == ":" and len(parts) < 3:
                self.pos += 1
                continue
            break
        while len(parts) < 3:
            parts.append(0)
        return sign * (parts[0] * 3600 + parts[1] * 60 + parts[2])

    def rule(self):
        t = self.text
        if t[self.pos] != "M":
            raise GenError("only Mm.w.d dates are supported: %r" % t)
        self.pos += 1
        nums = []
        for i in range(3):
            start = self.pos
            while self.pos < len(t) and t[self.pos].isdigit():
                self.pos += 1
            nums.append(int(t[start:self.pos]))
            if i < 2:
                self.expect(".")
        time = 7200
        if self.pos < len(t) and t[self.pos] == "/":
            self.pos += 1
            time = self.offset()
        return Rule(nums[0], nums[1], nums[2], time)


class Rule:
    """One POSIX Mm.w.d/time date, turned into an RRULE and its day."""

    def __init__(self, month, week, weekday, time):
        self.month, self.week, self.weekday = month, week, weekday
        self.shift = time // 86400  # days added by a time past 24:00 or below 0
        self.time = time - self.shift * 86400

    def base_day(self, year):
        # day of month of the week-th weekday (week 5: the last one)
        first = (calendar.weekday(year, self.month, 1) + 1) % 7  # 0 Sunday
        day = 1 + (self.weekday - first) % 7 + 7 * (self.week - 1)
        length = calendar.monthrange(year, self.month)[1]
        while day > length:
            day -= 7
        return day

    def date(self, year):
        return datetime.date(year, self.month, self.base_day(year)) + datetime.timedelta(days=self.shift)

    def rrule(self):
        m = self.month
        if self.shift == 0:
            ordinal = "-1" if self.week == 5 else str(self.week)
            return "FREQ=YEARLY;BYMONTH=%d;BYDAY=%s%s" % (m, ordinal, DAYS[self.weekday])
        day = DAYS[(self.weekday + self.shift) % 7]
        if self.week == 5:
            if m == 2:
                raise GenError("shifted last weekday of February is not supported")
            length = calendar.monthrange(2001, m)[1]
            low, high = length - 6, length
        else:
            low, high = 7 * (self.week - 1) + 1, 7 * self.week
        low, high = low + self.shift, high + self.shift
        if low >= 1 and high <= (28 if m == 2 else calendar.monthrange(2001, m)[1]):
            days = ",".join(str(d) for d in range(low, high + 1))
            return "FREQ=YEARLY;BYMONTH=%d;BYMONTHDAY=%s;BYDAY=%s" % (m, days, day)
        if low >= 1 and m >= 3:
            # The window runs into the next month: count the days from the end
            # of the year, which does not depend on leap years from March on.
            year_end = datetime.date(2001, 12, 31)
            days = []
            for d in range(low, high + 1):
                when = datetime.date(2001, m, 1) + datetime.timedelta(days=d - 1)
                days.append(str(-((year_end - when).days + 1)))
            return "FREQ=YEARLY;BYYEARDAY=%s;BYDAY=%s" % (",".join(days), day)
        raise GenError("rule window %d..%d of month %d is not supported" % (low, high, m))


# --------------------------------------------------------------------------
# rows


def fmt_offset(seconds):
    sign = "-" if seconds < 0 else "+"
    a = abs(seconds)
    if a % 60:
        raise GenError("offset with seconds: %d" % seconds)
    return "%s%02d%02d" % (sign, a // 3600, a // 60 % 60)


def onset_year(trans, rule, off_from, off_to, horizon=None):
    """The first year of the trailing run of transitions from off_from to
    off_to that fall on the rule's day; None when there is none.

    With a horizon year, transitions after it are left out and transitions
    that miss the rule are skipped until the first one that follows it:
    for zones whose listed transitions keep departing from their yearly rule
    (Ramadan in Palestine) this finds the latest run that kept it."""
    year = None
    for t, before, after in reversed(trans):
        local = datetime.datetime(1970, 1, 1) + datetime.timedelta(seconds=t + before)
        if horizon is not None and local.year > horizon:
            continue
        if (before, after) == (off_from, off_to):
            if local.date() != rule.date(local.year):
                if horizon is not None and year is None:
                    continue
                break
            year = local.year
        elif before != after and {before, after} != {off_from, off_to}:
            break  # another change of offsets ends the present rules
    return year


def onset_text(rule, year):
    d = rule.date(year)
    return "%04d%02d%02dT%02d%02d%02d" % (d.year, d.month, d.day, rule.time // 3600,
                                            rule.time // 60 % 60, rule.time % 60)


def generate_zone(name, zoneinfo):
    path = os.path.join(zoneinfo, RETIRED.get(name, name))
    trans, footer = read_tzif(path)
    p = Posix(footer)
    if p.rules is None:
        return [fmt_offset(p.stdoff), "", "", "", "", ""]
    std_off, dst_off = p.stdoff, p.dstoff
    dst_rule, std_rule = p.rules  # POSIX: start of daylight time, then its end
    if dst_off < std_off:
        # Negative daylight saving (Europe/Dublin): the winter offset is the
        # standard one.
        std_off, dst_off = dst_off, std_off
        dst_rule, std_rule = std_rule, dst_rule
    std_year = onset_year(trans, std_rule, dst_off, std_off)
    dst_year = onset_year(trans, dst_rule, std_off, dst_off)
    if std_year is None or dst_year is None:
        std_year = onset_year(trans, std_rule, dst_off, std_off, horizon=2037)
        dst_year = onset_year(trans, dst_rule, std_off, dst_off, horizon=2037)
    if std_year is None or dst_year is None:
        raise GenError("%s: no transition follows the rule %s" % (name, footer))
    return [fmt_offset(std_off), fmt_offset(dst_off), onset_text(std_rule, std_year),
            onset_text(dst_rule, dst_year), std_rule.rrule(), dst_rule.rrule()]


def read_tsv(name):
    rows = []
    with open(os.path.join(HERE, name), encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\n")
            if line.startswith("#"):
                continue
            rows.append(line.split("\t"))
    return rows


def iso_offset(text):
    # "+PT10H30M" -> seconds
    sign = -1 if text[0] == "-" else 1
    body = text[3:]
    h, rest = body.split("H")
    return sign * (int(h) * 3600 + int(rest.rstrip("M")) * 60)


def table_offset(text, abbrs):
    if text == "":
        return None
    if text[0] in "+-":
        v = int(text[1:])
        s = (v // 100) * 3600 + (v % 100) * 60
        return -s if text[0] == "-" else s
    for a in abbrs:
        if a[0] == text:
            return iso_offset(a[1])
    raise GenError("unknown abbreviation %s" % text)


def choose_cdo_ids(name, row, display, cdo, abbrs, links):
    """CDO ids of an Olson row: the zone's own id when the CDO table names it
    (or a name for the same zone), else the ids of the first display-name zone
    with the same offsets and rules, then with the same offsets, then with
    the same standard offset; 1 (Etc/GMT) when nothing fits."""
    mine = canonical(RETIRED.get(name, name), links)
    for i, n in enumerate(cdo):
        if n and (n == name or canonical(n, links) == mine):
            return [max(i, 1)]
    std = table_offset(row[0], abbrs)
    dst = table_offset(row[1], abbrs)
    tests = [
        lambda d: (table_offset(d[1], abbrs), table_offset(d[2], abbrs), d[5], d[6]) == (std, dst, row[4], row[5]),
        lambda d: (table_offset(d[1], abbrs), table_offset(d[2], abbrs)) == (std, dst),
        lambda d: table_offset(d[1], abbrs) == std,
    ]
    for test in tests:
        for d in display:
            if test(d):
                return [int(x) for x in d[7].split(",")]
    return [1]


def build(zoneinfo):
    abbrs = read_tsv("abbreviations.tsv")
    display = read_tsv("display.tsv")
    cdo = [r[0] if r else "" for r in read_tsv("cdo.tsv")]
    with open(os.path.join(HERE, "olson_keys.txt")) as f:
        keys = [k.strip() for k in f if k.strip()]
    fixed = {}
    for r in read_tsv("olson_fixed.tsv"):
        vals = ["" if v == '""' else v for v in r[2:8]]
        fixed[(r[0], int(r[1]))] = (vals, r[8])
    links = read_links(zoneinfo)
    olson = []
    seen = {}
    for name in keys:
        seen[name] = seen.get(name, 0) + 1
        if (name, seen[name]) in fixed:
            vals, ids = fixed[(name, seen[name])]
        else:
            vals, ids = generate_zone(name, zoneinfo), "-"
        if ids == "-":
            ids = choose_cdo_ids(name, vals, display, cdo, abbrs, links)
        else:
            ids = [int(x) for x in ids.split(",")]
        olson.append([name] + vals + [ids])
    return abbrs, display, cdo, olson


# --------------------------------------------------------------------------
# output


def cstr(s):
    return '"' + s.replace("\\", "\\\\").replace('"', '\\"') + '"'


def zone_line(name, vals, ids):
    ids = list(ids) + [-1] * (4 - len(ids))
    return "    {%s, {%s}},\n" % (", ".join(cstr(x) for x in [name] + vals), ", ".join(str(i) for i in ids))


def write_cpp(out, abbrs, display, cdo, olson, version):
    w = out.write
    w("// Generated by tools/zonetables/gen_zone_tables.py from the data files of\n")
    w("// that folder and the zoneinfo files of tzdata %s. Do not edit by hand.\n" % version)
    w('#include "timezone/TimeZoneTables.h"\n\n')
    w("namespace tavir::timezone::tables {\n\n")
    w("const char tzdataVersion[] = %s;\n\n" % cstr(version))
    w("const RawAbbr abbreviationRows[%d] = {\n" % len(abbrs))
    for a in abbrs:
        w("    {%s, %s, %s},\n" % (cstr(a[0]), cstr(a[1]), a[2]))
    w("};\n\n")
    w("const RawZone displayZoneRows[%d] = {\n" % len(display))
    for d in display:
        w(zone_line(d[0], d[1:7], [int(x) for x in d[7].split(",")]))
    w("};\n\n")
    w("const RawZone olsonZoneRows[%d] = {\n" % len(olson))
    for o in olson:
        w(zone_line(o[0], o[1:7], o[7]))
    w("};\n\n")
    w("const char* const cdoNameRows[%d] = {\n" % len(cdo))
    for n in cdo:
        w("    %s,\n" % cstr(n))
    w("};\n\n")
    w("} // namespace tavir::timezone::tables\n")


def tzdata_version(zoneinfo):
    try:
        with open(os.path.join(zoneinfo, "tzdata.zi")) as f:
            first = f.readline().split()
            return first[-1]
    except OSError:
        return "(unknown)"


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--zoneinfo", default="/usr/share/zoneinfo")
    ap.add_argument("--output", default=os.path.join(ROOT, "src", "timezone", "TimeZoneTables.cpp"))
    ap.add_argument("--row", action="append", help="print the generated row of a zone and stop")
    args = ap.parse_args()
    try:
        if args.row:
            abbrs = read_tsv("abbreviations.tsv")
            display = read_tsv("display.tsv")
            cdo = [r[0] if r else "" for r in read_tsv("cdo.tsv")]
            links = read_links(args.zoneinfo)
            for name in args.row:
                vals = generate_zone(name, args.zoneinfo)
                ids = choose_cdo_ids(name, vals, display, cdo, abbrs, links)
                print("\t".join([name] + vals + [",".join(str(i) for i in ids)]))
            return 0
        abbrs, display, cdo, olson = build(args.zoneinfo)
        with open(args.output, "w", encoding="utf-8") as out:
            write_cpp(out, abbrs, display, cdo, olson, tzdata_version(args.zoneinfo))
    except (GenError, OSError) as e:
        print("gen_zone_tables: %s" % e, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
