#!/usr/bin/python3
"""Writes the benchmark's TIFF files, the same bytes for the same seed.

  corpus/   2,000 small files of one to three pages, both byte orders, each page with a
            random subset of the eleven textual tags, about a third with XMP packets of
            200 B to 20 KB; and pages-2000.tif, one file of 2,000 such pages
  scaling/  chain-N.tif: N pages in one chain (10 to 100,000)
            wide-N.tif: one IFD of N entries (10 to 65,535)

With --xmp-heavy it writes only xmp-heavy/: 2,000 files of one to three pages, about 60% with
a packet of 5 to 50 KB on the first page, as photo workflows write them (edit history, keywords,
titles in several languages, face regions, raw-development settings, 2 KB of padding).

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


# ---- The XMP-heavy corpus: packets as photo workflows write them ----

NAMESPACES = [
    ("x", "adobe:ns:meta/"),
    ("rdf", "http://www.w3.org/1999/02/22-rdf-syntax-ns#"),
    ("xmp", "http://ns.adobe.com/xap/1.0/"),
    ("xmpMM", "http://ns.adobe.com/xap/1.0/mm/"),
    ("stEvt", "http://ns.adobe.com/xap/1.0/sType/ResourceEvent#"),
    ("stRef", "http://ns.adobe.com/xap/1.0/sType/ResourceRef#"),
    ("dc", "http://purl.org/dc/elements/1.1/"),
    ("photoshop", "http://ns.adobe.com/photoshop/1.0/"),
    ("crs", "http://ns.adobe.com/camera-raw-settings/1.0/"),
    ("tiff", "http://ns.adobe.com/tiff/1.0/"),
    ("exif", "http://ns.adobe.com/exif/1.0/"),
    ("aux", "http://ns.adobe.com/exif/1.0/aux/"),
    ("lr", "http://ns.adobe.com/lightroom/1.0/"),
    ("mwg-rs", "http://www.metadataworkinggroup.com/schemas/regions/"),
    ("stArea", "http://ns.adobe.com/xmp/sType/Area#"),
    ("stDim", "http://ns.adobe.com/xap/1.0/sType/Dimensions#"),
    ("Iptc4xmpCore", "http://iptc.org/std/Iptc4xmpCore/1.0/xmlns/"),
    ("xmpRights", "http://ns.adobe.com/xap/1.0/rights/"),
]

KEYWORDS = ("harbour pier boats dawn fog gulls lighthouse fishermen nets quay tide sunrise "
            "portrait wedding family children garden autumn snow mountains lake forest city "
            "street night market bridge cathedral museum concert festival travel holiday").split()
PLACES = ["Zürich", "Ålesund", "Kraków", "São Paulo", "Reykjavík", "Nice", "Porto", "Tromsø", "Málaga"]
PEOPLE = ["Ada Lindqvist", "Jonas Weiß", "Marie Dubois", "Chidi Okafor", "Léa Moreau", "Sven Ødegaard"]
AGENTS = ["Darkroom 12.1 (Windows)", "Darkroom 12.2 (Macintosh)", "Photo Editor 24.0 (Windows)",
          "Catalog Classic 13.0"]
CHANGES = ["/", "/metadata", "/content", "/metadata;/content", "/image/tiff to image/jpeg"]
RAW_SETTINGS = [
    ("Version", lambda r: "15.%d" % r.randint(0, 4)), ("ProcessVersion", lambda r: "11.0"),
    ("WhiteBalance", lambda r: r.choice(["As Shot", "Custom", "Auto"])),
    ("Temperature", lambda r: str(r.randint(2800, 7500))), ("Tint", lambda r: "%+d" % r.randint(-30, 30)),
    ("Exposure2012", lambda r: "%+.2f" % r.uniform(-2, 2)), ("Contrast2012", lambda r: "%+d" % r.randint(-50, 50)),
    ("Highlights2012", lambda r: "%+d" % r.randint(-100, 0)), ("Shadows2012", lambda r: "%+d" % r.randint(0, 100)),
    ("Whites2012", lambda r: "%+d" % r.randint(-40, 40)), ("Blacks2012", lambda r: "%+d" % r.randint(-40, 40)),
    ("Texture", lambda r: "0"), ("Clarity2012", lambda r: "%+d" % r.randint(0, 40)), ("Dehaze", lambda r: "0"),
    ("Vibrance", lambda r: "%+d" % r.randint(0, 30)), ("Saturation", lambda r: "0"),
    ("ParametricShadows", lambda r: "0"), ("ParametricDarks", lambda r: "0"), ("ParametricLights", lambda r: "0"),
    ("ParametricHighlights", lambda r: "0"), ("ParametricShadowSplit", lambda r: "25"),
    ("ParametricMidtoneSplit", lambda r: "50"), ("ParametricHighlightSplit", lambda r: "75"),
    ("Sharpness", lambda r: str(r.randint(20, 60))), ("SharpenRadius", lambda r: "+1.0"),
    ("SharpenDetail", lambda r: "25"), ("SharpenEdgeMasking", lambda r: "0"),
    ("LuminanceSmoothing", lambda r: str(r.randint(0, 30))), ("ColorNoiseReduction", lambda r: "25"),
    ("HueAdjustmentRed", lambda r: "0"), ("HueAdjustmentOrange", lambda r: "0"), ("HueAdjustmentYellow", lambda r: "0"),
    ("HueAdjustmentGreen", lambda r: "0"), ("HueAdjustmentAqua", lambda r: "0"), ("HueAdjustmentBlue", lambda r: "0"),
    ("SaturationAdjustmentRed", lambda r: "0"), ("SaturationAdjustmentOrange", lambda r: "%+d" % r.randint(-20, 20)),
    ("LuminanceAdjustmentRed", lambda r: "0"), ("LuminanceAdjustmentOrange", lambda r: "0"),
    ("SplitToningShadowHue", lambda r: "0"), ("SplitToningHighlightHue", lambda r: "0"),
    ("SplitToningBalance", lambda r: "0"), ("ColorGradeMidtoneHue", lambda r: "0"),
    ("ColorGradeBlending", lambda r: "50"), ("AutoLateralCA", lambda r: "1"), ("LensProfileEnable", lambda r: "1"),
    ("LensManualDistortionAmount", lambda r: "0"), ("VignetteAmount", lambda r: "0"),
    ("DefringePurpleAmount", lambda r: "0"), ("PerspectiveVertical", lambda r: "0"),
    ("GrainAmount", lambda r: "0"), ("PostCropVignetteAmount", lambda r: "0"),
    ("ShadowTint", lambda r: "0"), ("RedHue", lambda r: "0"), ("RedSaturation", lambda r: "0"),
    ("ToneCurveName2012", lambda r: "Linear"), ("CameraProfile", lambda r: "Standard"),
    ("HasSettings", lambda r: "True"), ("HasCrop", lambda r: r.choice(["True", "False"])),
    ("AlreadyApplied", lambda r: "False"),
]


def xmp_id(rng, kind):
    return "xmp.%s:%08x-%04x-%04x-%04x-%012x" % (kind, rng.getrandbits(32), rng.getrandbits(16), rng.getrandbits(16),
                                               rng.getrandbits(16), rng.getrandbits(48))


def xmp_date(rng):
    return "%04d-%02d-%02dT%02d:%02d:%02d%s" % (
        rng.randint(2005, 2024), rng.randint(1, 12), rng.randint(1, 28), rng.randint(0, 23), rng.randint(0, 59),
        rng.randint(0, 59), rng.choice(["+01:00", "+02:00", "Z", "-05:00", ".123+01:00"]))


def xml_text(text):
    return text.replace("&", "&amp;").replace("<", "&lt;")


def keyword(rng):
    word = rng.choice(KEYWORDS + PLACES)
    roll = rng.random()
    if roll < 0.05:
        return word + " & " + rng.choice(KEYWORDS)
    if roll < 0.15:
        return word.capitalize() + " " + str(rng.randint(1990, 2024))
    return word


def history_event(rng, compact, pad):
    fields = [("action", rng.choice(["saved", "saved", "saved", "converted", "derived", "created"])),
              ("instanceID", xmp_id(rng, "iid")), ("when", xmp_date(rng)),
              ("softwareAgent", rng.choice(AGENTS)), ("changed", rng.choice(CHANGES))]
    if fields[0][1] in ("converted", "derived"):
        fields = [fields[0], ("parameters", "from image/x-raw to image/tiff")]
    if compact:
        return pad + "<rdf:li\n" + "".join('%s stEvt:%s="%s"\n' % (pad + "  ", k, xml_text(v)) for k, v in fields) + \
            pad + "  />\n"
    return (pad + '<rdf:li rdf:parseType="Resource">\n' +
            "".join("%s<stEvt:%s>%s</stEvt:%s>\n" % (pad + "  ", k, xml_text(v), k) for k, v in fields) +
            pad + "</rdf:li>\n")


def alt(rng, name, text, pad, langs):
    items = [("x-default", text)] + [(lang, text + " (" + lang + ")") for lang in langs]
    return ("%s<%s>\n%s <rdf:Alt>\n" % (pad, name, pad) +
            "".join('%s  <rdf:li xml:lang="%s">%s</rdf:li>\n' % (pad, lang, xml_text(t)) for lang, t in items) +
            "%s </rdf:Alt>\n%s</%s>\n" % (pad, pad, name))


def array(name, kind, items, pad):
    return ("%s<%s>\n%s <rdf:%s>\n" % (pad, name, pad, kind) +
            "".join("%s  <rdf:li>%s</rdf:li>\n" % (pad, xml_text(item)) for item in items) +
            "%s </rdf:%s>\n%s</%s>\n" % (pad, kind, pad, name))


def regions(rng, count, pad):
    lines = [pad + '<mwg-rs:Regions rdf:parseType="Resource">\n',
             pad + ' <mwg-rs:AppliedToDimensions stDim:w="6000" stDim:h="4000" stDim:unit="pixel"/>\n',
             pad + " <mwg-rs:RegionList>\n", pad + "  <rdf:Bag>\n"]
    for _ in range(count):
        lines.append(
            '%s   <rdf:li>\n%s    <rdf:Description mwg-rs:Name="%s" mwg-rs:Type="Face">\n'
            '%s     <mwg-rs:Area stArea:x="%.5f" stArea:y="%.5f" stArea:w="%.5f" stArea:h="%.5f" '
            'stArea:unit="normalized"/>\n%s    </rdf:Description>\n%s   </rdf:li>\n'
            % (pad, pad, rng.choice(PEOPLE), pad, rng.random(), rng.random(), rng.uniform(0.05, 0.2),
               rng.uniform(0.05, 0.2), pad, pad))
    lines += [pad + "  </rdf:Bag>\n", pad + " </mwg-rs:RegionList>\n", pad + "</mwg-rs:Regions>\n"]
    return "".join(lines)


def heavy_packet(rng, size):
    """A packet of about size bytes as photo workflows write it: simple properties as
    attributes, Dublin Core arrays and alternatives, face regions, an edit history, document
    ancestors, and 2 KB of padding in lines of spaces."""
    pad = "   "
    attrs = [("xmp:CreatorTool", rng.choice(AGENTS)), ("xmp:CreateDate", xmp_date(rng)),
             ("xmp:ModifyDate", xmp_date(rng)), ("xmp:MetadataDate", xmp_date(rng)), ("xmp:Rating", str(rng.randint(0, 5))),
             ("dc:format", "image/tiff"), ("xmpMM:DocumentID", xmp_id(rng, "did")),
             ("xmpMM:InstanceID", xmp_id(rng, "iid")), ("xmpMM:OriginalDocumentID", xmp_id(rng, "did")),
             ("photoshop:ColorMode", "3"), ("photoshop:ICCProfile", "sRGB IEC61966-2.1"),
             ("photoshop:City", rng.choice(PLACES)), ("photoshop:DateCreated", xmp_date(rng)),
             ("tiff:Orientation", "1"), ("exif:ExposureTime", "1/%d" % rng.choice([60, 125, 250, 1000])),
             ("exif:FNumber", "%d/10" % rng.randint(14, 160)), ("aux:Lens", "24-70mm f/2.8"),
             ("aux:SerialNumber", str(rng.getrandbits(32)))]
    settings = RAW_SETTINGS[:rng.randint(10, len(RAW_SETTINGS))] if rng.random() < 0.7 else []
    attrs += [("crs:" + name, make(rng)) for name, make in settings]
    head = ('<?xpacket begin="\ufeff" id="W5M0MpCehiHzreSzNTczkc9d"?>\n'
            '<x:xmpmeta xmlns:x="adobe:ns:meta/" x:xmptk="XMP Core 6.0.0">\n'
            ' <rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">\n'
            '  <rdf:Description rdf:about=""\n' +
            "".join('    xmlns:%s="%s"\n' % ns for ns in NAMESPACES[2:]) +
            "".join('   %s="%s"\n' % (k, xml_text(v)) for k, v in attrs) + "   >\n")
    langs = rng.sample(["de-DE", "fr-FR", "nb-NO", "pt-BR"], rng.randint(0, 2))
    title = " ".join(rng.choice(KEYWORDS) for _ in range(rng.randint(2, 6))).capitalize()
    body = [alt(rng, "dc:title", title, pad, langs),
            alt(rng, "dc:description", title + ", seen from " + rng.choice(PLACES), pad, langs),
            array("dc:creator", "Seq", rng.sample(PEOPLE, rng.randint(1, 2)), pad),
            alt(rng, "dc:rights", "© %d %s" % (rng.randint(2005, 2024), rng.choice(PEOPLE)), pad, []),
            pad + '<xmpMM:DerivedFrom stRef:instanceID="%s" stRef:documentID="%s"/>\n' % (
                xmp_id(rng, "iid"), xmp_id(rng, "did")),
            pad + "<Iptc4xmpCore:CreatorContactInfo rdf:parseType=\"Resource\">\n" +
            pad + " <Iptc4xmpCore:CiEmailWork>studio@example.org</Iptc4xmpCore:CiEmailWork>\n" +
            pad + " <Iptc4xmpCore:CiAdrCity>%s</Iptc4xmpCore:CiAdrCity>\n" % rng.choice(PLACES) +
            pad + "</Iptc4xmpCore:CreatorContactInfo>\n"]
    if rng.random() < 0.5:
        body.append(regions(rng, rng.randint(1, 8), pad))
    if settings:
        body.append(array("crs:ToneCurvePV2012", "Seq", ["%d, %d" % (i * 64, i * 64) for i in range(5)], pad))
    tail = "  </rdf:Description>\n </rdf:RDF>\n</x:xmpmeta>\n"
    padding = ("\n".join(" " * 99 for _ in range(20))) + "\n"
    end = '<?xpacket end="w"?>'
    # What is left of the size goes to the lists that grow with a picture's life.
    budget = size - len((head + "".join(body) + tail + padding + end).encode())
    compact = rng.random() < 0.6
    events, words, ancestors = [], [], []
    shares = [rng.random() + 0.5, rng.random(), rng.random() * 0.8]
    while budget > 0:
        pick = rng.choices(range(3), shares)[0]
        if pick == 0:
            item = history_event(rng, compact, pad + "  ")
            events.append(item)
        elif pick == 1:
            item = keyword(rng)
            words.append(item)
        else:
            item = xmp_id(rng, "did")
            ancestors.append(item)
        budget -= len(item.encode()) + (0 if pick == 0 else 20)
    lists = [array("dc:subject", "Bag", sorted(set(words)), pad) if words else "",
             array("lr:hierarchicalSubject", "Bag", ["Keywords|" + w for w in sorted(set(words))[:10]], pad)
             if words else "",
             pad + "<xmpMM:History>\n" + pad + " <rdf:Seq>\n" + "".join(events) + pad + " </rdf:Seq>\n" + pad +
             "</xmpMM:History>\n" if events else "",
             array("photoshop:DocumentAncestors", "Bag", ancestors, pad) if ancestors else ""]
    return (head + "".join(body[:4]) + "".join(lists) + "".join(body[4:]) + tail + padding + end).encode()


def heavy_file(rng, path, pages):
    w = Writer(rng.random() < 0.5)
    xmp = rng.random() < 0.6
    for i in range(pages):
        page = random_page(rng, w.strip(), False)
        if xmp and i == 0:
            page.add(XMP, BYTE, heavy_packet(rng, int(5000 * 10 ** (rng.random() ** 2))))  # 5 to 50 KB, most small
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
    ap.add_argument("--xmp-heavy", action="store_true", help="only write xmp-heavy/")
    args = ap.parse_args()
    rng = random.Random(args.seed)
    if args.xmp_heavy:
        heavy = os.path.join(args.outdir, "xmp-heavy")
        os.makedirs(heavy, exist_ok=True)
        for i in range(args.files):
            heavy_file(rng, os.path.join(heavy, "doc-%05d.tif" % i), rng.randint(1, 3))
        return
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
