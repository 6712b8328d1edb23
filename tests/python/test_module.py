"""histonorm.Normaliser against the command line, on strided views, bad input, threads, pickling."""
import io
import os
import pickle
import signal
import shutil
import subprocess
import sys
import threading

import numpy as np
import pytest

import histonorm
from conftest import MODEL, SAMPLES, METHODS, make, read_rgb

IMAGES = ["he_sample_1.png", "he_sample_3.png"]


@pytest.mark.parametrize("mean_target", [False, True], ids=["reference", "mean"])
@pytest.mark.parametrize("method", METHODS)
def test_matches_command_line(cli, tmp_path, method, mean_target):
    for name in IMAGES + ["he_sample_2.png"]:
        shutil.copy(SAMPLES / name, tmp_path)
    (tmp_path / "normalised").mkdir()
    (tmp_path / "list.txt").write_text("\n".join(IMAGES) + "\n")
    args = [cli, method, str(tmp_path / "list.txt")]
    if not mean_target:
        args.append(str(tmp_path / "he_sample_2.png"))
    if method == "BimodalDeconvRVM":
        args.append(MODEL)
    subprocess.run(args, check=True, cwd=tmp_path, capture_output=True)

    norm = make(method)
    sources = [read_rgb(tmp_path / name) for name in IMAGES]
    norm.fit(sources if mean_target else read_rgb(tmp_path / "he_sample_2.png"))
    for name, image in zip(IMAGES, sources):
        expected = read_rgb(tmp_path / "normalised" / name)
        assert np.array_equal(norm.transform(image), expected), name


def test_saved_target_is_the_command_lines(cli, tmp_path, fitted, source):
    shutil.copy(SAMPLES / "he_sample_1.png", tmp_path)
    (tmp_path / "list.txt").write_text("he_sample_1.png\n")
    fitted.save_target(tmp_path / "target.json")  # os.PathLike or str
    args = [cli, fitted.method, str(tmp_path / "list.txt")] + ([MODEL] if fitted.model else [])
    (tmp_path / "out").mkdir()
    args += ["--target", str(tmp_path / "target.json"), "--out", str(tmp_path / "out")]
    subprocess.run(args, check=True, cwd=tmp_path, capture_output=True)
    assert np.array_equal(fitted.transform(source), read_rgb(tmp_path / "out" / "he_sample_1.png"))

    loaded = make(fitted.method)
    loaded.load_target(str(tmp_path / "target.json"))
    assert np.array_equal(loaded.transform(source), fitted.transform(source))


VIEWS = {
    "crop": lambda a: a[13:301, 7:400],
    "flipped": lambda a: a[::-1, ::-2],
    "rows_flipped": lambda a: a[::-1],
    "channels_reversed": lambda a: a[:, :, ::-1],
    "fortran": np.asfortranarray,
    "narrow_fortran": lambda a: np.asfortranarray(a[:50, :35]),
    "one_column_fortran": lambda a: np.asfortranarray(a[:50, :1]),
    "rgba": lambda a: np.dstack([a, np.full(a.shape[:2], 255, np.uint8)])[:, :, :3],
    "channel_planes": lambda a: np.moveaxis(np.ascontiguousarray(np.moveaxis(a, 2, 0)), 0, 2),
}


@pytest.mark.parametrize("view", VIEWS.values(), ids=VIEWS.keys())
def test_strided_input_equals_contiguous_copy(fitted, source, view):
    image = view(source)
    before = image.copy()
    result = fitted.transform(image)
    assert result.flags["C_CONTIGUOUS"] and result.shape == image.shape and result.dtype == np.uint8
    assert np.array_equal(result, fitted.transform(np.ascontiguousarray(image)))
    assert np.array_equal(image, before)  # the input is only read


BAD_IMAGES = {
    "grey": np.zeros((8, 8), np.uint8),
    "rgba": np.zeros((8, 8, 4), np.uint8),
    "float": np.zeros((8, 8, 3), np.float32),
    "uint16": np.zeros((8, 8, 3), np.uint16),
    "int8": np.zeros((8, 8, 3), np.int8),
    "empty_rows": np.zeros((0, 8, 3), np.uint8),
    "empty_cols": np.zeros((8, 0, 3), np.uint8),
    "5d": np.zeros((1, 1, 8, 8, 3), np.uint8),
    "empty_batch": np.zeros((0, 8, 8, 3), np.uint8),
    "0d": np.array(3, np.uint8),
}


@pytest.mark.parametrize("image", BAD_IMAGES.values(), ids=BAD_IMAGES.keys())
def test_bad_images_raise_value_error_naming_shape_and_dtype(fitted, image):
    for call in (fitted.transform, fitted.fit, lambda i: fitted.fit([i])):
        with pytest.raises(ValueError, match=rf"\({', '.join(map(str, image.shape))},?\) dtype {image.dtype}"):
            call(image)


def test_other_misuse_raises(tmp_path, source):
    with pytest.raises(TypeError):
        make("Reinhard").fit([[1, 2, 3]])
    with pytest.raises(ValueError, match="unknown method 'Nope'"):
        histonorm.Normaliser("Nope")
    with pytest.raises(ValueError, match="colour model"):
        histonorm.Normaliser("BimodalDeconvRVM")
    with pytest.raises(OSError):
        histonorm.Normaliser("BimodalDeconvRVM", model=str(tmp_path / "missing.model"))
    (tmp_path / "junk.model").write_bytes(b"not a model" * 100)
    with pytest.raises(OSError):
        histonorm.Normaliser("BimodalDeconvRVM", model=str(tmp_path / "junk.model"))
    with pytest.raises(RuntimeError, match="no usable target"):
        make("Reinhard").transform(source)
    with pytest.raises(ValueError, match="at least one image"):
        make("Reinhard").fit([])
    with pytest.raises(TypeError):
        histonorm.Normaliser("Reinhard", log=42)
    with pytest.raises(OSError):
        make("Reinhard").load_target(str(tmp_path / "missing.json"))
    (tmp_path / "bad.json").write_text("{}")
    with pytest.raises(ValueError, match="bad target"):
        make("Reinhard").load_target(str(tmp_path / "bad.json"))


def test_a_failing_bad_image_in_a_list_leaves_the_target_unchanged(target, source):
    norm = make("Reinhard")
    norm.fit(target)
    before = norm.transform(source)
    with pytest.raises(ValueError, match="image 1"):
        norm.fit([source, np.zeros((2, 2), np.uint8)])
    assert np.array_equal(norm.transform(source), before)


def test_log_lines_reach_callables_and_files_and_their_errors_propagate(target, source):
    lines, stream = [], io.StringIO()
    for log in (lines.append, stream):
        norm = make("Reinhard", log=log)
        norm.fit(target)
        norm.transform(source)
    assert lines and stream.getvalue() == "".join(line + "\n" for line in lines)

    def broken(_line):
        raise KeyError("from the log")

    norm = make("Reinhard", log=broken)
    with pytest.raises(KeyError, match="from the log"):
        norm.fit(target)


def test_threads_give_the_same_bytes_and_one_normaliser_serves_many_threads(target):
    images = [read_rgb(SAMPLES / name) for name in IMAGES]
    serial = make("Reinhard", threads=1)
    serial.fit(target)
    expected = [serial.transform(image) for image in images]
    lines = []  # Reinhard logs while it normalises: the log takes the GIL while others wait
    shared = make("Reinhard", threads=0, log=lines.append)
    shared.fit(target)
    results, errors = {}, []

    def work(worker):
        try:
            for round_ in range(5):
                index = (worker + round_) % len(images)
                results[(worker, round_)] = (index, shared.transform(images[index]))
                assert shared.fitted and pickle.loads(pickle.dumps(shared)).fitted
        except Exception as error:  # noqa: BLE001 - reported below
            errors.append(error)

    threads = [threading.Thread(target=work, args=(n,)) for n in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors and len(lines) > 20
    assert all(np.array_equal(result, expected[index]) for index, result in results.values())


def test_pickle_keeps_settings_and_target(fitted, source):
    copy = pickle.loads(pickle.dumps(fitted))
    assert (copy.method, copy.model, copy.threads, copy.log) == (fitted.method, fitted.model, fitted.threads, None)
    assert np.array_equal(copy.transform(source), fitted.transform(source))
    assert not pickle.loads(pickle.dumps(make(fitted.method))).fitted


def test_imports_from_an_installed_prefix(tmp_path):
    build = os.environ.get("HISTONORM_BUILD_DIR")
    if not build:
        pytest.skip("HISTONORM_BUILD_DIR not set")
    subprocess.run(["cmake", "--install", build, "--component", "python", "--prefix", str(tmp_path)], check=True, capture_output=True)
    found = list(tmp_path.glob("lib/python3*/*-packages/histonorm*.so"))
    assert len(found) == 1 and (found[0].parent / "histonorm.pyi").exists()
    code = "import histonorm, sys; assert histonorm.__file__.startswith(sys.argv[1]); print(histonorm.methods())"
    env = {"PYTHONPATH": str(found[0].parent), "PATH": "/usr/bin:/bin"}
    env.update({k: os.environ[k] for k in ("LD_PRELOAD", "ASAN_OPTIONS") if k in os.environ})
    out = subprocess.run([sys.executable, "-c", code, str(tmp_path)], check=True, capture_output=True, env=env, cwd=tmp_path)
    assert "Reinhard" in out.stdout.decode()


def test_check_passes_a_normalised_image_and_names_a_darkened_one(target, source):
    norm = make("Reinhard")
    norm.fit(target)
    result = norm.transform(source)
    good = histonorm.check(source, result, target)
    assert good["passed"] and good["failures"] == [] and good["ssim"] > 0.8 and good["glass_checked"]
    dark = histonorm.check(source, (result * 0.6).astype(np.uint8), [target])
    assert not dark["passed"] and "glass darkened" in dark["failures"]
    with pytest.raises(ValueError):
        histonorm.check(source, result[:10], target)


HEAD = '{"format": "histonorm-target", "version": '
HOSTILE_TARGETS = {
    "deeply_nested": (HEAD + "[" * 100000 + "]" * 100000 + "}", ValueError, r"version \[\[\[\[\[\.\.\.\]"),
    "beyond_double": (HEAD + "1e400}", ValueError, "too large for a double"),
    "version_beyond_int": (HEAD + "4294967297}", ValueError, "version 4294967297 is not"),
    "endless": ("/dev/zero", ValueError, "larger than 16 MiB"),
    "folder": ("folder", IsADirectoryError, "t.json"),
}


@pytest.mark.parametrize("text,error,match", HOSTILE_TARGETS.values(), ids=HOSTILE_TARGETS.keys())
def test_hostile_target_files_raise_naming_the_file(tmp_path, text, error, match):
    path = tmp_path / "t.json"
    if text == "/dev/zero":
        path.symlink_to(text)
    elif text == "folder":
        path.mkdir()
    else:
        path.write_text(text)
    with pytest.raises(error, match=match) as raised:
        make("Reinhard").load_target(str(path))
    assert str(path) in str(raised.value)


def test_a_failed_save_keeps_the_earlier_target(tmp_path, target):
    path = tmp_path / "t.json"
    norm = make("Reinhard")
    norm.fit(target)
    norm.save_target(str(path))
    earlier = path.read_bytes()
    # A second save that cannot be written whole (files are limited to 64 bytes) must not cost it.
    script = (
        "import resource, signal, sys, histonorm\n"
        "signal.signal(signal.SIGXFSZ, signal.SIG_IGN)\n"
        "norm = histonorm.Normaliser('Reinhard')\n"
        "norm.load_target(sys.argv[1])\n"
        "resource.setrlimit(resource.RLIMIT_FSIZE, (64, resource.RLIM_INFINITY))\n"
        "try:\n"
        "    norm.save_target(sys.argv[1])\n"
        "except OSError as e:\n"
        "    sys.exit(3 if sys.argv[1] in str(e) else 4)\n"
    )
    assert subprocess.run([sys.executable, "-c", script, str(path)], timeout=60).returncode == 3
    assert path.read_bytes() == earlier
    assert os.listdir(tmp_path) == ["t.json"]


def test_a_log_callable_may_use_its_own_normaliser(target, source):
    seen = []
    norm = make("Reinhard", log=lambda line: seen.append(norm.fitted))
    worker = threading.Thread(target=lambda: (norm.fit(target), norm.transform(source)), daemon=True)
    worker.start()
    worker.join(60)
    assert not worker.is_alive() and seen and all(seen[-1:])


def test_params_file_gives_the_command_lines_results_and_travels_in_pickles(cli, tmp_path, source):
    shutil.copy(SAMPLES / "he_sample_1.png", tmp_path)
    (tmp_path / "normalised").mkdir()
    (tmp_path / "list.txt").write_text("he_sample_1.png\n")
    (tmp_path / "stain.txt").write_text("0.9 20 280\n0.6 0.6 0.7\n")
    reference = str(SAMPLES / "he_sample_2.png")
    args = [cli, "BimodalDeconvRVM", str(tmp_path / "list.txt"), reference, str(MODEL)]
    subprocess.run(args + ["--stain-params", "stain.txt"], check=True, cwd=tmp_path, capture_output=True)

    norm = make("BimodalDeconvRVM", params=tmp_path / "stain.txt")
    norm.fit(read_rgb(reference))
    result = norm.transform(source)
    assert np.array_equal(result, read_rgb(tmp_path / "normalised" / "he_sample_1.png"))
    plain = make("BimodalDeconvRVM")
    plain.fit(read_rgb(reference))
    assert not np.array_equal(result, plain.transform(source))  # the thresholds were used
    (tmp_path / "stain.txt").unlink()  # a pickle carries the values, not the file
    copy = pickle.loads(pickle.dumps(norm))
    assert copy.params == str(tmp_path / "stain.txt") and np.array_equal(copy.transform(source), result)


BAD_PARAMS = {
    "missing": ("missing.txt", None, "BimodalDeconvRVM", FileNotFoundError, "missing.txt"),
    "folder": (".", None, "BimodalDeconvRVM", IsADirectoryError, ""),
    "bad_value": ("p.txt", "0.9\n2.5 x\n", "BimodalDeconvRVM", ValueError, "p.txt.*'x' on line 2"),
    "other_method": ("p.txt", "0.9\n", "Reinhard", ValueError, "BimodalDeconvRVM only"),
}


@pytest.mark.parametrize("name,text,method,error,match", BAD_PARAMS.values(), ids=BAD_PARAMS.keys())
def test_unusable_params_files_raise_in_pythons_words(tmp_path, name, text, method, error, match):
    if text is not None:
        (tmp_path / name).write_text(text)
    with pytest.raises(error, match=match):
        make(method, params=tmp_path / name)


def test_ctrl_c_ends_a_fit_over_many_images_and_keeps_the_target(target):
    class Stop(Exception):
        pass

    def stop(_signal, _frame):
        raise Stop

    norm = make("Reinhard")
    previous = signal.signal(signal.SIGINT, stop)
    timer = threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT))
    try:
        timer.start()
        with pytest.raises(Stop):
            norm.fit([target] * 300)  # seconds of work; the signal comes after the first image or so
    finally:
        timer.cancel()
        signal.signal(signal.SIGINT, previous)
    assert not norm.fitted
