"""The least stream traffic a reader of the eleven textual tags and the XMP packet can have for
one TIFF, computed from the file's layout alone.

Every structure is fetched with one positioned read: the 8-byte header, then per IFD its entry
count, its entry array and its next-IFD offset, and every ASCII value or XMP packet that does
not fit in its entry's 4 value bytes. A seek positions every fetch except the header and the
entry array, which follows its count directly. `contiguous` counts the seeks among those that
land where the stream already stands (a reader that tracked its position could skip them)."""
import struct

ASCII, XMP = 2, 700


def minimum_io(data):
    """dict(reads, seeks, bytes, contiguous, ifds) for the whole chain; None when the file
    is not a TIFF whose chain can be followed to its end."""
    if len(data) < 8 or data[:2] not in (b"II", b"MM"):
        return None
    e = "<" if data[:2] == b"II" else ">"
    reads, seeks, nbytes, contiguous, ifds = 1, 0, 8, 0, 0
    position = 8
    offset, seen = struct.unpack_from(e + "I", data, 4)[0], set()

    def fetch(at, length, seek=True):
        nonlocal reads, seeks, nbytes, contiguous, position
        reads += 1
        nbytes += length
        if seek:
            seeks += 1
            contiguous += at == position
        position = at + length

    while offset:
        if offset in seen or offset + 2 > len(data):
            return None
        seen.add(offset)
        ifds += 1
        n = struct.unpack_from(e + "H", data, offset)[0]
        end = offset + 2 + 12 * n
        if end + 4 > len(data):
            return None
        fetch(offset, 2)
        fetch(offset + 2, 12 * n, seek=False)
        for i in range(n):
            tag, typ, count, value = struct.unpack_from(e + "HHII", data, offset + 2 + 12 * i)
            if (tag == XMP or typ == ASCII) and count > 4:
                if value + count > len(data):
                    return None
                fetch(value, count)
        fetch(end, 4)
        offset = struct.unpack_from(e + "I", data, end)[0]
    return dict(reads=reads, seeks=seeks, bytes=nbytes, contiguous=contiguous, ifds=ifds)


if __name__ == "__main__":
    import sys
    for path in sys.argv[1:]:
        with open(path, "rb") as f:
            print(path, minimum_io(f.read()))
