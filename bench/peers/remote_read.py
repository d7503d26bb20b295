#!/usr/bin/python3
"""The peers' side of the remote comparison: reads the metadata of every URL of a list on N
threads and prints as JSON the count of documents it found metadata in and the seconds taken
(a document it opened and found nothing in is not counted: it was not read).

  gdal      GDAL through /vsicurl/, opening each file and reading its metadata domains
            and its pages (subdatasets) as gdalinfo would; listing the directory on open is off
            (GDAL_DISABLE_READDIR_ON_OPEN=EMPTY_DIR), as a user reading known files sets it
  tifffile  tifffile over fsspec's HTTP file system (aiohttp) with fsspec's defaults, every
            page's tags"""
import argparse
import concurrent.futures
import json
import os
import time


def gdal_reader():
    os.environ.setdefault("GDAL_DISABLE_READDIR_ON_OPEN", "EMPTY_DIR")
    from osgeo import gdal
    gdal.UseExceptions()

    def read(url):
        dataset = gdal.Open("/vsicurl/" + url)
        # Every page's directory, as the others read them: GDAL lists pages as subdatasets.
        count = (len(dataset.GetMetadata()) + len(dataset.GetMetadata("xml:XMP") or []) +
                 len(dataset.GetMetadata("SUBDATASETS") or []))
        dataset = None
        return count
    return read


def tifffile_reader():
    import fsspec
    import tifffile

    def read(url):
        with fsspec.open(url, "rb") as f, tifffile.TiffFile(f) as tif:
            return sum(len(page.tags) for page in tif.pages)
    return read


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("peer", choices=["gdal", "tifffile"])
    ap.add_argument("list")
    ap.add_argument("--threads", type=int, default=1)
    args = ap.parse_args()
    read = gdal_reader() if args.peer == "gdal" else tifffile_reader()
    urls = open(args.list).read().split()
    start = time.monotonic()
    with concurrent.futures.ThreadPoolExecutor(args.threads) as pool:
        done = sum(1 for count in pool.map(read, urls) if count > 0)
    print(json.dumps({"documents": done, "seconds": time.monotonic() - start}))


if __name__ == "__main__":
    main()
