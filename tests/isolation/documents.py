"""One-page TIFF files whose DocumentName may carry the misbehaving module's marker, for the
isolation tests under Wine and for bench/isolation_bench.py."""
import os
import struct


def one_page(title):
    """A little-endian TIFF of one directory: DocumentName, Make and DateTime."""
    entries = [(269, title.encode() + b"\0"), (271, b"Northlight\0"), (306, b"2024:02:29 13:45:00\0")]
    ifd_at = 8
    data_at = ifd_at + 2 + 12 * len(entries) + 4
    ifd, data = struct.pack("<H", len(entries)), b""
    for tag, value in entries:
        ifd += struct.pack("<HHII", tag, 2, len(value), data_at + len(data))
        data += value
    return b"II*\0" + struct.pack("<I", ifd_at) + ifd + struct.pack("<I", 0) + data


def write_documents(root, count, marked=lambda i: False, marker="CRASH"):
    """count files in folders of 1,000; those marked(i) say ZUDOR-TEST:<marker>, padded with
    '#' so that a leak would have room in the title."""
    for i in range(count):
        folder = os.path.join(root, "%02d" % (i // 1000))
        os.makedirs(folder, exist_ok=True)
        title = "ZUDOR-TEST:" + marker + "#" * 200 if marked(i) else "page %d" % i
        with open(os.path.join(folder, "%05d.tif" % i), "wb") as f:
            f.write(one_page(title))
