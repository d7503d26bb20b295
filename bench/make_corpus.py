#!/usr/bin/python3
"""Writes the benchmark's TIFF files, the same bytes for the same seed.

  corpus/   2,000 small files of one to three pages, both byte orders, each page with a
            random subset of the eleven textual tags, about a third with XMP packets of
            200 B to 20 KB; and pages-2000.tif, one file of 2,000 such pages
  scaling/  chain-N.tif: N pages in one chain (10 to 100,000)
            wide-N.tif: one IFD of N entries (10 to 65,535)

With --many N it writes only many-N/: N one-page files in folders of 1,000, as an archive
keeps them (64 distinct pages, repeated), for the runs over many files.

Every page is a valid 8x8 grey image, so every peer reader accepts it."""
import argparse
import os
import random
import struct

TEXT_TAGS = [269, 270, 271, 272, 305, 306, 315, 316, 333, 337, 33432]
DATETIME, INKNAMES, XMP = 306, 333, 700
ASCII, BYTE, SHORT, LONG, RATIONAL, UNDEFINED = 2, 1, 3, 4, 5, 7
CHAINS = [10, 100, 1000, 10000, 100000]
WIDTHS = [10, 100, 1000, 10000, 65535]

WORDS = ("harbour north pier boats dawn survey scan archive plate field station copy "
         "river valley lens sensor colour mono north east atlas sheet index draft").split()


class Page:
    """One IFD: entries as (tag, type, count, value bytes or inline int)."""

    def __init__(self):
        self.entries = {}

    def add(self, tag, typ, value):
        self.entries[tag] = (typ, value)


def image_tags(page, strip_offset):
    page.add(256, SHORT, 8)             # ImageWidth
    page.add(257, SHORT, 8)             # ImageLength
    page.add(258, SHORT, 8)             # BitsPerSample
    page.add(259, SHORT, 1)             # no compression
    page.add(262, SHORT, 1)             # black is zero
    page.add(273, LONG, strip_offset)   # StripOffsets
    page.add(277, SHORT, 1)             # SamplesPerPixel
    page.add(278, SHORT, 8)             # RowsPerStrip
    page.add(279, LONG, 64)             # StripByteCounts


def text_value(rng, tag):
    if tag == DATETIME:
        return "%04d:%02d:%02d %02d:%02d:%02d\0" % (
            rng.randint(1990, 2030), rng.randint(1, 12), rng.randint(1, 28),
            rng.randint(0, 23), rng.randint(0, 59), rng.randint(0, 59))
    if tag == INKNAMES:
        # One ink per sample: an 8-bit grey page has one.
        return rng.choice(["Black", "Process Black", "Grey K"]) + "\0"
    if rng.random() < 0.15:  # short enough to stand in the entry itself
        return rng.choice(["HP", "A1", "xyz", "Q"]) + "\0"
    words = rng.randint(1, 12 if tag == 270 else 4)
    return " ".join(rng.choice(WORDS) for _ in range(words)).capitalize() + "\0"


def xmp_packet(rng, size):
    """A well-formed packet of about size bytes (at least 200): properties, then padding;
    the xpacket wrapper only where there is room for it."""
    head = ('<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF xmlns:rdf='
            '"http://www.w3.org/1999/02/22-rdf-syntax-ns#"><rdf:Description rdf:about=""'
            ' xmlns:zb="http://ns.zudor.example/b/">')
    tail = '</rdf:Description></rdf:RDF></x:xmpmeta>'
    wrap = size >= 400
    begin = '<?xpacket begin="\ufeff" id="W5M0MpCehiHzreSzNTczkc9d"?>\n' if wrap else ''
    end = '<?xpacket end="w"?>' if wrap else ''
    budget = int(size * 0.6) - len(begin.encode()) - len(head) - len(tail)
    body, i = [], 0
    while True:
        line = "<zb:F%d>%s</zb:F%d>\n" % (i, " ".join(rng.choice(WORDS) for _ in range(3)), i)
        if i > 0 and len(line) > budget:
            break
        body.append(line)
        budget -= len(line)
        i += 1
    text = (begin + head + "".join(body) + tail).encode()
    padding = size - len(text) - len(end)
    return text + b" " * max(padding, 0) + end.encode()


def random_page(rng, strip_offset, with_xmp):
    page = Page()
    image_tags(page, strip_offset)
    for tag in TEXT_TAGS:
        if rng.random() < 0.45:
            page.add(tag, ASCII, text_value(rng, tag).encode("latin-1"))
    if with_xmp:
        size = int(round(200 * 100 ** rng.random()))  # log-uniform 200 B .. 20 KB
        page.add(XMP, BYTE, xmp_packet(rng, size))
    return page


def value_bytes(order, typ, value):
    if isinstance(value, bytes):
        return value
    return struct.pack(order + ("H" if typ == SHORT else "I"), value)


class Writer:
    """Lays pages out as common writers do: strip, out-of-line values, then the IFD."""

    def __init__(self, little):
        self.order = "<" if little else ">"
        self.out = bytearray((b"II" if little else b"MM") + struct.pack(self.order + "HI", 42, 0))
        self.link_at = 4  # where the next IFD's offset goes

    def align(self):
        if len(self.out) % 2:
            self.out += b"\0"

    def strip(self):
        self.align()
        at = len(self.out)
        self.out += bytes(range(0, 256, 4))
        return at

    def page(self, page):
        o = self.order
        fields = []
        for tag in sorted(page.entries):
            typ, value = page.entries[tag]
            raw = value_bytes(o, typ, value)
            count = len(raw) if typ in (ASCII, BYTE, UNDEFINED) else 1
            if len(raw) <= 4:
                field = raw + b"\0" * (4 - len(raw))
                if typ == SHORT:  # a SHORT stands in the first two bytes
                    field = struct.pack(o + "HH", value, 0)
            else:
                self.align()
                field = struct.pack(o + "I", len(self.out))
                self.out += raw
            fields.append(struct.pack(o + "HHI", tag, typ, count) + field)
        self.align()
        at = len(self.out)
        struct.pack_into(o + "I", self.out, self.link_at, at)
        self.out += struct.pack(o + "H", len(fields)) + b"".join(fields)
        self.link_at = len(self.out)
        self.out += b"\0\0\0\0"

    def write(self, path):
        with open(path, "wb") as f:
            f.write(self.out)


def small_file(rng, path, pages):
    w = Writer(rng.random() < 0.5)
    xmp = rng.random() < 1 / 3
    for i in range(pages):
        # The packet sits on the first page, and now and then on a later one as well.
        w.page(random_page(rng, w.strip(), xmp and (i == 0 or rng.random() < 0.3)))
    w.write(path)


def chain_file(path, n):
    w = Writer(n % 2 == 0)
    strip = w.strip()
    for i in range(n):
        page = Page()
        image_tags(page, strip)
        page.add(285, ASCII, b"Page %d\0" % (i + 1))         # PageName: read, not kept
        page.add(305, ASCII, b"ZUDOR bench writer\0")        # Software: kept as a property
        w.page(page)
    w.write(path)


def wide_file(rng, path, n):
    """One page whose IFD holds n entries: the image tags, the eleven textual tags, and
    filler entries of every other tag number (mostly inline numbers, some ASCII)."""
    w = Writer(True)
    page = Page()
    image_tags(page, w.strip())
    for tag in TEXT_TAGS:
        page.add(tag, ASCII, text_value(rng, tag).encode("latin-1"))
    used = set(page.entries) | {XMP}
    # Tags no reader knows come first, so peers accept the files they can take at all.
    order = list(range(60000, 65536)) + list(range(60000))
    fillers = [t for t in order if t not in used]
    for tag in fillers[:max(0, n - len(page.entries))]:
        if tag % 16 == 0:
            page.add(tag, ASCII, b"filler %05d\0" % tag)
        else:
            page.add(tag, UNDEFINED, struct.pack("<I", tag))
    for tag in reversed(TEXT_TAGS):  # the narrowest files keep the image tags
        if len(page.entries) > n:
            page.entries.pop(tag)
    w.page(page)
    w.write(path)


def many_files(rng, outdir, n):
    pages = []
    for _ in range(64):
        w = Writer(rng.random() < 0.5)
        w.page(random_page(rng, w.strip(), rng.random() < 0.1))
        pages.append(bytes(w.out))
    root = os.path.join(outdir, "many-%d" % n)
    for i in range(n):
        if i % 1000 == 0:
            folder = os.path.join(root, "%04d" % (i // 1000))
            os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "%07d.tif" % i), "wb") as f:
            f.write(pages[i % len(pages)])


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("outdir")
    ap.add_argument("--seed", type=int, default=20240229)
    ap.add_argument("--files", type=int, default=2000)
    ap.add_argument("--big-pages", type=int, default=2000)
    ap.add_argument("--many", type=int, metavar="N", help="only write N one-page files")
    args = ap.parse_args()
    rng = random.Random(args.seed)
    if args.many:
        many_files(rng, args.outdir, args.many)
        return
    corpus = os.path.join(args.outdir, "corpus")
    scaling = os.path.join(args.outdir, "scaling")
    os.makedirs(corpus, exist_ok=True)
    os.makedirs(scaling, exist_ok=True)
    for i in range(args.files):
        small_file(rng, os.path.join(corpus, "doc-%05d.tif" % i), rng.randint(1, 3))
    w = Writer(False)
    for i in range(args.big_pages):
        w.page(random_page(rng, w.strip(), rng.random() < 0.1))
    w.write(os.path.join(corpus, "pages-%d.tif" % args.big_pages))
    for n in CHAINS:
        chain_file(os.path.join(scaling, "chain-%d.tif" % n), n)
    for n in WIDTHS:
        wide_file(rng, os.path.join(scaling, "wide-%d.tif" % n), n)


if __name__ == "__main__":
    main()
