#!/usr/bin/env python3
"""Converts every document of a folder to GIF, PNG (animated PNG) or WebP.

    batch_convert.py SOURCE DESTINATION [--to png] [--workers N]
    batch_convert.py SOURCE DESTINATION --dask tcp://scheduler:8786
    batch_convert.py SOURCE DESTINATION --dask local --workers 2

Each file of SOURCE (and of its subfolders with --recursive) that the
library opens becomes DESTINATION/<its path>.<format>. Files convert in
parallel: in local processes through concurrent.futures, or on the workers
of a Dask cluster with --dask (which needs dask.distributed, Debian's
python3-distributed, and vornfile installed on every worker). "--dask
local" starts a cluster of --workers processes on this machine. A file that
fails is reported and skipped; the exit status is 1 when any failed.
"""
from __future__ import annotations

import argparse
import concurrent.futures
import os
import sys
import warnings
from pathlib import Path
from typing import Iterable, Iterator, List, Optional, Tuple

import vornfile

# Extensions the library opens; other files of the folder are left alone.
KINDS = {".vrn", ".gif", ".png", ".jpg", ".jpeg", ".bmp", ".dib", ".ico", ".cur",
         ".ani", ".tga", ".avi"}


Result = Tuple[str, Optional[str], bool]


def convert(source: str, target: str, quality: Optional[int] = None) -> Result:
    """Converts one file; returns (source, None or the cause of the failure,
    whether colours were reduced for GIF). Runs in a worker process, so it
    catches what it can report."""
    try:
        os.makedirs(os.path.dirname(target) or ".", exist_ok=True)
        with vornfile.open(source) as document, warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", vornfile.LossyGifWarning)
            document.save(target, quality=quality)
        return source, None, bool(caught)
    except (OSError, vornfile.Error, ValueError) as error:
        cause = str(error)
        # The library's messages begin with the file's name; say it once.
        cause = cause[len(source) + 2:] if cause.startswith(source + ": ") else cause
        return source, cause, False


def documents(source: Path, recursive: bool) -> Iterator[Path]:
    """The files of the folder with an extension the library reads, sorted."""
    pattern = "**/*" if recursive else "*"
    for path in sorted(source.glob(pattern)):
        if path.is_file() and path.suffix.lower() in KINDS:
            yield path


def jobs(source: Path, destination: Path, extension: str,
         recursive: bool) -> List[Tuple[str, str]]:
    return [(str(path), str((destination / path.relative_to(source)).with_suffix(extension)))
            for path in documents(source, recursive)]


def run_local(work: Iterable[Tuple[str, str]], workers: Optional[int],
              quality: Optional[int]) -> Iterator[Result]:
    with concurrent.futures.ProcessPoolExecutor(max_workers=workers) as pool:
        futures = [pool.submit(convert, s, t, quality) for s, t in work]
        for future in concurrent.futures.as_completed(futures):
            yield future.result()


def run_dask(work: Iterable[Tuple[str, str]], address: str, workers: Optional[int],
             quality: Optional[int]) -> Iterator[Result]:
    try:
        from dask.distributed import Client, LocalCluster, as_completed
    except ImportError:
        sys.exit("batch_convert: --dask needs dask.distributed "
                 "(Debian: apt install python3-distributed)")
    if address == "local":
        cluster = LocalCluster(n_workers=workers or os.cpu_count() or 1,
                               threads_per_worker=1, processes=True,
                               dashboard_address=None)
        client = Client(cluster)
    else:
        cluster, client = None, Client(address)
    try:
        futures = [client.submit(convert, s, t, quality, pure=False) for s, t in work]
        for future in as_completed(futures):
            yield future.result()
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("source", type=Path, help="folder of documents")
    parser.add_argument("destination", type=Path, help="folder that receives the outputs")
    parser.add_argument("--to", default="png", choices=["gif", "png", "apng", "webp"],
                        help="output format (default: png)")
    parser.add_argument("--quality", type=int, help="lossy WebP of this quality (0-100)")
    parser.add_argument("--recursive", action="store_true", help="also convert subfolders")
    parser.add_argument("--workers", type=int, help="processes (default: one per core)")
    parser.add_argument("--dask", metavar="ADDRESS",
                        help='a Dask scheduler address, or "local" for a local cluster')
    args = parser.parse_args(argv)
    if not args.source.is_dir():
        parser.error(f"{args.source} is not a folder")

    work = jobs(args.source, args.destination, "." + args.to, args.recursive)
    if args.dask:
        results = run_dask(work, args.dask, args.workers, args.quality)
    else:
        results = run_local(work, args.workers, args.quality)
    failed = reduced = 0
    for source, error, lossy in results:
        reduced += lossy
        if error is not None:
            failed += 1
            print(f"batch_convert: {source}: {error}", file=sys.stderr)
    print(f"batch_convert: converted {len(work) - failed} of {len(work)} files to {args.to}")
    if reduced:
        print(f"batch_convert: note: {reduced} of them had more than 256 colours a frame and "
              "were reduced for GIF (lossy; png or webp keep every colour)")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
