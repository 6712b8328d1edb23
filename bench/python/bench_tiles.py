#!/usr/bin/env python3
"""Throughput per tile from Python: MP/s per method at 256², 512² and 2048², one thread and all.

For each method, fitted once on he_sample_2: `transform` per tile (each tile measured on its own)
and a `Transform` made by fit_source once on the tile's image and applied per call (the slide
recipe). Tiles are he_sample_1 tiled to the size. Peers are measured side by side when they import
here (scikit-image's match_histograms next to RGBHistSpec). With torch installed, tiles per second
through a two-worker DataLoader of 256² tiles (Reinhard, Transform). One-thread figures are CPU
time of the calling thread (median of --repeats batches), all-core figures wall time.

    PYTHONPATH=build/release/python /usr/bin/python3 bench/python/bench_tiles.py
"""
import argparse
import pathlib
import statistics
import time

import cv2
import numpy as np

import histonorm

ROOT = pathlib.Path(__file__).resolve().parents[2]
SAMPLES = ROOT / "data" / "samples"
MODEL = str(ROOT / "data" / "models" / "he.model")
SIZES = (256, 512, 2048)


def read_rgb(name):
    return np.ascontiguousarray(cv2.imread(str(SAMPLES / name), cv2.IMREAD_COLOR)[:, :, ::-1])


def tiled(image, size):
    reps = (size // image.shape[0] + 1, size // image.shape[1] + 1, 1)
    return np.ascontiguousarray(np.tile(image, reps)[:size, :size])


def megapixels_per_second(call, image, min_seconds, repeats, one_thread):
    """The median over `repeats` batches of MP/s; a batch lasts about min_seconds."""
    call(image)
    start, calls = time.perf_counter(), 0
    while time.perf_counter() - start < min_seconds:
        call(image)
        calls += 1
    clock = time.thread_time if one_thread else time.perf_counter
    rates = []
    for _ in range(repeats):
        start = clock()
        for _ in range(max(1, calls)):
            call(image)
        rates.append(max(1, calls) * image.shape[0] * image.shape[1] / (clock() - start) / 1e6)
    return statistics.median(rates)


def peers():
    found = {}
    try:
        from skimage.exposure import match_histograms
        target = read_rgb("he_sample_2.png")
        found["RGBHistSpec"] = ("skimage match_histograms", lambda tile: match_histograms(tile, target, channel_axis=-1))
    except ImportError:
        pass
    return found


def data_loader_rate(transform, tiles, workers):
    import torch.utils.data as data

    class Tiles(data.Dataset):
        def __len__(self):
            return len(tiles)

        def __getitem__(self, index):
            return transform(tiles[index])

    loader = data.DataLoader(Tiles(), batch_size=None, num_workers=workers)
    start = time.perf_counter()
    for _ in loader:
        pass
    return len(tiles) / (time.perf_counter() - start)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--min-seconds", type=float, default=0.3, help="length of one timed batch")
    parser.add_argument("--repeats", type=int, default=3, help="batches per figure (the median is shown)")
    parser.add_argument("--method", action="append", help="measure only this method (may be repeated)")
    parser.add_argument("--size", type=int, action="append", help="measure only this tile side (may be repeated)")
    args = parser.parse_args()
    base, target = read_rgb("he_sample_1.png"), read_rgb("he_sample_2.png")
    images = {size: tiled(base, size) for size in set(SIZES) | set(args.size or ())}
    peer = peers()
    print(f"{'method':18} {'size':>5} {'threads':>7} {'transform':>10} {'Transform':>10}  peer (MP/s)")
    for method in args.method or histonorm.methods():
        for size in args.size or SIZES:
            for threads in (1, 0):
                norm = histonorm.Normaliser(method, model=MODEL if method == "BimodalDeconvRVM" else None,
                                            threads=threads)
                norm.fit(target)
                transform = norm.fit_source(images[size])
                row = [megapixels_per_second(call, images[size], args.min_seconds, args.repeats, threads == 1)
                       for call in (norm.transform, transform)]
                text = f"{method:18} {size:5} {threads or 'all':>7} {row[0]:10.1f} {row[1]:10.1f}"
                if method in peer and threads == 1:
                    name, call = peer[method]
                    text += f"  {name} {megapixels_per_second(call, images[size], args.min_seconds, args.repeats, True):.1f}"
                print(text, flush=True)
    try:
        import torch  # noqa: F401 - only whether it is there
    except ImportError:
        return
    norm = histonorm.Normaliser("Reinhard", threads=1)
    norm.fit(target)
    tiles = [np.ascontiguousarray(images[2048][r:r + 256, c:c + 256]) for r in range(0, 2048, 256) for c in range(0, 2048, 256)]
    transform = norm.fit_source(images[2048])
    for workers in (0, 2):
        print(f"DataLoader, {workers} workers, Reinhard Transform: {data_loader_rate(transform, tiles, workers):.0f} tiles/s "
              f"(per-tile transform: {data_loader_rate(norm.transform, tiles, workers):.0f})")


if __name__ == "__main__":
    main()
