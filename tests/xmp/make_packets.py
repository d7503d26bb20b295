#!/usr/bin/python3
"""Writes XMP packets that exercise every RDF form the toolkit reads, the same bytes for the
same seed: OUTDIR/NNNN.xmp, each a packet on its own.

The packets mix property elements, attributes as properties, rdf:parseType="Resource",
rdf:value, nested descriptions, typed nodes, Bag, Seq and Alt with xml:lang, several
rdf:Description elements, unknown namespaces and prefixes that clash, aliases and the
properties the toolkit mends, entities, CDATA, comments, stray bytes, and malformed XML: a
fifth of them are cut short or have bytes changed after they are made."""
import argparse
import os
import random

RDF = "http://www.w3.org/1999/02/22-rdf-syntax-ns#"
KNOWN = [
    ("dc", "http://purl.org/dc/elements/1.1/"),
    ("xmp", "http://ns.adobe.com/xap/1.0/"),
    ("xmpMM", "http://ns.adobe.com/xap/1.0/mm/"),
    ("stEvt", "http://ns.adobe.com/xap/1.0/sType/ResourceEvent#"),
    ("tiff", "http://ns.adobe.com/tiff/1.0/"),
    ("exif", "http://ns.adobe.com/exif/1.0/"),
    ("pdf", "http://ns.adobe.com/pdf/1.3/"),
    ("photoshop", "http://ns.adobe.com/photoshop/1.0/"),
    ("xmpRights", "http://ns.adobe.com/xap/1.0/rights/"),
    ("xmpDM", "http://ns.adobe.com/xmp/1.0/DynamicMedia/"),
    ("png", "http://ns.adobe.com/png/1.0/"),
    ("iX", "http://ns.adobe.com/iX/1.0/"),
]
# Names the toolkit treats specially: aliases, Dublin Core arrays, mended properties.
SPECIAL = {
    "dc": ["creator", "date", "description", "rights", "title", "subject", "type", "format", "language",
           "publisher", "relation", "contributor", "source"],
    "xmp": ["Author", "Authors", "Description", "Format", "Keywords", "Locale", "Title", "CreateDate",
            "ModifyDate", "CreatorTool", "BaseURL", "Rating"],
    "xmpMM": ["InstanceID", "DocumentID", "History", "DerivedFrom"],
    "stEvt": ["action", "when", "softwareAgent", "instanceID"],
    "tiff": ["Artist", "Copyright", "DateTime", "ImageDescription", "Software", "Make"],
    "exif": ["DateTimeDigitized", "DateTimeOriginal", "GPSTimeStamp", "UserComment", "FNumber"],
    "pdf": ["Author", "BaseURL", "CreationDate", "Creator", "ModDate", "Subject", "Title", "Producer"],
    "photoshop": ["Author", "Caption", "Copyright", "Keywords", "Marked", "Title", "WebStatement", "City"],
    "xmpRights": ["Copyright", "Marked", "UsageTerms", "WebStatement"],
    "xmpDM": ["copyright", "artist"],
    "png": ["Author", "Copyright", "CreationTime", "Description", "Title", "Software"],
    "iX": ["changes"],
}
WORDS = "harbour north pier boats dawn survey scan field station copy river atlas".split()
LANGS = ["x-default", "X-Default", "en-us", "EN-US", "fr", "de-CH-1996", "x-repair", "en-"]
DATES = ["2024-02-29T13:45:00Z", "2024-02-29", "2024", "T12:30:15.25+02:00", "12:30:15Z", "0000-00-00T08:09:10",
         "1999-13-40T10:00:00-05:30", "2021-02-31T23:59:59.000000001Z", "bad", "-0044-03-15T12:00"]
ENTITIES = ["&amp;", "&lt;", "&gt;", "&quot;", "&apos;", "&#65;", "&#x41;", "&#xE9;", "&#xA;", "&#x9;",
            "&#x1;", "&#x1F;", "&#x7F;", "&#x0;", "&#x2019;", "&#xD;", "&#x;", "&nbsp;"]


class Packet:
    def __init__(self, rng):
        self.rng = rng
        self.unknown = []  # (prefix, uri) of namespaces no reader knows
        # Most packets avoid what the toolkit refuses (a name twice in one place, forms it
        # does not read); the rest do not care.
        self.careful = rng.random() < 0.75
        self.used = [set()]  # names taken in each open struct or description

    def entity(self):
        # The last two are no references at all, which only careless packets risk.
        return self.rng.choice(ENTITIES if not self.careful else ENTITIES[:-2])

    def text(self):
        r = self.rng
        parts = [r.choice(WORDS) for _ in range(r.randint(0, 3))]
        if r.random() < 0.25:
            parts.insert(r.randint(0, len(parts)), self.entity())
        if r.random() < 0.08:
            parts.append("<![CDATA[%s & <raw> ]]>" % r.choice(WORDS))
        if r.random() < 0.05:
            parts.append("<!-- note -->")
        if r.random() < 0.05:
            parts.append(r.choice(["\x01", "\x7f", "\t", "\n", "\r\n", "\u00e9", "\u2013", "\U0001F600"]))
        if r.random() < 0.05:
            parts.append(r.choice(DATES))
        return " ".join(parts)

    def attr_text(self):
        r = self.rng
        parts = [r.choice(WORDS) for _ in range(r.randint(0, 3))]
        if r.random() < 0.25:
            parts.insert(r.randint(0, len(parts)), self.entity())
        if r.random() < 0.05:
            parts.append(r.choice(["\t", "\n", "\u00e9", "&lt;raw>"]))
        return " ".join(parts)

    def name(self):
        for _ in range(20):
            name = self.any_name()
            if not self.careful or name not in self.used[-1]:
                break
        self.used[-1].add(name)
        return name

    def any_name(self):
        r = self.rng
        if r.random() < 0.6:
            prefix = r.choice(list(SPECIAL))
            return "%s:%s" % (prefix, r.choice(SPECIAL[prefix]))
        if not self.unknown or r.random() < 0.2:
            prefixes = ["zz", "zb", "my", "ns1", "_dflt_", "a_1_"]
            if not self.careful:
                prefixes += ["x", "rdf", "dc"]
            prefix = r.choice(prefixes)
            uri = "http://ns.example/%s/%d/" % (prefix, r.randint(0, 3))
            self.unknown.append((prefix, uri))
        prefix, _ = r.choice(self.unknown)
        return "%s:%s" % (prefix, r.choice(["A", "b", "Title", "creator", "x.y", "n-1", "\u00e9t\u00e9"]))

    def scoped(self, make):
        self.used.append(set())
        try:
            return make()
        finally:
            self.used.pop()

    def lang(self):
        return ' xml:lang="%s"' % self.rng.choice(LANGS) if self.rng.random() < 0.3 else ""

    def item_list(self, depth, alt=False):
        r = self.rng
        items = []
        for i in range(r.randint(0, 4)):
            tag = "rdf:li" if r.random() < 0.9 else "rdf:_%d" % (i + 1)
            lang = ' xml:lang="%s"' % r.choice(LANGS) if (alt and r.random() < 0.85) else self.lang()
            if depth < 3 and r.random() < 0.2:
                fields = self.scoped(lambda: self.fields(depth + 1))
                items.append('<%s%s rdf:parseType="Resource">%s</%s>' % (tag, lang, fields, tag))
            elif r.random() < 0.1:
                items.append('<%s%s rdf:resource="%s"/>' % (tag, lang, r.choice(WORDS)))
            else:
                items.append("<%s%s>%s</%s>" % (tag, lang, self.text(), tag))
        return "".join(items)

    def fields(self, depth, allow_value=True):
        r = self.rng
        out = []
        if allow_value and r.random() < 0.25:
            out.append("<rdf:value%s>%s</rdf:value>" % (self.lang(), self.text()))
        for _ in range(r.randint(0, 3)):
            out.append(self.property(depth))
        r.shuffle(out)
        return "".join(out)

    def property(self, depth):
        r = self.rng
        name = self.name()
        form = r.random() if depth < 4 else 0
        lang = self.lang()
        if form < 0.35:
            return "<%s%s>%s</%s>" % (name, lang, self.text(), name)
        if form < 0.45:
            kind = r.choice(["Bag", "Seq", "Alt"])
            return "<%s%s><rdf:%s>%s</rdf:%s></%s>" % (name, lang, kind, self.item_list(depth, kind == "Alt"),
                                                      kind, name)
        if form < 0.55:
            fields = self.scoped(lambda: self.fields(depth + 1))
            return '<%s%s rdf:parseType="Resource">%s</%s>' % (name, lang, fields, name)
        if form < 0.63:
            about = ' rdf:about=""' if r.random() < 0.3 else ""
            inner = self.scoped(lambda: self.attrs(1) + "\0" + self.fields(depth + 1)).split("\0")
            return "<%s><rdf:Description%s%s>%s</rdf:Description></%s>" % (name, about, inner[0], inner[1], name)
        if form < 0.73:
            typed = self.any_name()
            fields = self.scoped(lambda: self.fields(depth + 1, False))
            return "<%s><%s>%s</%s></%s>" % (name, typed, fields, typed, name)
        if form < 0.85:
            extras = ['rdf:resource="%s"' % r.choice(WORDS), 'rdf:value="%s"' % self.attr_text(),
                      'rdf:nodeID="n1"', 'rdf:ID="i1"', "", self.scoped(lambda: self.attrs(2).strip())]
            if not self.careful:
                extras += ['rdf:resource="a" rdf:value="b"', 'rdf:parseType="Literal"']
            extra = r.choice(extras)
            return "<%s%s %s/>" % (name, lang, extra)
        if form < 0.9:
            return '<%s rdf:datatype="http://www.w3.org/2001/XMLSchema#string">%s</%s>' % (name, self.text(), name)
        if form < 0.95:
            contents = ["", " ", "<!-- c -->", "<?other?>"] + ([] if self.careful else ["<?xpacket x?>"])
            return "<%s>%s</%s>" % (name, r.choice(contents), name)
        return "<%s%s/>" % (name, lang)

    def attrs(self, count):
        out = ""
        for _ in range(self.rng.randint(0, count)):
            name = self.name()
            if name not in out:
                out += ' %s="%s"' % (name, self.attr_text())
        return out

    def declarations(self, used):
        r = self.rng
        decls = ""
        for prefix, uri in KNOWN:
            if prefix + ":" in used:
                if r.random() < 0.1 and prefix == "dc":
                    uri = "http://purl.org/dc/1.1/"
                decls += ' xmlns:%s="%s"' % (prefix, uri)
        seen = set()
        for prefix, uri in self.unknown:
            if prefix + ":" in used and prefix not in seen:
                seen.add(prefix)
                decls += ' xmlns:%s="%s"' % (prefix, uri)
        return decls

    def description(self):
        r = self.rng
        about = r.choice(['rdf:about=""', 'rdf:about="uuid:1234"', 'rdf:about="0123456789abcdef0123456789abcdef0123"',
                          'about=""', 'rdf:about="other"', ""])
        body = "".join(self.property(0) for _ in range(r.randint(0, 6)))
        attrs = self.attrs(2)
        inner = "%s%s" % (attrs, body)
        # A clashing prefix declared on an inner element, for a URI other than the outer one.
        if self.unknown and r.random() < 0.3:
            prefix, _ = r.choice(self.unknown)
            uri = "http://ns.example/clash/%d/" % r.randint(0, 9)
            body += '<%s:Q xmlns:%s="%s">%s</%s:Q>' % (prefix, prefix, uri, self.text(), prefix)
        if r.random() < 0.05:
            body += '<V xmlns="http://ns.example/default/">%s</V>' % self.text()
        decls = self.declarations(inner + body)
        return "<rdf:Description %s%s%s>%s</rdf:Description>" % (about, decls, attrs, body)

    def packet(self):
        r = self.rng
        descs = "".join(self.description() for _ in range(r.randint(1, 3)))
        rdf = '<rdf:RDF xmlns:rdf="%s">%s</rdf:RDF>' % (RDF, descs)
        meta = r.choice(["x:xmpmeta", "x:xmpmeta", "x:xmpmeta", "x:xapmeta", None])
        if meta:
            body = '<%s xmlns:x="adobe:ns:meta/">%s</%s>' % (meta, rdf, meta)
            if r.random() < 0.05:
                body = '<%s xmlns:x="adobe:ns:meta/">%s%s</%s>' % (meta, rdf, rdf, meta)
        else:
            body = rdf
        if r.random() < 0.05:
            body = "<wrap>%s</wrap>" % body
        if r.random() < 0.6:
            body = '<?xpacket begin="\ufeff" id="W5M0MpCehiHzreSzNTczkc9d"?>\n%s\n<?xpacket end="w"?>' % body
        if r.random() < 0.05:
            body = '<?xml version="1.0" encoding="UTF-8"?>' + body
        if r.random() < 0.02:
            body = "<!DOCTYPE x>" + body
        data = body.encode("utf-8")
        if r.random() < 0.03:
            data = body.encode("utf-16")
        if r.random() < 0.05:
            data = data.replace("\u00e9".encode(), b"\xe9")  # Latin-1 where UTF-8 belongs
        return data


def mutate(rng, data):
    data = bytearray(data)
    for _ in range(rng.randint(1, 3)):
        choice = rng.random()
        if choice < 0.3 and data:
            del data[rng.randrange(len(data)):]
        elif choice < 0.7 and data:
            data[rng.randrange(len(data))] = rng.choice(b"<>/&\"' =:\x00\x80\xff")
        else:
            at = rng.randrange(len(data) + 1)
            data[at:at] = rng.choice([b"<", b"</x>", b"&", b"&#x1;", b"rdf:li", b"\xc3", b"]]>"])
    return bytes(data)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("outdir")
    parser.add_argument("--count", type=int, default=3000)
    parser.add_argument("--seed", type=int, default=19)
    args = parser.parse_args()
    os.makedirs(args.outdir, exist_ok=True)
    rng = random.Random(args.seed)
    for i in range(args.count):
        data = Packet(rng).packet()
        if rng.random() < 0.2:
            data = mutate(rng, data)
        with open(os.path.join(args.outdir, "%04d.xmp" % i), "wb") as out:
            out.write(data)


if __name__ == "__main__":
    main()
