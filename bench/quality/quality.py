#!/usr/bin/python3
"""Colour-normalisation quality benchmark for the histonorm command-line program.

Restoration: each image (centre crop of at most --max-side pixels a side) is cut into a left half L
and a right half R. R is re-stained nine ways (seeded per image and variant, so runs repeat
exactly): six along the image's own label-free stain directions, three along the standard
reference stain vectors, so that no method is judged only by the estimator it uses itself. Every
re-staining is normalised with L as the target by each method, and the result is scored against
the original R: CIEDE2000 over all pixels, SSIM of the grey images, and whether it beats the
unnormalised re-staining.

Sanity: each image is normalised to a fixed target by each method and checked for bright,
colourless glass, kept structure, and dark and bright tissue that move towards the target's colour.
Consistency: the spread of the normalised sanity images' mean tissue a*/b* across the cohort.

Tables go to stdout (Markdown), progress to stderr; --json writes every per-case number.
"""

import argparse
import concurrent.futures as futures
import json
import math
import os
import re
import subprocess
import sys
import tempfile
import time
import zlib
from pathlib import Path

import cv2
import numpy as np
from skimage import color, metrics

METHODS = ["Reinhard", "RGBHistSpec", "RGBHistSpecThresh", "BimodalDeconvRVM",
           "BimodalDeconvPCA", "Macenko", "Vahadane"]
STAIN_METHOD = "BimodalDeconvRVM"  # the one method that takes a colour model
# Re-stainings along the image's own estimated stain directions, then along the reference vectors.
OWN_VARIANTS = ["conc_a", "conc_b", "hue", "scanner", "conc_hue", "conc_scanner_cast"]
REF_VARIANTS = ["ref_conc", "ref_hue", "ref_conc_hue"]
VARIANTS = OWN_VARIANTS + REF_VARIANTS
GLASS_LEVEL = 220          # a pixel is glass when all three channels are at or above this
TISSUE_OD = 0.15           # optical-density norm below which a non-glass pixel is not used for stain estimation
STAIN_FAILED = "copied unchanged"

# Range of the stain hue changes, in degrees: DAB's hue varies less between labs than eosin's, and
# the two stains of an H-DAB image lie closer together.
TURN_DEGREES = {"he": (10.0, 16.0), "hdab": (6.0, 10.0)}

# Standard reference stain vectors (OD, RGB order): haematoxylin, eosin, DAB as published for
# colour deconvolution. They re-stain the ref_* variants, and stand in for images with too little
# tissue to estimate their own directions.
REFERENCE = {
    "he": np.array([[0.65, 0.70, 0.29], [0.07, 0.99, 0.11]]),
    "hdab": np.array([[0.65, 0.70, 0.29], [0.27, 0.57, 0.78]]),
}


# ----------------------------------------------------------------------------------------------
# Images


def source_of(path):
    """Source of an image: its file name without the trailing _N and the extension."""
    return re.sub(r"_\d+$", "", Path(path).stem)


def centre_crop(img, max_side):
    h, w = img.shape[:2]
    ch, cw = min(h, max_side), min(w, max_side)
    y, x = (h - ch) // 2, (w - cw) // 2
    return img[y:y + ch, x:x + cw]


def read_bgr(path):
    img = cv2.imread(str(path), cv2.IMREAD_COLOR)
    if img is None:
        raise RuntimeError(f"cannot read image {path}")
    return img


def halves(path, max_side):
    img = centre_crop(read_bgr(path), max_side)
    w = img.shape[1]
    if w < 4 or img.shape[0] < 8:
        raise RuntimeError(f"image {path} is too small to cut into halves")
    return np.ascontiguousarray(img[:, : w // 2]), np.ascontiguousarray(img[:, w // 2:])


def glass_mask(bgr):
    return (bgr >= GLASS_LEVEL).all(axis=2)


def to_od(rgb):
    return -np.log10((rgb.astype(np.float64) + 1.0) / 256.0)


def from_od(od):
    return np.clip(np.rint(256.0 * np.power(10.0, -od) - 1.0), 0, 255).astype(np.uint8)


# ----------------------------------------------------------------------------------------------
# Re-staining


def reference_stains(kind):
    return REFERENCE[kind] / np.linalg.norm(REFERENCE[kind], axis=1, keepdims=True)


def estimate_stains(rgb, kind):
    """Two unit stain vectors (rows, RGB optical density) estimated without labels: the extreme
    angles (1st and 99th percentile) of the tissue's optical densities in the plane of their two
    main principal directions. The first row is the one with the larger red-channel density
    (haematoxylin in H&E and H-DAB)."""
    od = to_od(rgb).reshape(-1, 3)
    glass = (rgb.reshape(-1, 3) >= GLASS_LEVEL).all(axis=1)
    tissue = od[~glass & (np.linalg.norm(od, axis=1) > TISSUE_OD)]
    if len(tissue) < 200:
        return reference_stains(kind)
    _, vecs = np.linalg.eigh(tissue.T @ tissue / len(tissue))
    e1, e2 = vecs[:, 2], vecs[:, 1]
    if e1.sum() < 0:
        e1 = -e1
    phi = np.arctan2(tissue @ e2, tissue @ e1)
    lo, hi = np.percentile(phi, [1, 99])
    stains = []
    for a in (lo, hi):
        v = np.clip(math.cos(a) * e1 + math.sin(a) * e2, 1e-3, None)
        stains.append(v / np.linalg.norm(v))
    if stains[0] @ stains[1] > 0.999:  # a single colour: no second stain to find
        return reference_stains(kind)
    stains.sort(key=lambda v: -v[0])
    return np.array(stains)


def turn(stains, i, degrees, rng):
    """Stain i turned by an angle drawn from the range degrees: mostly within the plane of the two
    stains (towards or away from the other stain, never more than 40 % of the way), partly out of
    it (at most 30 degrees off the plane), so that a stain changes hue the way it does between labs
    and stays non-negative."""
    v, other = stains[i], stains[1 - i]
    in_plane = other - (other @ v) * v
    in_plane /= np.linalg.norm(in_plane)
    normal = np.cross(stains[0], stains[1])
    normal /= np.linalg.norm(normal)
    towards = rng.random() < 0.5
    beta = math.radians(rng.uniform(-30.0, 30.0))
    u = math.cos(beta) * (in_plane if towards else -in_plane) + math.sin(beta) * normal
    a = math.radians(rng.uniform(*degrees))
    if towards:
        a = min(a, 0.4 * math.acos(min(1.0, float(v @ other))))
    w = np.clip(math.cos(a) * v + math.sin(a) * u, 1e-3, None)
    return w / np.linalg.norm(w)


def restain(bgr, kind, variant, seed_key):
    """One seeded re-staining of a BGR image; returns a BGR image of the same size. The ref_*
    variants unmix along the reference stain vectors instead of the image's estimated ones."""
    rng = np.random.default_rng(zlib.crc32(f"{seed_key}:{variant}".encode()))
    rgb = bgr[:, :, ::-1]
    if variant.startswith("ref_"):
        stains, variant = reference_stains(kind), variant[len("ref_"):]
    else:
        stains = estimate_stains(rgb, kind)                  # 2 x 3
    od = to_od(rgb).reshape(-1, 3)
    conc = od @ np.linalg.pinv(stains)                        # n x 2
    residual = od - conc @ stains
    # Concentration shifts only act on tissue, so glass stays glass.
    weight = np.clip((np.linalg.norm(od, axis=1) - 0.05) / 0.25, 0.0, 1.0)[:, None]
    glass = glass_mask(bgr).reshape(-1)
    weight[glass] = 0.0

    def change_concentrations(strong):
        if strong:  # one stain much stronger, the other much weaker
            s = np.array([rng.uniform(1.3, 1.7), rng.uniform(0.55, 0.75)])
            if rng.random() < 0.5:
                s = s[::-1]
        else:
            s = rng.uniform(0.65, 1.5, size=2)
        t = rng.uniform(-0.05, 0.1, size=2)
        return conc * s + weight * t

    def turn_stains():
        return np.array([turn(stains, i, TURN_DEGREES[kind], rng) for i in range(2)])

    def scanner(img_rgb, cast):
        x = img_rgb.astype(np.float64) / 255.0
        # A tone curve common to the channels with small differences between them.
        gamma = rng.uniform(0.75, 1.3) * rng.uniform(0.94, 1.06, size=3)
        gain = rng.uniform(0.96, 1.03, size=3)
        if cast:  # a tint of the illumination: up to 8 % less light in one or two channels
            gain *= 1.0 - rng.uniform(0.02, 0.08, size=3) * rng.permutation([1.0, 1.0, 0.0])
        gain /= max(gain.max(), 1.0)
        return np.clip(np.rint(255.0 * gain * np.power(x, gamma)), 0, 255).astype(np.uint8)

    new_conc, new_stains, scan, cast = conc, stains, False, False
    if variant in ("conc_a", "conc"):
        new_conc = change_concentrations(strong=False)
    elif variant == "conc_b":
        new_conc = change_concentrations(strong=True)
    elif variant == "hue":
        new_stains = turn_stains()
    elif variant == "scanner":
        scan = True
    elif variant == "conc_hue":
        new_conc = change_concentrations(strong=False)
        new_stains = turn_stains()
    elif variant == "conc_scanner_cast":
        new_conc = change_concentrations(strong=False)
        scan = cast = True
    else:
        raise ValueError(variant)
    out = from_od(new_conc @ new_stains + residual).reshape(rgb.shape)
    out[glass.reshape(rgb.shape[:2])] = rgb[glass.reshape(rgb.shape[:2])]
    if scan:
        out = scanner(out, cast)
    return np.ascontiguousarray(out[:, :, ::-1])


# ----------------------------------------------------------------------------------------------
# Running the program


def normalise(binary, workdir, method, image, target, model, verdict=None):
    """Runs histonorm on one image with one method in workdir. Returns (BGR result or None,
    failure text or None). With a list as `verdict`, the run also checks its result (--check) and
    the list gets the program's failures for the image (empty when it looks right)."""
    workdir = Path(workdir)
    (workdir / "normalised").mkdir(exist_ok=True)
    cv2.imwrite(str(workdir / "in.png"), image)
    cv2.imwrite(str(workdir / "target.png"), target)
    (workdir / "list.txt").write_text("in.png\n")
    out_path = workdir / "normalised" / "in.png"
    if out_path.exists():
        out_path.unlink()
    args = [str(binary), method, str(workdir / "list.txt"), str(workdir / "target.png")]
    if method == STAIN_METHOD:
        args.append(str(model))
    if verdict is not None:
        args.append("--check")
    env = dict(os.environ, OPENCV_FOR_THREADS_NUM="1")
    # The working directory is the case's own folder, so no stray params.txt changes the thresholds.
    try:
        proc = subprocess.run(args, cwd=workdir, env=env, capture_output=True, text=True, timeout=600)
    except subprocess.TimeoutExpired:
        return None, "no result after 600 s"
    last = proc.stderr.strip().splitlines()[-1:] or [""]
    if proc.returncode != 0 and not (verdict is not None and proc.returncode == 2):
        return None, f"exit status {proc.returncode}: {last[0]}"
    if verdict is not None:
        named = re.search(r"in\.png \(([^)]*)\)", last[0])
        verdict.extend(named.group(1).split(", ") if named else [])
    if STAIN_FAILED in proc.stderr:
        return None, "stain estimation failed (image copied unchanged)"
    result = cv2.imread(str(out_path), cv2.IMREAD_COLOR)
    if result is None:
        return None, "no output image"
    if result.shape != image.shape:
        return None, f"output size {result.shape} differs from input {image.shape}"
    return result, None


def lab_of(bgr):
    return color.rgb2lab(bgr[:, :, ::-1].astype(np.float64) / 255.0)


def grey_of(bgr):
    return cv2.cvtColor(bgr, cv2.COLOR_BGR2GRAY)


def finite_or_none(x):
    x = float(x)
    return x if math.isfinite(x) else None


# ----------------------------------------------------------------------------------------------
# Jobs (run in worker processes)


def restoration_job(cfg, path, kind, model, variant):
    left, right = halves(path, cfg["max_side"])
    restained = restain(right, kind, variant, seed_key=Path(path).name)
    truth_lab, truth_grey = lab_of(right), grey_of(right)
    rows = []

    def score(method, img, failure):
        row = {"image": str(path), "source": source_of(path), "kind": kind, "variant": variant,
               "method": method, "model": str(model) if method == STAIN_METHOD else None,
               "failure": failure, "de_median": None, "de_mean": None, "ssim": None}
        if img is not None:
            de = color.deltaE_ciede2000(truth_lab, lab_of(img))
            row["de_median"] = finite_or_none(np.median(de))
            row["de_mean"] = finite_or_none(np.mean(de))
            row["ssim"] = finite_or_none(metrics.structural_similarity(
                truth_grey, grey_of(img), data_range=255))
            if failure is None and None in (row["de_median"], row["de_mean"], row["ssim"]):
                row["failure"] = "non-finite score"
        rows.append(row)

    score("none", restained, None)
    with tempfile.TemporaryDirectory(prefix="hn-quality-") as tmp:
        for method in cfg["methods"]:
            result, failure = normalise(cfg["binary"], tmp, method, restained, left, model)
            score(method, result, failure)
    return rows


def region_stats(bgr, lab, glass):
    """Mean L*, mean chroma of the glass; positions of the darkest (lowest 15 %) and bright (50th to
    85th percentile) tissue by L*."""
    tissue_l = lab[..., 0][~glass]
    idx = np.flatnonzero(~glass.reshape(-1))
    order = idx[np.argsort(tissue_l, kind="stable")]
    n = len(order)
    return {
        "glass_share": float(glass.mean()),
        "glass_l": float(lab[..., 0][glass].mean()) if glass.any() else None,
        "glass_chroma": float(np.hypot(lab[..., 1], lab[..., 2])[glass].mean()) if glass.any() else None,
        "dark": order[: max(1, int(0.15 * n))] if n else None,
        "bright": order[int(0.50 * n): max(int(0.50 * n) + 1, int(0.85 * n))] if n else None,
    }


def mean_lab(lab, positions):
    return lab.reshape(-1, 3)[positions].mean(axis=0)


def de_of(a, b):
    return float(color.deltaE_ciede2000(a[None, :], b[None, :])[0])


def tissue_ab(lab, glass):
    """Mean a* and b* of the tissue (non-glass) pixels, or None when there is none."""
    return None if glass.all() else [float(x) for x in lab[..., 1:][~glass].mean(axis=0)]


def sanity_job(cfg, path, kind, model, target_path):
    src = centre_crop(read_bgr(path), cfg["max_side"])
    tgt = centre_crop(read_bgr(target_path), cfg["max_side"])
    src_lab, tgt_lab = lab_of(src), lab_of(tgt)
    src_glass, tgt_glass = glass_mask(src), glass_mask(tgt)
    s, t = region_stats(src, src_lab, src_glass), region_stats(tgt, tgt_lab, tgt_glass)
    # The unnormalised image, for the consistency table only (the sanity table lists methods).
    rows = [{"image": str(path), "source": source_of(path), "kind": kind, "method": "none",
             "target": str(target_path), "model": None, "failed": [],
             "values": {"tissue_ab": tissue_ab(src_lab, src_glass), "target_ab": tissue_ab(tgt_lab, tgt_glass)}}]
    with tempfile.TemporaryDirectory(prefix="hn-sanity-") as tmp:
        for method in cfg["methods"]:
            row = {"image": str(path), "source": source_of(path), "kind": kind, "method": method,
                   "target": str(target_path), "model": str(model) if method == STAIN_METHOD else None,
                   "failed": [], "values": {}}
            verdict = [] if cfg.get("check") else None
            result, failure = normalise(cfg["binary"], tmp, method, src, tgt, model, verdict)
            row["program"] = verdict
            if failure:
                row["failed"].append(f"run: {failure}")
                rows.append(row)
                continue
            res_lab = lab_of(result)
            v = row["values"]
            v["tissue_ab"], v["target_ab"] = tissue_ab(res_lab, src_glass), rows[0]["values"]["target_ab"]
            if s["glass_share"] >= 0.005:
                ref_l = s["glass_l"] if t["glass_l"] is None else min(s["glass_l"], t["glass_l"])
                v["glass_l"] = float(res_lab[..., 0][src_glass].mean())
                v["glass_l_min"] = ref_l - 15.0
                v["glass_chroma"] = float(np.hypot(res_lab[..., 1], res_lab[..., 2])[src_glass].mean())
                v["glass_chroma_max"] = max(15.0, (t["glass_chroma"] or 0.0) + 6.0)
                if not v["glass_l"] >= v["glass_l_min"]:
                    row["failed"].append(f"glass L* {v['glass_l']:.1f} < {v['glass_l_min']:.1f}")
                if not v["glass_chroma"] <= v["glass_chroma_max"]:
                    row["failed"].append(f"glass chroma {v['glass_chroma']:.1f} > {v['glass_chroma_max']:.1f}")
            v["ssim"] = float(metrics.structural_similarity(grey_of(src), grey_of(result), data_range=255))
            if not v["ssim"] >= 0.80:
                row["failed"].append(f"SSIM {v['ssim']:.3f} < 0.80")
            for region in ("dark", "bright"):
                if s[region] is None or t[region] is None:
                    continue
                goal = mean_lab(tgt_lab, t[region])
                before = de_of(mean_lab(src_lab, s[region]), goal)
                after = de_of(mean_lab(res_lab, s[region]), goal)
                v[f"{region}_before"], v[f"{region}_after"] = before, after
                if not (after <= 0.6 * before or after <= 5.0):
                    row["failed"].append(f"{region} tissue dE {before:.1f} -> {after:.1f}")
            rows.append(row)
    return rows


# ----------------------------------------------------------------------------------------------
# Tables


def check_agreement(rows):
    """How often the program's --check gives the sanity check's verdict, and whether it names every
    darkened glass."""
    checked = [r for r in rows if r.get("program") is not None and not any(f.startswith("run:") for f in r["failed"])]
    agree = sum((not r["failed"]) == (not r["program"]) for r in checked)
    dark = [r for r in checked if any(f.startswith("glass L*") for f in r["failed"])]
    named = sum("glass darkened" in r["program"] for r in dark)
    lines = [f"--check agrees with the sanity check on {agree} of {len(checked)} cases; "
             f"names {named} of {len(dark)} darkened glasses"]
    lines += [f"- {Path(r['image']).name} {r['method']}: sanity {'; '.join(r['failed']) or 'pass'}, "
              f"--check {', '.join(r['program']) or 'pass'}" for r in checked if (not r["failed"]) != (not r["program"])]
    return "\n".join(lines) + "\n"


def fmt(x, digits=2):
    return "–" if x is None else f"{x:.{digits}f}"


def restoration_table(rows, kind, methods, models_by_source):
    rows = [r for r in rows if r["kind"] == kind]
    if not rows:
        return ""
    none_de = {(r["image"], r["variant"]): r["de_mean"] for r in rows if r["method"] == "none"}
    cases = len(none_de)
    out = [f"### Restoration, {'H&E' if kind == 'he' else 'H-DAB'}: {len(set(r['image'] for r in rows))} images, "
           f"{cases} cases (target = other half of the same image)", "",
           "ΔE00 of a case: CIEDE2000 against the original right half, averaged over all its pixels; "
           "the table gives its median and mean over all cases, and the median over the re-stainings "
           "along the image's own stain directions (own) and along the reference vectors (ref). A case "
           "beats none when its ΔE00 is below that of the unnormalised re-staining; worst: the largest "
           "ΔE00 above none's. SSIM: grey result against grey original.", "",
           "| method | median ΔE00 | mean ΔE00 | median, own | median, ref | mean SSIM | beats none "
           "| worst vs none | failures |",
           "|---|---|---|---|---|---|---|---|---|"]
    failures = []

    def median_of(rs):
        return fmt(np.median([r["de_mean"] for r in rs])) if rs else "–"

    for method in ["none"] + methods:
        mine = [r for r in rows if r["method"] == method]
        ok = [r for r in mine if r["failure"] is None]
        excess = [r["de_mean"] - none_de[(r["image"], r["variant"])] for r in ok]
        beats = sum(1 for x in excess if x < 0)
        failures += [r for r in mine if r["failure"]]
        other = method == "none"
        out.append(f"| {method} | {median_of(ok)} "
                   f"| {fmt(np.mean([r['de_mean'] for r in ok]) if ok else None)} "
                   f"| {median_of([r for r in ok if r['variant'] in OWN_VARIANTS])} "
                   f"| {median_of([r for r in ok if r['variant'] in REF_VARIANTS])} "
                   f"| {fmt(np.mean([r['ssim'] for r in ok]) if ok else None, 3)} "
                   f"| {'–' if other else f'{100.0 * beats / max(1, len(mine)):.0f} %'} "
                   f"| {'–' if other or not excess else f'{max(excess):+.2f}'} "
                   f"| {len(mine) - len(ok)} |")
    out += ["", "Median ΔE00 per re-staining and per source:", "",
            "| | " + " | ".join(["none"] + methods) + " | model |",
            "|---|" + "---|" * (len(methods) + 2)]

    def medians(select):
        cells = []
        for method in ["none"] + methods:
            vals = [r["de_mean"] for r in rows if r["method"] == method and select(r) and r["failure"] is None]
            cells.append(fmt(np.median(vals)) if vals else "–")
        return cells

    for variant in [v for v in VARIANTS if any(r["variant"] == v for r in rows)]:
        out.append(f"| {variant} | " + " | ".join(medians(lambda r: r["variant"] == variant)) + " | |")
    for source in sorted(set(r["source"] for r in rows)):
        model = models_by_source.get((kind, source), "")
        out.append(f"| {source} | " + " | ".join(medians(lambda r: r["source"] == source))
                   + f" | {Path(model).name} |")
    if failures:
        out += ["", "Failures:", ""]
        out += [f"- {Path(r['image']).name} {r['variant']} {r['method']}: {r['failure']}" for r in failures]
    return "\n".join(out) + "\n"


def sanity_table(rows, methods):
    if not rows:
        return ""
    out = ["### Sanity (each image normalised to the fixed target)", "",
           "| image | target | " + " | ".join(methods) + " |", "|---|---|" + "---|" * len(methods)]
    images = []
    for r in rows:
        if (r["image"], r["target"]) not in images:
            images.append((r["image"], r["target"]))
    for image, target in images:
        cells = []
        for method in methods:
            r = next((r for r in rows if r["image"] == image and r["target"] == target and r["method"] == method), None)
            cells.append("–" if r is None else ("pass" if not r["failed"] else "FAIL: " + "; ".join(r["failed"])))
        out.append(f"| {Path(image).name} | {Path(target).name} | " + " | ".join(cells) + " |")
    counts = []
    for method in methods:
        mine = [r for r in rows if r["method"] == method]
        counts.append(f"{sum(1 for r in mine if not r['failed'])} / {len(mine)}")
    out.append("| **passed** | | " + " | ".join(counts) + " |")
    return "\n".join(out) + "\n"


def consistency_table(rows, methods):
    """Spread of the normalised images' mean tissue a*/b* across each kind's sanity cohort."""
    out = []
    for kind in ("he", "hdab"):
        mine = [r for r in rows if r["kind"] == kind and r["values"].get("tissue_ab")]
        if not mine:
            continue
        out += [f"### Consistency, {'H&E' if kind == 'he' else 'H-DAB'} (mean tissue a*/b* of each image "
                "normalised to the fixed target)", "",
                "SD: standard deviation of the images' mean a* and b*; centre: median distance in the "
                "a*b* plane to the cohort's mean; target: median distance to the target's mean a*/b*.", "",
                "| method | images | SD a* | SD b* | median to centre | median to target |",
                "|---|---|---|---|---|---|"]
        for method in ["none"] + methods:
            ab = np.array([r["values"]["tissue_ab"] for r in mine if r["method"] == method])
            goal = np.array([r["values"]["target_ab"] for r in mine if r["method"] == method])
            if not len(ab):
                out.append(f"| {method} | 0 | – | – | – | – |")
                continue
            sd = ab.std(axis=0)
            centre = np.median(np.linalg.norm(ab - ab.mean(axis=0), axis=1))
            target = np.median(np.linalg.norm(ab - goal, axis=1))
            out.append(f"| {method} | {len(ab)} | {sd[0]:.2f} | {sd[1]:.2f} | {centre:.2f} | {target:.2f} |")
        out.append("")
    return "\n".join(out)


# ----------------------------------------------------------------------------------------------


def look(images, kinds, max_side, folder):
    """Writes, per image, R and its nine re-stainings side by side (to check them by eye)."""
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    for path, kind in zip(images, kinds):
        _, right = halves(path, max_side)
        tiles = [right] + [restain(right, kind, v, seed_key=Path(path).name) for v in VARIANTS]
        cv2.imwrite(str(folder / f"{kind}_{Path(path).stem}.png"), np.hstack(tiles))


def pick_model(kind, source, default, model_dir):
    if model_dir:
        candidate = Path(model_dir) / f"{kind}_without_{source}.model"
        if candidate.is_file():
            return candidate.resolve()
    # Each case runs in its own folder, so a relative path is made absolute here.
    return Path(default).resolve()


def main(argv=None):
    here = Path(__file__).resolve().parent
    models = here.parent.parent / "data" / "models"
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--histonorm", help="the histonorm program")
    p.add_argument("--he", nargs="*", default=[], help="H&E images for the restoration benchmark")
    p.add_argument("--hdab", nargs="*", default=[], help="haematoxylin-DAB images for the restoration benchmark")
    p.add_argument("--he-model", default=str(models / "he.model"), help="default H&E colour model")
    p.add_argument("--hdab-model", default=str(models / "hdab.model"), help="default H-DAB colour model")
    p.add_argument("--model-dir", help="folder of models trained without a source: "
                   "he_without_SOURCE.model, hdab_without_SOURCE.model (used where present)")
    p.add_argument("--sanity-he", nargs="*", default=[], help="H&E images for the sanity check")
    p.add_argument("--sanity-hdab", nargs="*", default=[], help="H-DAB images for the sanity check")
    p.add_argument("--he-target", help="target of the H&E sanity check")
    p.add_argument("--hdab-target", help="target of the H-DAB sanity check")
    p.add_argument("--methods", nargs="+", default=METHODS, choices=METHODS)
    p.add_argument("--variants", nargs="+", default=VARIANTS, choices=VARIANTS,
                   help="re-stainings of the restoration benchmark (default: all nine)")
    p.add_argument("--max-side", type=int, default=1024, help="centre crop of at most N x N first (default 1024)")
    p.add_argument("-j", "--jobs", type=int, default=2, help="parallel cases (default 2)")
    p.add_argument("--json", help="write every per-case number to this file")
    p.add_argument("--check", action="store_true",
                   help="also run the sanity cases with the program's --check and report how often it agrees")
    p.add_argument("--look", metavar="DIR", help="only write the re-stainings side by side to DIR and stop")
    p.add_argument("--merge", nargs="+", metavar="RUN.json",
                   help="only print the tables of earlier --json runs (one per group of methods) together")
    a = p.parse_args(argv)

    def fail(msg):
        print(f"quality.py: error: {msg}", file=sys.stderr)
        sys.exit(2)

    if a.merge:
        try:
            report(merge_runs(a.merge), a.json)
        except (OSError, ValueError, KeyError, RuntimeError) as e:
            fail(f"cannot merge the runs: {e}")
        return 0

    he = [(x, "he") for x in a.he]
    hdab = [(x, "hdab") for x in a.hdab]
    sanity = [(x, "he") for x in a.sanity_he] + [(x, "hdab") for x in a.sanity_hdab]
    for path, _ in he + hdab + sanity:
        if not Path(path).is_file():
            fail(f"no image {path}")
    if a.look:
        look([x for x, _ in he + hdab], [k for _, k in he + hdab], a.max_side, a.look)
        return 0
    if not a.histonorm:
        fail("--histonorm is needed")
    binary = Path(a.histonorm)
    if not (binary.is_file() and os.access(binary, os.X_OK)):
        fail(f"histonorm program not found or not executable: {binary}")
    if a.max_side < 16 or a.jobs < 1:
        fail("--max-side must be at least 16 and -j at least 1")
    if a.sanity_he and not a.he_target:
        fail("--sanity-he needs --he-target")
    if a.sanity_hdab and not a.hdab_target:
        fail("--sanity-hdab needs --hdab-target")
    for t in (a.he_target, a.hdab_target):
        if t and not Path(t).is_file():
            fail(f"no target image {t}")
    if a.model_dir and not Path(a.model_dir).is_dir():
        fail(f"no model folder {a.model_dir}")

    default_model = {"he": a.he_model, "hdab": a.hdab_model}
    models_by_source = {}
    for path, kind in he + hdab + sanity:
        key = (kind, source_of(path))
        models_by_source[key] = str(pick_model(kind, key[1], default_model[kind], a.model_dir))
    if STAIN_METHOD in a.methods:
        for model in sorted(set(models_by_source.values())):
            if not Path(model).is_file():
                fail(f"no colour model {model}")

    cfg = {"binary": str(binary.resolve()), "max_side": a.max_side, "methods": a.methods, "check": a.check}
    targets = {"he": a.he_target, "hdab": a.hdab_target}
    jobs = []
    for path, kind in he + hdab:
        model = models_by_source[(kind, source_of(path))]
        jobs += [(restoration_job, (cfg, path, kind, model, v), f"{Path(path).name} {v}") for v in a.variants]
    for path, kind in sanity:
        if Path(path).resolve() == Path(targets[kind]).resolve():
            continue
        model = models_by_source[(kind, source_of(path))]
        jobs.append((sanity_job, (cfg, path, kind, model, targets[kind]), f"{Path(path).name} sanity"))

    start = time.time()
    restoration, sanity_rows = [], []
    with futures.ProcessPoolExecutor(max_workers=a.jobs) as pool:
        pending = {pool.submit(fn, *args): (i, label) for i, (fn, args, label) in enumerate(jobs)}
        done = {}
        try:
            for n, fut in enumerate(futures.as_completed(pending), 1):
                i, label = pending[fut]
                done[i] = fut.result()
                print(f"[{n}/{len(jobs)}] {label} ({time.time() - start:.0f} s)", file=sys.stderr)
        except BaseException as e:
            for fut in pending:
                fut.cancel()
            if isinstance(e, RuntimeError):  # an unreadable or unusable image
                fail(str(e))
            raise
    for i, (fn, _, _) in enumerate(jobs):
        (restoration if fn is restoration_job else sanity_rows).extend(done[i])

    print(f"histonorm quality benchmark: centre crop ≤ {a.max_side} px, {len(jobs)} jobs "
          f"in {time.time() - start:.0f} s\n")
    report({"restoration": restoration, "sanity": sanity_rows, "max_side": a.max_side, "methods": a.methods,
            "check": a.check,
            "models": {f"{k}:{s}": m for (k, s), m in models_by_source.items()}}, a.json)
    return 0


def report(run, json_path):
    """Prints the tables of a run and writes it to json_path (if given)."""
    models_by_source = {tuple(k.split(":", 1)): m for k, m in run["models"].items()}
    for kind in ("he", "hdab"):
        table = restoration_table(run["restoration"], kind, run["methods"], models_by_source)
        if table:
            print(table)
    for table in (sanity_table(run["sanity"], run["methods"]), consistency_table(run["sanity"], run["methods"])):
        if table:
            print(table)
    if run.get("check"):
        print(check_agreement(run["sanity"]))
    if json_path:
        Path(json_path).parent.mkdir(parents=True, exist_ok=True)
        Path(json_path).write_text(json.dumps(run, indent=1))


def merge_runs(paths):
    """One run made of the --json files of several runs of the same images (say, one run per group
    of methods): every method's rows, the unnormalised rows once."""
    runs = [json.loads(Path(p).read_text(encoding="utf-8")) for p in paths]
    if len({r["max_side"] for r in runs}) != 1:
        raise RuntimeError("the runs to merge used different --max-side")
    merged = {"max_side": runs[0]["max_side"], "models": {}, "restoration": [], "sanity": [],
              "methods": [m for m in METHODS if any(m in r["methods"] for r in runs)]}
    seen = set()
    for run in runs:
        merged["models"].update(run["models"])
        for part in ("restoration", "sanity"):
            for row in run[part]:
                key = (part, row["image"], row.get("variant"), row.get("target"), row["method"])
                if key not in seen:
                    seen.add(key)
                    merged[part].append(row)
    return merged


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        sys.exit(130)
