"""The batch program's --check and --report over the shipped samples: the page holds every image
as a small JPEG, valid SVG, the wrong images first, and renders in a headless browser."""
import base64
import html.parser
import io
import os
import pathlib
import re
import shutil
import subprocess
import xml.etree.ElementTree as ElementTree

import pytest
from PIL import Image, ImageStat

ROOT = pathlib.Path(os.environ.get("HISTONORM_ROOT", pathlib.Path(__file__).resolve().parents[2]))
SAMPLES = ["he_sample_1.png", "he_sample_3.png", "ihc_dab.png", "he_sample_2.png"]


class Page(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.images, self.sections = [], []

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == "img":
            self.images.append(attrs)
        if tag == "section":
            self.sections.append("wrong" in attrs.get("class", ""))


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    cli = os.environ.get("HISTONORM_CLI")
    if not cli:
        pytest.skip("HISTONORM_CLI not set")
    folder = tmp_path_factory.mktemp("run")
    (folder / "normalised").mkdir()
    for name in SAMPLES:
        shutil.copy(ROOT / "data" / "samples" / name, folder)
    (folder / "list.txt").write_text("\n".join(SAMPLES) + "\n")
    command = [cli, "Reinhard", str(folder / "list.txt"), str(folder / "he_sample_2.png"), "--threads", "2"]
    report = subprocess.run(command + ["--report", str(folder / "run.html")], capture_output=True, text=True)
    check = subprocess.run(command + ["--check"], capture_output=True, text=True)
    return folder, report, check


def test_check_names_the_wrong_images_in_its_status_and_summary(run):
    _, report, check = run
    summary = check.stderr.splitlines()[-1]
    match = re.fullmatch(r"(\d+) of 4 images look wrong(: .*)?", summary)
    assert match, summary
    wrong = int(match.group(1))
    assert check.returncode == (3 if wrong else 0) == report.returncode
    assert wrong == summary.count(".png (")
    assert "he_sample_2.png (" not in summary  # the target itself comes out right


def test_report_holds_every_image_small_and_valid_svg(run):
    folder, _, _ = run
    text = (folder / "run.html").read_text()
    assert len(text) < 50_000 * (len(SAMPLES) + 1)
    assert "http://" not in text.replace("http://www.w3.org/2000/svg", "") and "<script" not in text
    page = Page()
    page.feed(text)
    assert len(page.images) == 2 * len(SAMPLES) + 1  # before and after, and the target
    for img in page.images:
        prefix = "data:image/jpeg;base64,"
        assert img["src"].startswith(prefix)
        thumb = Image.open(io.BytesIO(base64.b64decode(img["src"][len(prefix):])))
        assert thumb.format == "JPEG" and max(thumb.size) <= 256
        assert thumb.size == (int(img["width"]), int(img["height"]))
    svgs = re.findall(r"<svg.*?</svg>", text, re.S)
    assert svgs
    for svg in svgs:
        plot = ElementTree.fromstring(svg)
        assert len(plot.findall(".//{http://www.w3.org/2000/svg}circle")) == 2 * len(SAMPLES)
    assert page.sections == sorted(page.sections, reverse=True)  # wrong images first


def test_report_renders_with_thumbnails(run, tmp_path):
    browser = shutil.which("chromium")
    if not browser:
        pytest.skip("chromium is not installed: the report is not rendered")
    folder, _, _ = run
    shot = tmp_path / "report.png"
    subprocess.run([browser, "--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                    "--disable-component-update", "--disable-sync", "--no-first-run",
                    f"--user-data-dir={tmp_path / 'profile'}", f"--screenshot={shot}", "--window-size=1100,1400",
                    (folder / "run.html").as_uri()], check=True, capture_output=True, timeout=120)
    image = Image.open(shot).convert("RGB")
    assert max(ImageStat.Stat(image).stddev) > 20  # not blank
    # Thumbnails show stained tissue: pink and purple pixels (red above green by 40), more than half
    # a thumbnail's worth; the page's red text alone has a few hundred.
    pink = sum(1 for r, g, _ in image.getdata() if r > g + 40)
    assert pink > 256 * 190 // 2


@pytest.mark.parametrize("method,curves", [("Reinhard", 0), ("BimodalDeconvRVM", 2)])
def test_slide_report_shows_the_sample_before_and_after(tmp_path, method, curves):
    tool = os.environ.get("HISTONORM_SLIDE")
    if not tool:
        pytest.skip("HISTONORM_SLIDE not set")
    report = tmp_path / "slide.html"
    model = ["--model", str(ROOT / "data" / "models" / "he.model")] if curves else []
    run = subprocess.run([tool, method, str(ROOT / "data" / "wsi" / "cmu_small_region.svs"), str(tmp_path / "out.tif"),
                          "--target", str(ROOT / "data" / "samples" / "he_sample_2.png"), "--threads", "2",
                          "--report", str(report)] + model, capture_output=True, text=True)
    summary = [line for line in run.stderr.splitlines() if "of 1 image looks wrong" in line]
    assert len(summary) == 1 and run.returncode == (0 if summary[0].startswith("0 of") else 3), run.stderr
    page = Page()
    page.feed(report.read_text())
    assert len(page.images) == 3 and (tmp_path / "out.tif").stat().st_size > 0
    assert report.read_text().count("<polyline") == curves


@pytest.mark.parametrize("threads", ["1", "2"])
def test_stain_report_plots_each_images_channel_curves_beside_its_swatches(tmp_path, threads):
    cli = os.environ.get("HISTONORM_CLI")
    if not cli:
        pytest.skip("HISTONORM_CLI not set")
    names = ["he_sample_1.png", "he_sample_3.png"]
    (tmp_path / "normalised").mkdir()
    for name in names:
        shutil.copy(ROOT / "data" / "samples" / name, tmp_path)
    (tmp_path / "list.txt").write_text("\n".join(names) + "\n")
    subprocess.run([cli, "BimodalDeconvRVM", str(tmp_path / "list.txt"), str(ROOT / "data" / "samples" / "he_sample_2.png"),
                    str(ROOT / "data" / "models" / "he.model"), "--threads", threads, "--report", str(tmp_path / "run.html")],
                   capture_output=True, check=False)
    text = (tmp_path / "run.html").read_text()
    assert len(text) < 50_000 * (len(names) + 1)
    sections = re.findall(r"<section.*?</section>", text, re.S)
    assert len(sections) == len(names)
    for section in sections:
        assert section.count('class="swatch"') >= 2
        (svg,) = re.findall(r"<svg.*?</svg>", section, re.S)
        curves = ElementTree.fromstring(svg).findall(".//{http://www.w3.org/2000/svg}polyline")
        assert len(curves) == 2
        for curve in curves:
            points = [tuple(map(float, p.split(","))) for p in curve.get("points").split()]
            xs, ys = zip(*points)
            assert len(points) == 51 and list(xs) == sorted(set(xs)) and 0 <= min(ys) and max(ys) <= 170
