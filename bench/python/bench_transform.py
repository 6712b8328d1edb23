#!/usr/bin/env python3
"""Throughput of histonorm.Normaliser.transform from Python, next to the same work in C++.

Images: the top-left 2048 x 2048 and 256 x 256 of he_sample_1 tiled (as the C++ benchmark makes
them), fitted to he_sample_2. For each method: MP/s at 2048 x 2048 with one thread and with all
cores, and at 256 x 256 with one thread (a new result per call, per-call costs included). With
--cpp, the in-process C++ benchmark (python_api_bench) runs first and each row shows both figures,
the Python side's extra time in percent and its extra time per call.

One-thread figures are CPU time of the calling thread on both sides (all of that work runs there),
so that other processes on the machine disturb them little; all-core figures are wall time.

    PYTHONPATH=build/release/python /usr/bin/python3 bench/python/bench_transform.py \
        --cpp build/release/python/bench/python_api_bench
"""
import argparse
import json
import pathlib
import statistics
import subprocess
import time

import cv2
import numpy as np

import histonorm

ROOT = pathlib.Path(__file__).resolve().parents[2]
SAMPLES = ROOT / "data" / "samples"
MODEL = str(ROOT / "data" / "models" / "he.model")
CASES = [(size, threads) for size, threads in ((2048, 1), (2048, 0), (256, 1))]


def read_rgb(name):
    return cv2.imread(str(SAMPLES / name), cv2.IMREAD_COLOR)[:, :, ::-1]


def tiled(image, size):
    reps = (size // image.shape[0] + 1, size // image.shape[1] + 1, 1)
    return np.ascontiguousarray(np.tile(image, reps)[:size, :size])


def seconds_per_call(norm, image, min_seconds, repeats, clock):
    """The median over `repeats` batches of the mean time of one call; a batch lasts min_seconds."""
    norm.transform(image)
    start, calls = time.perf_counter(), 0
    while time.perf_counter() - start < min_seconds:
        norm.transform(image)
        calls += 1
    batch = max(1, calls)
    times = []
    for _ in range(repeats):
        start = clock()
        for _ in range(batch):
            norm.transform(image)
        times.append((clock() - start) / batch)
    return statistics.median(times)


def python_figures(min_seconds, repeats):
    large = tiled(read_rgb("he_sample_1.png"), 2048)
    images = {2048: large, 256: np.ascontiguousarray(large[:256, :256])}
    target = read_rgb("he_sample_2.png")
    figures = {}
    for method in histonorm.methods():
        for size, threads in CASES:
            norm = histonorm.Normaliser(method, model=MODEL if method == "BimodalDeconvRVM" else None, threads=threads)
            norm.fit(target)
            clock = time.thread_time if threads == 1 else time.perf_counter
            figures[(method, size, threads)] = seconds_per_call(norm, images[size], min_seconds, repeats, clock)
    return figures


def cpp_figures(binary, min_seconds, repeats):
    out = subprocess.run([binary, "--benchmark_format=json", f"--benchmark_min_time={min_seconds}",
                          f"--benchmark_repetitions={repeats}", "--benchmark_report_aggregates_only=true"],
                         check=True, capture_output=True, text=True).stdout
    methods = histonorm.methods()
    figures = {}
    for run in json.loads(out)["benchmarks"]:
        if run.get("aggregate_name") != "median":
            continue
        method, size, threads = (int(v) for v in run["run_name"].split("/")[1:4])
        clock = "cpu_time" if threads == 1 else "real_time"
        figures[(methods[method], size, threads)] = run[clock] / 1e3  # milliseconds -> seconds
    return figures


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--cpp", help="the python_api_bench executable, for the C++ figures")
    parser.add_argument("--min-seconds", type=float, default=0.5, help="length of one timed batch")
    parser.add_argument("--repeats", type=int, default=5, help="batches per figure (the median is shown)")
    parser.add_argument("--rounds", type=int, default=1,
                        help="C++ and Python measured in turn this often; the median of the rounds is shown")
    args = parser.parse_args()

    rounds = []
    for _ in range(args.rounds):
        cpp = cpp_figures(args.cpp, args.min_seconds, args.repeats) if args.cpp else {}
        rounds.append((cpp, python_figures(args.min_seconds, args.repeats)))
    cpp = {key: statistics.median(r[0][key] for r in rounds) for key in rounds[0][0]}
    python = {key: statistics.median(r[1][key] for r in rounds) for key in rounds[0][1]}
    print(f"{'method':18} {'size':>5} {'threads':>7} {'C++ MP/s':>9} {'Py MP/s':>8} {'extra':>7} {'extra/call':>11}")
    for (method, size, threads), seconds in python.items():
        rate = size * size / seconds / 1e6
        row = f"{method:18} {size:5} {threads or 'all':>7}"
        base = cpp.get((method, size, threads))
        if base is None:
            print(f"{row} {'':>9} {rate:8.1f}")
            continue
        extra = seconds - base
        print(f"{row} {size * size / base / 1e6:9.1f} {rate:8.1f} {100 * extra / base:6.1f}% {extra * 1e6:8.0f} us")


if __name__ == "__main__":
    main()
