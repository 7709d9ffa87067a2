"""``python -m vornfile info FILE``: a document's structure as one JSON
document, with the keys of ``vorn info --json`` (the kind of file, which
only the command-line tool's table knows, is left out)."""
from __future__ import annotations

import argparse
import json
import sys
from typing import Any, Dict, List, Optional

from . import DEFAULT_ENCODING, Document, Error


def describe(document: Document) -> Dict[str, Any]:
    """The document's information codes, frames and layers as plain data."""
    lib, handle = document._lib, document._h()
    info = {name: lib.vnGetInfo(handle, code) for code, name in
            enumerate(["BGColor", "SyncPal", "NotFillBG", "Bpp", "Width", "Height"], 1)}
    frames = []
    for frame in document.frames:
        layers = [{
            "index": layer.index,
            "name": layer.name,
            "info": {"Visible": int(layer.visible),
                     "TransColor": -1 if layer.transparent is None else layer.transparent,
                     "Alpha": layer.opacity,
                     "AlphaInEffect": int(layer.alpha_in_effect)},
        } for layer in frame.layers]
        frames.append({
            "index": frame.index,
            "name": frame.name,
            "info": {"TransColor": -1 if frame.transparent is None else frame.transparent,
                     "Delay": frame.delay, "Disposal": frame.disposal},
            "layers": layers,
        })
    return {"file": document.filename, "info": info, "frames": frames}


def main(argv: Optional[List[str]] = None) -> int:
    """Runs the command line; returns the exit status (0 done, 1 the file
    could not be read, 2 a wrong command line)."""
    parser = argparse.ArgumentParser(prog="python -m vornfile",
                                     description="Read image documents through vornfile.")
    commands = parser.add_subparsers(dest="command", required=True)
    info = commands.add_parser("info", help="the document's structure as JSON")
    info.add_argument("file")
    info.add_argument("--encoding", default=DEFAULT_ENCODING,
                      help=f"the encoding of frame and layer names (default {DEFAULT_ENCODING})")
    arguments = parser.parse_args(argv)
    try:
        with Document(arguments.file, arguments.encoding) as document:
            text = json.dumps(describe(document), indent=2, ensure_ascii=False)
    except (OSError, Error, LookupError) as error:
        print(f"vornfile: {error}", file=sys.stderr)
        return 1
    try:
        print(text)
        sys.stdout.flush()
    except BrokenPipeError:  # a reader such as `head` stopped early
        sys.stderr.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
