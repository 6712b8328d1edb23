#!/usr/bin/env python3
"""Normalises a folder of image tiles to a target image with histonorm, as a training pipeline
would, and writes a side-by-side picture (one row per tile: source | target | result).

    normalise_tiles.py TILE_DIR TARGET OUT_DIR [--method Reinhard] [--model he.model]
                       [--threads 0] [--side-by-side side_by_side.png] [--rows 6]

Every PNG, JPEG or TIFF file of TILE_DIR is normalised and saved under the same name in OUT_DIR.
Images are read with Pillow as RGB numpy arrays, the layout histonorm takes and returns.
Without TILE_DIR (--demo), 256 x 256 tiles are cut from the shipped H&E samples first.
"""
import argparse
import pathlib
import sys
import tempfile

import numpy as np
from PIL import Image

import histonorm

ROOT = pathlib.Path(__file__).resolve().parents[2]
SUFFIXES = {".png", ".jpg", ".jpeg", ".tif", ".tiff"}


def read_rgb(path):
    with Image.open(path) as image:
        return np.asarray(image.convert("RGB"))


def cut_demo_tiles(folder, size=256):
    """Tiles from the shipped samples (he_sample_1 and he_sample_3), to have something to normalise."""
    for name in ("he_sample_1.png", "he_sample_3.png"):
        image = read_rgb(ROOT / "data" / "samples" / name)
        for y in range(0, image.shape[0] - size + 1, 2 * size):
            for x in range(0, image.shape[1] - size + 1, 2 * size):
                tile = image[y : y + size, x : x + size]  # a view: histonorm takes any strides
                Image.fromarray(np.ascontiguousarray(tile)).save(folder / f"{pathlib.Path(name).stem}_{y}_{x}.png")


def fit_height(image, height):
    """The image scaled to `height` rows (nearest neighbour), so that a row of the picture lines up."""
    rows = np.arange(height) * image.shape[0] // height
    width = max(1, image.shape[1] * height // image.shape[0])
    cols = np.arange(width) * image.shape[1] // width
    return image[rows][:, cols]


def side_by_side(rows, height=192, gap=6):
    """Rows of images (source | target | result) on white, scaled to one height."""
    lines = []
    for images in rows:
        parts = []
        for image in images:
            parts += [fit_height(image, height), np.full((height, gap, 3), 255, np.uint8)]
        lines.append(np.concatenate(parts[:-1], axis=1))
    width = max(line.shape[1] for line in lines)
    padded = [np.pad(line, ((0, gap), (0, width - line.shape[1]), (0, 0)), constant_values=255) for line in lines]
    return np.concatenate(padded, axis=0)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("tiles", nargs="?", type=pathlib.Path, help="folder of tiles (default: --demo tiles)")
    parser.add_argument("target", nargs="?", type=pathlib.Path, default=ROOT / "data" / "samples" / "he_sample_2.png")
    parser.add_argument("out", nargs="?", type=pathlib.Path, default=pathlib.Path("normalised_tiles"))
    parser.add_argument("--method", default="Reinhard", choices=histonorm.methods())
    parser.add_argument("--model", default=str(ROOT / "data" / "models" / "he.model"),
                        help="colour model of BimodalDeconvRVM")
    parser.add_argument("--threads", type=int, default=0, help="worker threads per tile (0 = all cores)")
    parser.add_argument("--side-by-side", type=pathlib.Path, default=None,
                        help="picture to write (default: OUT/side_by_side.png)")
    parser.add_argument("--rows", type=int, default=6, help="tiles shown in the picture")
    args = parser.parse_args()

    tiles = args.tiles
    if tiles is None:
        tiles = pathlib.Path(tempfile.mkdtemp(prefix="histonorm_tiles_"))
        cut_demo_tiles(tiles)
    names = sorted(p for p in tiles.iterdir() if p.suffix.lower() in SUFFIXES)
    if not names:
        sys.exit(f"no image tiles in {tiles}")
    args.out.mkdir(parents=True, exist_ok=True)

    model = args.model if args.method == "BimodalDeconvRVM" else None
    norm = histonorm.Normaliser(args.method, model=model, threads=args.threads)
    target = read_rgb(args.target)
    norm.fit(target)

    shown = []
    for path in names:
        tile = read_rgb(path)
        result = norm.transform(tile)
        Image.fromarray(result).save(args.out / (path.stem + ".png"))
        if len(shown) < args.rows:
            shown.append((tile, target, result))
    picture = args.side_by_side or args.out / "side_by_side.png"
    Image.fromarray(side_by_side(shown)).save(picture)
    print(f"{len(names)} tiles normalised with {args.method} into {args.out}; side by side: {picture}")


if __name__ == "__main__":
    main()
