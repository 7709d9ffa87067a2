"""Reads files written by `vorn convert` with readers of their own (Pillow
for the images, zipfile and ElementTree for OpenRaster) and describes them
for the C++ tests: readback.py OUT_DIR FILE... writes OUT_DIR/result.json
and every decoded picture as raw RGBA bytes beside it.

result.json holds one entry per file: its format, size, loop count and
frames (each with its duration and the name of its pixels), or for an
OpenRaster file its members in order, what a schema check found wrong in
stack.xml, the tree of stacks and layers, and the pixels of every PNG.
"""
import io
import json
import os
import sys
import xml.etree.ElementTree as ET
import zipfile

from PIL import Image

LAYER_ATTRIBUTES = {"name", "src", "x", "y", "opacity", "visibility", "composite-op",
                    "selected", "hidden"}
STACK_ATTRIBUTES = {"name", "x", "y", "opacity", "visibility", "composite-op", "isolation",
                    "selected", "hidden"}


def save_pixels(out_dir, name, image):
    rgba = image.convert("RGBA")
    path = os.path.join(out_dir, name)
    with open(path, "wb") as f:
        f.write(rgba.tobytes())
    return {"pixels": name, "width": rgba.width, "height": rgba.height}


def animation(out_dir, stem, path):
    image = Image.open(path)
    entry = {"format": image.format, "width": image.width, "height": image.height,
             "frames": []}
    frames = getattr(image, "n_frames", 1)
    for i in range(frames):
        image.seek(i)
        image.load()
        frame = save_pixels(out_dir, "%s-frame-%d.rgba" % (stem, i), image)
        frame["duration"] = image.info.get("duration")
        entry["frames"].append(frame)
    entry["loop"] = image.info.get("loop")
    return entry


def check_number(errors, element, attribute, kind):
    text = element.get(attribute)
    if text is None:
        return
    try:
        kind(text)
    except ValueError:
        errors.append("%s %s=%r is not a number" % (element.tag, attribute, text))


def stack_tree(errors, members, element):
    """The stack as nested lists; records every departure from the layout."""
    children = []
    for child in element:
        if child.tag == "stack":
            unknown = set(child.attrib) - STACK_ATTRIBUTES
            node = {"stack": child.get("name"), "visibility": child.get("visibility"),
                    "children": stack_tree(errors, members, child)}
        elif child.tag == "layer":
            unknown = set(child.attrib) - LAYER_ATTRIBUTES
            if child.get("src") not in members:
                errors.append("layer src %r is not a member" % child.get("src"))
            node = dict(child.attrib)
        else:
            errors.append("unexpected element %s" % child.tag)
            continue
        if unknown:
            errors.append("%s has unknown attributes %s" % (child.tag, sorted(unknown)))
        for attribute in ("x", "y"):
            check_number(errors, child, attribute, int)
        check_number(errors, child, "opacity", float)
        opacity = child.get("opacity")
        if opacity is not None and not 0.0 <= float(opacity) <= 1.0:
            errors.append("opacity %s out of range" % opacity)
        if child.get("visibility") not in (None, "visible", "hidden"):
            errors.append("visibility %r" % child.get("visibility"))
        children.append(node)
    return children


def openraster(out_dir, stem, path):
    archive = zipfile.ZipFile(path)
    infos = archive.infolist()
    members = [i.filename for i in infos]
    entry = {"format": "ORA", "members": [
        {"name": i.filename, "stored": i.compress_type == zipfile.ZIP_STORED,
         "extra": len(i.extra)} for i in infos]}
    entry["mimetype"] = archive.read("mimetype").decode("ascii", "replace") \
        if "mimetype" in members else None
    errors = []
    root = ET.fromstring(archive.read("stack.xml"))
    if root.tag != "image":
        errors.append("root element %s" % root.tag)
    for attribute in ("w", "h"):
        check_number(errors, root, attribute, int)
    stacks = [c for c in root if c.tag == "stack"]
    if len(stacks) != 1 or len(root) != 1:
        errors.append("image holds %d elements, %d of them stacks" % (len(root), len(stacks)))
    entry["width"] = int(root.get("w", "0"))
    entry["height"] = int(root.get("h", "0"))
    entry["tree"] = stack_tree(errors, set(members), stacks[0]) if stacks else []
    entry["schema_errors"] = errors
    pngs = {}
    for i, name in enumerate(members):
        if name.endswith(".png"):
            image = Image.open(io.BytesIO(archive.read(name)))
            pngs[name] = save_pixels(out_dir, "%s-member-%d.rgba" % (stem, i), image)
            pngs[name]["mode"] = image.mode
    entry["pngs"] = pngs
    return entry


def main():
    out_dir = sys.argv[1]
    results = {}
    for n, path in enumerate(sys.argv[2:]):
        stem = "f%d" % n
        try:
            if path.lower().endswith(".ora"):
                results[path] = openraster(out_dir, stem, path)
            else:
                results[path] = animation(out_dir, stem, path)
        except Exception as error:  # reported to the test, which fails
            results[path] = {"error": "%s: %s" % (type(error).__name__, error)}
    with open(os.path.join(out_dir, "result.json"), "w") as f:
        json.dump(results, f)


if __name__ == "__main__":
    main()
