#!/usr/bin/python3
"""Chooses a method's constants by leaving sources out, from quality.py runs of one program build
per setting (--json of each run).

For every source S, the setting chosen on all other sources is scored on S's cases only, so no
source is judged by a setting it helped to choose. A setting is chosen by, first, the fewest
sanity images that fail (any criterion) and then the lowest median restoration ΔE00. The
setting chosen on all sources is the one to ship.

  calibrate.py --method BimodalDeconvPCA tissueOd=0.10:runs/a.json tissueOd=0.15:runs/b.json ...
"""

import argparse
import json
import sys

import numpy as np


def load(named_run, method):
    """(name, restoration ΔE00 by case, failed sanity images by source) of one run."""
    name, sep, path = named_run.partition(":")
    if not sep:
        raise SystemExit(f"calibrate.py: error: expected NAME:RUN.json, got {named_run}")
    with open(path, encoding="utf-8") as f:
        run = json.load(f)
    cases = {}
    for r in run["restoration"]:
        if r["method"] == method:
            # A failed case scores as badly as doing nothing could not: it is never chosen.
            cases[(r["source"], r["image"], r["variant"])] = r["de_mean"] if r["failure"] is None else np.inf
    sane = {}
    for r in run["sanity"]:
        if r["method"] == method:
            sane.setdefault(r["source"], []).append(not r["failed"])
    if not cases:
        raise SystemExit(f"calibrate.py: error: {path} has no restoration cases of {method}")
    return name, cases, sane


def score(run, sources):
    """(sanity failures, median ΔE00) of a run on the given sources: lower is better."""
    _, cases, sane = run
    de = [v for (s, _, _), v in cases.items() if s in sources]
    fails = sum(sum(not ok for ok in sane.get(s, [])) for s in sources)
    return fails, float(np.median(de)) if de else np.inf


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--method", required=True, help="the method whose constants are calibrated")
    p.add_argument("runs", nargs="+", metavar="NAME:RUN.json", help="one quality.py --json run per setting")
    a = p.parse_args(argv)
    runs = [load(named_run, a.method) for named_run in a.runs]
    sources = sorted({s for _, cases, _ in runs for s, _, _ in cases})

    print(f"### Settings of {a.method} on all sources\n")
    print("| setting | sanity failures | median ΔE00 |\n|---|---|---|")
    for run in runs:
        fails, median = score(run, set(sources))
        print(f"| {run[0]} | {fails} | {median:.2f} |")

    print("\n### Leave one source out\n")
    print("| left-out source | chosen on the others | median ΔE00 there | sanity failures there |\n|---|---|---|---|")
    pooled, pooled_fails = [], 0
    for s in sources:
        others = set(sources) - {s}
        best = min(runs, key=lambda run: score(run, others))
        fails, median = score(best, {s})
        pooled += [v for (src, _, _), v in best[1].items() if src == s]
        pooled_fails += fails
        print(f"| {s} | {best[0]} | {median:.2f} | {fails} |")
    print(f"| **all, each scored left out** | | {np.median(pooled):.2f} | {pooled_fails} |")
    best = min(runs, key=lambda run: score(run, set(sources)))
    print(f"\nChosen on all sources: {best[0]}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
