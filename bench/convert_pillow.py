"""Pillow's side of convert_bench: decodes every frame of a GIF once, then
times save(save_all=True) of those frames to GIF and to lossless WebP, best
of three. Usage: convert_pillow.py INPUT.gif OUT_DIR"""
import os
import sys
import time

from PIL import Image


def main():
    source, out_dir = sys.argv[1], sys.argv[2]
    image = Image.open(source)
    frames, durations = [], []
    for i in range(image.n_frames):
        image.seek(i)
        frames.append(image.convert("RGB"))
        durations.append(image.info.get("duration", 0))
    for name, options in (("gif", {}), ("webp", {"lossless": True})):
        best = None
        for _ in range(3):
            start = time.perf_counter()
            frames[0].save(os.path.join(out_dir, "pillow." + name), save_all=True,
                           append_images=frames[1:], duration=durations, loop=0, **options)
            elapsed = time.perf_counter() - start
            best = elapsed if best is None else min(best, elapsed)
        print("animation: 200 frames 320 x 240 to %s: Pillow save(save_all=True) %.3f s "
              "(frames decoded beforehand)" % (name, best))


if __name__ == "__main__":
    main()
