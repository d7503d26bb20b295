#!/usr/bin/python3
"""The tifffile side of the whole-process comparison: every page of every file under the
given directories, the eleven textual tags and the XMP packet, one JSON line per file."""
import json
import os
import sys

import tifffile

TAGS = (269, 270, 271, 272, 305, 306, 315, 316, 333, 337, 33432)


def files_under(roots):
    for root in roots:
        found = []
        for folder, _, names in os.walk(root):
            found.extend(os.path.join(folder, name) for name in names)
        yield from sorted(found)


def main():
    out = sys.stdout
    for path in files_under(sys.argv[1:]):
        pages = []
        try:
            with tifffile.TiffFile(path) as tif:
                for page in tif.pages:
                    tags = page.tags
                    values = {str(t): tags[t].value for t in TAGS if t in tags}
                    if 700 in tags:
                        values["xmp"] = len(tags[700].value)
                    pages.append(values)
        except Exception as error:  # a peer's failure is reported, not fatal
            pages = str(error)
        out.write(json.dumps({"file": path, "pages": pages}, default=str) + "\n")


if __name__ == "__main__":
    main()
