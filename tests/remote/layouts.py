"""TIFF files laid out as the request economy of remote reading is measured on: where the
directories sit decides how many ranged GETs a reader needs. Large files are written sparse,
so a 100 MB strip costs no disk."""
import os
import struct

ASCII, BYTE, SHORT, LONG = 2, 1, 3, 4

TEXT = [(269, "Harbour survey"), (270, "Fishing boats leaving the harbour, seen from the north pier"),
        (271, "Northlight"), (272, "Plate camera 4"), (305, "zudor layouts"), (306, "2024:02:29 13:45:00"),
        (315, "Ada Lindqvist"), (33432, "Public domain")]


def directory(at, strip_offset, strip_bytes, page, little=True, xmp=None, next_offset=0):
    """The IFD placed at `at`, its values right after it: (bytes, offset of its next link)."""
    o = "<" if little else ">"
    entries = [(256, SHORT, 1, 8), (257, LONG, 1, max(1, strip_bytes // 8)), (258, SHORT, 1, 8),
               (259, SHORT, 1, 1), (262, SHORT, 1, 1), (273, LONG, 1, strip_offset), (277, SHORT, 1, 1),
               (278, LONG, 1, max(1, strip_bytes // 8)), (279, LONG, 1, strip_bytes)]
    entries += [(tag, ASCII, 0, ("%s, page %d" % (text, page) if tag != 306 else text).encode() + b"\0")
                for tag, text in TEXT]
    if xmp is not None:
        entries.append((700, BYTE, 0, xmp))
    entries.sort()
    values_at = at + 2 + 12 * len(entries) + 4
    head, values = [struct.pack(o + "H", len(entries))], bytearray()
    for tag, typ, count, value in entries:
        if isinstance(value, int):
            field = struct.pack(o + "HH", value, 0) if typ == SHORT else struct.pack(o + "I", value)
        elif len(value) <= 4:
            field = value.ljust(4, b"\0")
        else:
            field = struct.pack(o + "I", values_at + len(values))
            values += value + b"\0" * (len(value) % 2)
        head.append(struct.pack(o + "HHI", tag, typ, count or len(value)) + field)
    link = at + 2 + 12 * len(entries)
    return b"".join(head) + struct.pack(o + "I", next_offset) + bytes(values), link


def header(first_ifd, little=True):
    return (b"II" if little else b"MM") + struct.pack("<HI" if little else ">HI", 42, first_ifd)


def write(path, chunks, size):
    """chunks: {offset: bytes}; the rest of the file's size stays a hole."""
    with open(path, "wb") as f:
        f.truncate(size)
        for at, data in chunks.items():
            f.seek(at)
            f.write(data)


def two_pages_first(path, strip_bytes=1 << 20):
    """Two pages whose directories come first, then 2 MB of pixels."""
    first, link = directory(8, 0, strip_bytes, 1)
    second_at = 8 + len(first) + (len(first) % 2)
    strips = second_at + 4096
    first, _ = directory(8, strips, strip_bytes, 1, next_offset=second_at)
    second, _ = directory(second_at, strips + strip_bytes, strip_bytes, 2)
    write(path, {0: header(8), 8: first, second_at: second}, strips + 2 * strip_bytes)


def strip_then_directory(path, strip_bytes=100 << 20):
    """One page of 100 MB of pixels, its directory at the end."""
    at = 8 + strip_bytes
    ifd, _ = directory(at, 8, strip_bytes, 1)
    write(path, {0: header(at), at: ifd}, at + len(ifd))


def xmp_packet(path, packet_bytes=40000):
    """One small page with an XMP packet of packet_bytes."""
    body = b'<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">' \
           b'<rdf:Description rdf:about="" xmlns:dc="http://purl.org/dc/elements/1.1/" dc:format="image/tiff"/>' \
           b'</rdf:RDF></x:xmpmeta>'
    packet = body + b" " * (packet_bytes - len(body))
    ifd, _ = directory(8, 0, 64, 1, xmp=packet)
    strip = 8 + len(ifd)
    ifd, _ = directory(8, strip, 64, 1, xmp=packet)
    write(path, {0: header(8), 8: ifd}, strip + 64)


def directory_after_each_page(path, pages, strip_bytes=256 << 10, little=False):
    """pages pages, each its pixels and then its directory."""
    chunks, at, previous_link = {}, 8, 4
    for page in range(1, pages + 1):
        strip, at = at, at + strip_bytes
        ifd, link = directory(at, strip, strip_bytes, page, little)
        chunks[at] = ifd
        chunks[previous_link] = struct.pack("<I" if little else ">I", at)
        previous_link = link
        at += len(ifd) + len(ifd) % 2
    chunks[0] = header(chunks and 8, little)[:4]
    write(path, chunks, at)


LAYOUTS = {
    "two-pages.tif": two_pages_first,
    "strip-100mb.tif": strip_then_directory,
    "xmp-40kb.tif": xmp_packet,
    "pages-8.tif": lambda path: directory_after_each_page(path, 8),
}


def make_all(folder):
    os.makedirs(folder, exist_ok=True)
    for name, make in LAYOUTS.items():
        make(os.path.join(folder, name))
    return sorted(LAYOUTS)
