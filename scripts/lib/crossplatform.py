#!/usr/bin/python3
"""Helpers of the cross-platform comparison (scripts/legs/35-crossplatform.sh).

  crossplatform.py documents SEEDS OUT   writes the date documents and the cut seed documents
  crossplatform.py packets PACKETS OUT   writes each XMP packet of PACKETS into a one-page TIFF
  crossplatform.py admit ZONE UTC LOCAL LIST
      lists the files whose records both platforms define alike in the daylight-saving ZONE:
      UTC and LOCAL are the Linux tool's JSON Lines for every document with TZ=UTC and
      TZ=ZONE; the admitted files go to LIST, one per line, in the records' order.

Where Linux (glibc's mktime held to 1970..3000 UTC) and Windows (msvcrt's _mktime64 as Wine
8 has it) read a local DateTime differently in a US zone such as EST5EDT, measured hour by
hour over 1970..2040 and 2999..3000:
  - the hour skipped when clocks go forward (02:00-02:59): Linux reads it as standard time,
    Windows as daylight time, an hour earlier;
  - the hour repeated when clocks go back (01:00-01:59): Linux takes the first (daylight)
    one, Windows the second (standard) one, an hour later;
  - before 1987 Windows applies the rules of 1987-2006 (first Sunday in April to last Sunday
    in October), where the zone's history starts daylight time on the last Sunday in April
    (on 6 January in 1974 and 23 February in 1975);
  - 1969-12-31 from 19:00 (after 1970-01-01 00:00 UTC): Linux converts, Windows refuses any
    local date before 1970;
  - 3000-12-31 from 19:00 (after 3000-12-31 23:59:59 UTC): Windows converts, since its limit
    is the local year 3000, where Linux keeps to the UTC end.
With TZ=UTC the two agree on every hour."""
import datetime
import json
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "bench"))
from make_corpus import ASCII, BYTE, XMP, Page, Writer, image_tags  # noqa: E402

DATETIME = 306
# Wall times worth reading in both zones: the edges the two platforms define differently,
# which the daylight-saving run leaves out, and their neighbours, which it keeps.
DATES = [
    "1969:12:31 18:59:59", "1969:12:31 19:00:00", "1969:12:31 23:59:59", "1970:01:01 00:00:00",
    "1970:01:01 04:59:59", "1970:01:01 05:00:00", "1974:02:01 12:00:00", "1986:04:27 03:00:00",
    "1986:12:31 23:59:59", "1987:01:01 00:00:00", "1987:04:05 01:59:59", "1987:04:05 02:00:00",
    "1987:04:05 03:00:00", "1990:10:28 00:59:59", "1990:10:28 01:30:00", "1990:10:28 02:00:00",
    "2006:04:02 02:59:59", "2006:10:29 01:00:00", "2007:03:11 02:30:00", "2007:03:11 03:00:00",
    "2007:11:04 01:59:59", "2007:11:04 02:00:00", "2024:02:29 13:45:00", "2024:03:10 01:59:59",
    "2024:03:10 02:00:00", "2024:11:03 01:00:00", "2024:11:03 00:59:59", "2024:13:01 00:00:00",
    "2024:06:31 25:61:61", "2038:01:19 03:14:08", "2999:12:31 23:59:59", "3000:12:31 18:59:59",
    "3000:12:31 19:00:00", "3000:12:31 23:59:59", "3001:01:01 00:00:00", "0000:00:00 00:00:00",
]
# Names that are not ASCII, which Windows meets as UTF-16 and writes back as UTF-8.
NAMES = ["zeit-\u00e4\u00f6\u00fc", "\u65e5\u4ed8", "d\u00e9j\u00e0 vu", "\u0394t-\U0001f570"]
# Seeds cut at every length: the header, the entries, the values and the links each end early.
CUT_SEEDS = ["ii-every-tag.tif", "mm-every-tag.tif", "ii-chain.tif", "mm-xmp-ascii-two-ifds.tif",
             "ii-bad-dates.tif", "mm-repeats.tif"]


def write_dates(dates):
    """A document for each of DATES, the first under names that are not ASCII."""
    os.makedirs(os.path.join(dates, NAMES[0]), exist_ok=True)
    for i, text in enumerate(DATES):
        w = Writer(i % 2 == 0)
        page = Page()
        image_tags(page, w.strip())
        page.add(DATETIME, ASCII, text.encode() + b"\0")
        w.page(page)
        name = "date-%02d.tif" % i if i >= len(NAMES) else os.path.join(NAMES[0], NAMES[i] + ".tif")
        w.write(os.path.join(dates, name))


def write_documents(seeds, out):
    write_dates(os.path.join(out, "dates"))
    cuts = os.path.join(out, "cuts")
    os.makedirs(cuts, exist_ok=True)
    for seed in CUT_SEEDS:
        with open(os.path.join(seeds, seed), "rb") as f:
            whole = f.read()
        for n in range(len(whole)):
            with open(os.path.join(cuts, "%s-%04d.tif" % (seed[:-4], n)), "wb") as f:
                f.write(whole[:n])


def write_packets(packets, out):
    """The generated XMP packets (tests/xmp/make_packets.py), each in a TIFF of its own, so
    that both platforms' listers read every form of RDF and every malformed packet."""
    os.makedirs(out, exist_ok=True)
    for name in sorted(os.listdir(packets)):
        with open(os.path.join(packets, name), "rb") as f:
            packet = f.read()
        w = Writer(len(packet) % 2 == 0)
        page = Page()
        image_tags(page, w.strip())
        page.add(XMP, BYTE, packet)
        w.page(page)
        w.write(os.path.join(out, name[:-4] + ".tif"))


def nth_sunday(year, month, n):
    first = datetime.date(year, month, 1)
    return first + datetime.timedelta(days=(6 - first.weekday()) % 7 + 7 * (n - 1))


def last_sunday(year, month):
    end = datetime.date(year + month // 12, month % 12 + 1, 1) - datetime.timedelta(days=1)
    return end - datetime.timedelta(days=(end.weekday() + 1) % 7)


def alike(wall, standard_hours):
    """Whether both platforms read this local wall time alike in a US daylight-saving zone
    standard_hours behind UTC."""
    if wall < datetime.datetime(1987, 1, 1):
        return False
    if wall >= datetime.datetime(3001, 1, 1) - datetime.timedelta(hours=standard_hours):
        return False
    if wall.year >= 2007:
        forward, back = nth_sunday(wall.year, 3, 2), nth_sunday(wall.year, 11, 1)
    else:
        forward, back = nth_sunday(wall.year, 4, 1), last_sunday(wall.year, 10)
    day = wall.date()
    return not ((day == forward and wall.hour == 2) or (day == back and wall.hour == 1))


def standard_hours_of(zone):
    # EST5EDT, CST6CDT, ...: the hours after the three-letter name.
    digits = "".join(c for c in zone[3:] if c.isdigit())
    return int(digits)


def admit(zone, utc_path, local_path, list_path):
    hours = standard_hours_of(zone)
    kept = left_out = 0
    with open(utc_path, encoding="utf-8") as utc, open(local_path, encoding="utf-8") as local, \
            open(list_path, "w", encoding="utf-8", newline="\n") as out:
        for u, l in zip(utc, local):
            u, l = json.loads(u), json.loads(l)
            assert u["file"] == l["file"], (u["file"], l["file"])
            created = u.get("createTime")
            if created is None:
                # No date before 1970 in UTC reads in the zone, but for the evening of
                # 1969-12-31, which only Linux converts.
                ok = l.get("createTime") is None
            else:
                ok = alike(datetime.datetime.strptime(created, "%Y-%m-%dT%H:%M:%SZ"), hours)
            if ok:
                out.write(u["file"] + "\n")
                kept += 1
            else:
                left_out += 1
    print(kept, left_out)


def main():
    if sys.argv[1:2] == ["documents"] and len(sys.argv) == 4:
        write_documents(sys.argv[2], sys.argv[3])
    elif sys.argv[1:2] == ["packets"] and len(sys.argv) == 4:
        write_packets(sys.argv[2], sys.argv[3])
    elif sys.argv[1:2] == ["admit"] and len(sys.argv) == 6:
        admit(*sys.argv[2:])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
