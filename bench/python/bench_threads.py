#!/usr/bin/env python3
"""Wall time of transforming the same images on one histonorm.Normaliser from 1 and from N Python
threads at once (the normaliser made with threads=1, so each call uses its calling thread only).

Images: 1024 x 1024 tiles of he_sample_1 (1 MP each), fitted to he_sample_2, with the stain method
and the shipped H&E model. Prints both times and their ratio.

    PYTHONPATH=build/release/python /usr/bin/python3 bench/python/bench_threads.py --threads 4 --images 8
"""
import argparse
import pathlib
import threading
import time

import cv2
import numpy as np

import histonorm

ROOT = pathlib.Path(__file__).resolve().parents[2]
SAMPLES = ROOT / "data" / "samples"
MODEL = str(ROOT / "data" / "models" / "he.model")


def read_rgb(name):
    return cv2.imread(str(SAMPLES / name), cv2.IMREAD_COLOR)[:, :, ::-1]


def tile(image, size, shift):
    reps = (size // image.shape[0] + 2, size // image.shape[1] + 2, 1)
    return np.ascontiguousarray(np.tile(image, reps)[shift:shift + size, shift:shift + size])


def run(norm, images, threads):
    """Seconds to transform every image, the images split over `threads` Python threads."""
    parts = [images[i::threads] for i in range(threads)]
    workers = [threading.Thread(target=lambda part=part: [norm.transform(x) for x in part]) for part in parts]
    start = time.perf_counter()
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--threads", type=int, default=4)
    parser.add_argument("--images", type=int, default=8)
    parser.add_argument("--method", default="BimodalDeconvRVM")
    args = parser.parse_args()
    source = read_rgb("he_sample_1.png")
    images = [tile(source, 1024, 7 * i) for i in range(args.images)]
    model = MODEL if args.method == "BimodalDeconvRVM" else None
    norm = histonorm.Normaliser(args.method, model=model, threads=1)
    norm.fit(read_rgb("he_sample_2.png"))
    norm.transform(images[0])  # warm up
    one = run(norm, images, 1)
    many = run(norm, images, args.threads)
    print(f"{args.method}, {args.images} images of 1 MP: 1 thread {one:.2f} s, "
          f"{args.threads} threads {many:.2f} s, {one / many:.2f} times faster")


if __name__ == "__main__":
    main()
