#!/usr/bin/python3
"""GDAL's side of the remote comparison: opens each URL of a list through /vsicurl/ on N
threads and reads its metadata domains, as gdalinfo would. Directory listing on open is off
(GDAL_DISABLE_READDIR_ON_OPEN=EMPTY_DIR), as a user reading one known file sets it.
Prints the count of documents read and the seconds taken as JSON."""
import argparse
import concurrent.futures
import json
import os
import time

os.environ.setdefault("GDAL_DISABLE_READDIR_ON_OPEN", "EMPTY_DIR")
os.environ.setdefault("CPL_VSIL_CURL_USE_HEAD", "YES")
from osgeo import gdal  # noqa: E402

gdal.UseExceptions()


def read(url):
    dataset = gdal.Open("/vsicurl/" + url)
    tags = dataset.GetMetadata()
    xmp = dataset.GetMetadata("xml:XMP")
    pages = dataset.GetMetadata("SUBDATASETS")
    dataset = None
    return len(tags) + len(xmp or []) + len(pages)


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("list")
    ap.add_argument("--threads", type=int, default=1)
    args = ap.parse_args()
    urls = open(args.list).read().split()
    start = time.monotonic()
    with concurrent.futures.ThreadPoolExecutor(args.threads) as pool:
        done = sum(1 for _ in pool.map(read, urls))
    print(json.dumps({"documents": done, "seconds": time.monotonic() - start}))


if __name__ == "__main__":
    main()
