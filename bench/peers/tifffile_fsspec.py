#!/usr/bin/python3
"""tifffile over fsspec's HTTP file system (aiohttp), with fsspec's defaults, on N threads:
opens each URL of a list and reads every page's tags. Prints the count of documents read and
the seconds taken as JSON."""
import argparse
import concurrent.futures
import json
import time

import fsspec
import tifffile


def read(url):
    with fsspec.open(url, "rb") as f, tifffile.TiffFile(f) as tif:
        return sum(len(page.tags) for page in tif.pages)


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
